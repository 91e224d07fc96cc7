#!/bin/bash
# Usage: tests/device/power_cut.sh BUILD [CUTS]   (default 5; the image exists)
#
# Cuts the power of the emulated device (qemu killed) at a random moment
# while memory keeps falling, so that the daemon rewrites the low-water
# mark every period; boots again and checks that the mark is a whole
# decimal number, no higher than the last figure known to be on disk before
# the cut, and that the daemon runs. Prints the counts.
set -euo pipefail
cd "$(dirname "$0")/../.."
. script/lib/device.sh
build=$1 cuts=${2:-5}
device_overlay

# Every boot checks what the last cut left, before the daemon starts; then
# it puts the seed back (so that the first sample rewrites the mark at
# once) and lets memory fall by 400 kB every 3 s, about 4 MB a period.
# A watcher syncs every new content itself and reports it as on disk.
device_step "$overlay" S10check <<'EOF'
say "cut-check mark=$(state meminfo.txt)"
echo 58600 >/plorn_etc/meminfo.txt && sync
say "ondisk mark=$(state meminfo.txt)"
EOF
device_step "$overlay" S99fall <<'EOF'
(
wait_for 10 daemon_pid >/dev/null
say "daemon=$(daemon_pid)"
hog 10000 400 3 >/dev/null &
say "falling"
last=
while :; do
    m=$(state meminfo.txt)
    if [ "$m" != "$last" ]; then
        sync
        say "ondisk mark=$m"
        last=$m
    fi
    sleep 0.5
done
) &
EOF

torn=0 higher=0 same=0 newer=0 no_daemon=0 rewrites=0
known=
device_disk "$build"
for ((trial = 0; trial <= cuts; trial++)); do
    delay=$(awk -v r=$RANDOM 'BEGIN { printf "%.2f", 0.2 + 6.8 * r / 32767 }')
    if [ "$trial" -lt "$cuts" ]; then
        device_boot "$build" "$overlay" 300 '^@@ [0-9.]+ falling' "$delay"
    else
        device_boot "$build" "$overlay" 300 '^@@ [0-9.]+ daemon=' 0 # the last boot only checks
    fi
    left=$(grep -aE '^@@ [0-9.]+ cut-check' "$device_console" | sed 's/.*mark=//') || true
    if [ "$trial" -gt 0 ]; then
        if ! device_is_decimal "$left"; then
            torn=$((torn + 1))
            echo "   cut $trial: the mark is not a whole decimal number: hex '$left'" >&2
        elif [ "$(device_text "$left")" -gt "$(device_text "$known")" ]; then
            higher=$((higher + 1))
            echo "   cut $trial: the mark went up: $(device_text "$left") after $(device_text "$known") was on disk" >&2
        elif [ "$left" = "$known" ]; then
            same=$((same + 1))
        else
            newer=$((newer + 1))
        fi
    fi
    grep -aqE '^@@ [0-9.]+ daemon=[0-9]+' "$device_console" || {
        no_daemon=$((no_daemon + 1))
        echo "   boot $((trial + 1)): the daemon is not running" >&2
    }
    if [ "$trial" -lt "$cuts" ]; then
        [ "$device_end" = cut ] || echo "   boot $((trial + 1)): ended by $device_end before the cut" >&2
        known=$(grep -aE '^@@ [0-9.]+ ondisk' "$device_console" | tail -n1 | sed 's/.*mark=//') || true
        # grep -c fails when it counts none: a cut before the first rewrite.
        rewrites=$((rewrites + $(grep -aE '^@@ [0-9.]+ ondisk' "$device_console" | grep -vc 'mark=35383630300a$' || true)))
    fi
done
echo "   power cuts on $build: $cuts; after them the mark was the last one on disk $same times, a newer" \
    "write $newer times; torn $torn, higher than on disk $higher, daemon missing $no_daemon;" \
    "$rewrites rewrites by the daemon seen on disk before the cuts"
[ $((torn + higher + no_daemon)) -eq 0 ]
