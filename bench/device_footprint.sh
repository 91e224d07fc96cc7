#!/bin/bash
# Usage: bench/device_footprint.sh BUILD [CYCLES]   (default 100; the image exists)
#
# Figures only, nothing passes or fails on them: the daemon's footprint on
# the emulated MIPS kernel after 10 and after CYCLES periods, beside a floor
# program (three threads that only sleep, built the same way) and, on the
# glibc image, Debian's earlyoom:mipsel with --dryrun; then the time from a
# granted request to the restart, in guest time.
set -euo pipefail
cd "$(dirname "$0")/.."
. script/lib/device.sh
build=$1 cycles=${2:-100}
device_overlay

mkdir -p "$overlay/usr/bin"
mipsel-linux-gnu-strip -o "$overlay/usr/bin/floor_program" "build/$(device_preset "$build")/bench/floor_program"
peers=floor_program
if [ "$build" = glibc ]; then
    cp "$device_cache/mipsel-earlyoom/usr/bin/earlyoom" "$overlay/usr/bin/earlyoom"
    peers="$peers earlyoom"
fi
device_step "$overlay" S96peers <<EOF
/usr/bin/floor_program </dev/null >/dev/null 2>&1 &
[ -x /usr/bin/earlyoom ] && /usr/bin/earlyoom --dryrun -r 3600 </dev/null >/dev/null 2>&1 &
true
EOF
device_step "$overlay" S99measure <<EOF
(
pid=\$(daemon_pid)
started=\$(awk '{ print \$22 / 100 }' /proc/\$pid/stat)
measure() { # after N periods: in the middle of period N + 1
    local until=\$(awk -v s=\$started -v n=\$1 'BEGIN { print s + (n - 1) * 30 + 15 }')
    while [ "\$(awk -v u=\$until '{ print (\$1 < u) }' /proc/uptime)" = 1 ]; do sleep 5; done
    for name in check_mem $peers; do
        p=\$(pidof \$name | cut -d' ' -f1)
        say "fp cycles=\$1 name=\$name \$(awk '/^(VmRSS|RssAnon|Threads):/ { printf "%s=%s ", \$1, \$2 }' /proc/\$p/status | tr -d :)Pss=\$(awk '/^Pss:/ { print \$2 }' /proc/\$p/smaps_rollup)"
    done
}
measure 10
measure $cycles
poweroff
) &
EOF
device_disk "$build"
device_boot "$build" "$overlay" 3600
[ "$device_end" = poweroff ] || { echo "footprint: the measuring boot ended by $device_end" >&2; exit 1; }
printf '   %-22s %8s %8s %8s %8s %8s\n' "$build, after N cycles" N VmRSS RssAnon Pss threads
grep -aE '^@@ [0-9.]+ fp ' "$device_console" | while read -r _ _ _ c n rest; do
    eval "${c/cycles=/c=} ${n/name=/n=} $rest"
    # shellcheck disable=SC2154 # set by the eval above
    printf '   %-22s %8s %8s %8s %8s %8s\n' "$n" "$c" "$VmRSS" "$RssAnon" "$Pss" "$Threads"
    echo "$n $c $VmRSS $RssAnon $Pss" >&3
done 3>"$device_dir/$build/footprint.txt" # for script/bench's budgets

# A granted request, timed from the tool's start to init's shutdown and
# to the restart: while memory is still low, and once it has recovered (the
# flag stays up).
for pressure in low recovered; do
    device_overlay
    device_step "$overlay" S99request <<EOF
(
hog 9000 >/dev/null &
wait_for 90 sh -c '[ "\$(cat /plorn_etc/meminfo.txt)" -lt 11720 ]'
sleep 1 # the flag rises just after the mark is written
[ $pressure = recovered ] && kill \$! && sleep 3
say "request figure=\$(figure)"
check_mem_request >/dev/null 2>&1
) &
EOF
    for i in 1 2; do
        device_disk "$build" # a fresh mark, so that its fall shows the sample that raised the flag
        device_boot "$build" "$overlay"
        asked=$(device_said_at request)
        printf '   memory %-9s (%5s kB): request to shutdown %5s s, to restart %5s s (guest time)\n' "$pressure" \
            "$(device_said figure)" \
            "$(awk -v a="$asked" -v b="$(device_said_at shutdown)" 'BEGIN { printf "%.2f", b - a }')" \
            "$(awk -v a="$asked" -v b="$device_end_at" 'BEGIN { printf "%.2f", b - a }')"
    done
done
