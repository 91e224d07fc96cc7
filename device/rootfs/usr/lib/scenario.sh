# Helpers of the scenario steps that script/device lays over this image as
# /etc/init.d/S??step*. Only the console goes back to the host: every line
# for it starts with "@@", then the guest's uptime in seconds.

say() { echo "@@ $(cut -d' ' -f1 /proc/uptime) $*" >/dev/console; }

# The free-memory figure as the daemon adds it, in kB.
figure() { awk '/^(MemFree|Buffers|Cached):/ { s += $2 } END { print s }' /proc/meminfo; }

# below KB: the figure is below KB (for wait_for, which runs it here).
below() { [ "$(figure)" -lt "$1" ]; }

# A state file's bytes in hex ("" when empty), or "none" when missing: a
# torn or binary file comes back exactly as it is. hexdump, not od: a
# router's BusyBox has only the small od.
state() {
    if [ -e "/plorn_etc/$1" ]; then
        hexdump -v -e '1/1 "%02x"' "/plorn_etc/$1"
    else
        echo none
    fi
}

# The daemon's pid: the check_mem whose parent is init. A child it forks
# for a shell command is named check_mem too, until it runs the shell.
daemon_pid() {
    for p in $(pidof check_mem); do
        [ "$(cut -d' ' -f4 /proc/$p/stat 2>/dev/null)" = 1 ] && echo $p
    done
}

# wait_for SECONDS COMMAND...: polls every 0.2 s until COMMAND succeeds
# (every second where sleep takes whole seconds only).
wait_for() {
    local left=$(($1 * 5))
    shift
    while ! "$@"; do
        [ $left -gt 0 ] || return 1
        if sleep 0.2 2>/dev/null; then left=$((left - 1)); else sleep 1; left=$((left - 5)); fi
    done
}

# request [WORDS]: sends one reboot request with the request tool and
# reports its status, followed by WORDS.
request() {
    check_mem_request >/dev/null 2>&1
    say "request status=$?${1:+ $*}"
}
