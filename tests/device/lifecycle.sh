#!/bin/bash
# Usage: tests/device/lifecycle.sh BUILD   (glibc or musl; the image exists)
#
# The device's life on the emulated MIPS machine, boot after boot on one
# persistent disk: first boot, the init script, a request refused while
# memory is fine, real low memory and a request that restarts the machine,
# what survives that restart, the application killed, and the daemon
# started before the application (the boot loop it causes).
set -euo pipefail
cd "$(dirname "$0")/../.."
. script/lib/device.sh
build=$1

echo "== $build: first boot; the init script; a request while memory is fine; real low memory"
device_disk "$build"
device_overlay
device_step "$overlay" S10before <<'EOF'
say "before mark=$(state meminfo.txt) cpu=$(sed -n 's/^cpu model[^:]*: \([^ ]*\) \([^ ]*\).*/\1_\2/p' /proc/cpuinfo)"
EOF
device_step "$overlay" S99step <<'EOF'
(
pid=$(daemon_pid)
started=$(awk -v hz=100 '{ printf "%.2f", $22 / hz }' /proc/$pid/stat)
wait_for 20 sh -c '[ -e /plorn_etc/meminfo.txt ] && [ "$(cat /plorn_etc/meminfo.txt)" != 58600 ]'
say "first-sample started=$started figure=$(figure) mark=$(state meminfo.txt)"
/etc/init.d/check_mem status >/dev/null; a=$?
/etc/init.d/check_mem stop >/dev/null; b=$?
/etc/init.d/check_mem status >/dev/null; c=$?
/etc/init.d/check_mem start >/dev/null; d=$?
wait_for 10 daemon_pid >/dev/null
/etc/init.d/check_mem status >/dev/null; e=$?
say "init status=$a stop=$b stopped-status=$c start=$d started-status=$e new-pid=$([ "$(daemon_pid)" != "$pid" ] && echo yes)"
request
sleep 5
say "refused queued=$(awk 'NR > 1 { n += $5 } END { print n + 0 }' /proc/sysvipc/msg) queues=$(($(wc -l </proc/sysvipc/msg) - 1))"
hog 9000 >/dev/console &
wait_for 90 sh -c '[ "$(cat /plorn_etc/meminfo.txt)" -lt 11720 ]'
say "low figure=$(figure) mark=$(state meminfo.txt)"
# The flag rises just after the mark is written: ask until granted.
for i in 1 2 3 4 5 6 7 8 9 10; do request; sleep 2; done
) &
EOF
device_step "$overlay" S01last stop <<'EOF'
say "stopped mark=$(state meminfo.txt)"
EOF
device_boot "$build" "$overlay"
device_check "fresh disk: no low-water mark before the daemon starts" grep -aq 'before mark=none' "$device_console"
device_check "the core is a $(device_cpu "$build")" [ "$(device_said cpu)" = "MIPS_$(device_cpu "$build")" ]
first=$(grep -a 'first-sample' "$device_console" | tail -n1) || true
mark1=$(sed 's/.*mark=//' <<<"$first")
figure1=$(sed 's/.*figure=\([0-9]*\).*/\1/' <<<"$first")
started=$(sed 's/.*started=\([0-9.]*\).*/\1/' <<<"$first")
sampled=$(awk '{ print $2 }' <<<"$first")
device_check "first sample at once: the seed replaced by the kernel's figure ($(device_text "$mark1") kB, figure $figure1 kB now)" \
    device_is_decimal "$mark1"
device_check "... within 10 s of the daemon's start, not a period later (started $started s, seen $sampled s)" \
    le "$sampled" "$(awk -v s="$started" 'BEGIN { print s + 10 }')"
device_check "... close to the figure the guest reads ($(device_text "$mark1") vs $figure1 kB)" \
    le "$(awk -v a="$(device_text "$mark1")" -v b="$figure1" 'BEGIN { d = a - b; print d < 0 ? -d : d }')" 2000
device_check "init script: status 0, stop 0, then status 3, start 0, status 0 with a new daemon" \
    grep -aq 'init status=0 stop=0 stopped-status=3 start=0 started-status=0 new-pid=yes' "$device_console"
device_check "a request while memory is fine is sent (status 0)" grep -aq 'request status=0' "$device_console"
device_check "... taken off the queue and refused: no restart within 5 s" grep -aq 'refused queued=0 queues=1' "$device_console"
device_check "real low memory: the mark holds the low ($(device_text "$(device_said mark)") kB < 11720)" \
    lt "$(device_text "$(device_said mark)")" 11720
low=$(device_said mark) # as the daemon left it at shutdown
device_check "no shutdown before memory ran low" lt "$(device_said_at 'low figure')" "$(device_said_at shutdown)"
device_check "a request once memory ran low restarts the machine" [ "$device_end" = restart ]

echo "== $build: after the restart; a request refused again; the application killed"
device_overlay
device_step "$overlay" S10before <<'EOF'
say "after-restart mark=$(state meminfo.txt) marker=$(state reboot_flag.txt)"
EOF
device_step "$overlay" S99step <<'EOF'
(
sleep 2
request
sleep 5
say "refused-again"
kill $(pidof quillamont)
say "app-killed"
) &
EOF
device_boot "$build" "$overlay"
device_check "marker holds 1 after the restart" [ "$(device_said marker)" = 310a ]
device_check "the mark is unchanged across the restart ($(device_text "$(device_said mark)") kB)" [ "$(device_said mark)" = "$low" ]
killed=$(device_said_at app-killed)
device_check "the flag is down again: a request is refused (no shutdown before the application is killed)" \
    lt "$killed" "$(device_said_at shutdown)"
device_check "the application killed: the daemon restarts the machine within one period (killed $killed s, shutdown $(device_said_at shutdown) s)" \
    le "$(device_said_at shutdown)" "$(awk -v k="$killed" 'BEGIN { print k + 35 }')"
device_check "... and it is a restart ($device_end_at s)" [ "$device_end" = restart ]

echo "== $build: the daemon started before the application: a restart at once, every boot"
for attempt in 1 2; do
    device_overlay
    device_step "$overlay" S10before <<'EOF'
say "listing=$(state check_app.txt)"
rm /etc/init.d/S90quillamont
EOF
    # An application that comes up a few seconds after the daemon.
    device_step "$overlay" S99late <<'EOF'
(
sleep 5
/etc/init.d/quillamont start
say "app-started-late"
) &
EOF
    device_boot "$build" "$overlay"
    if [ $attempt = 1 ]; then
        device_check "the listing that failed stays after the restart" \
            grep -aq 'grep quillamont' <(device_text "$(device_said listing)")
    fi
    device_check "boot $attempt: the daemon restarts the machine at once (started after $(device_said_at listing) s, shutdown $(device_said_at shutdown) s)" \
        le "$(device_said_at shutdown)" "$(awk -v t="$(device_said_at listing)" 'BEGIN { print t + 10 }')"
    device_check "... and it is a restart ($device_end_at s)" [ "$device_end" = restart ]
done

echo "== $build: the application first again: the device stays up"
device_overlay
device_step "$overlay" S99step <<'EOF'
(
sleep 65
say "up-after-two-periods daemon=$(daemon_pid) listing=$(state check_app.txt)"
poweroff
) &
EOF
device_boot "$build" "$overlay"
device_check "two periods later the daemon runs, the application was found" \
    grep -aqE 'up-after-two-periods daemon=[0-9]+ listing=none' "$device_console"
device_check "no restart" [ "$device_end" = poweroff ]

[ "$device_failures" -eq 0 ] || { echo "lifecycle on $build: $device_failures checks failed (consoles: $device_dir/$build/console.all.log)" >&2; exit 1; }
