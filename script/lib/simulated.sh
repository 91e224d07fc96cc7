# The simulated device of script/sandbox, for the scripts that run the host
# build there under libfaketime (script/bench, script/memcheck). Sourced;
# every function but sim_enter works only inside the sandbox.

sim_state=/run/check_mem_sandbox
sim_log=$sim_state/daemon.log

# sim_enter ARGS...: outside the sandbox, sets up, builds the host build and
# runs the calling script again inside the sandbox with ARGS; inside, makes
# sure the sandbox's guard holds.
sim_enter() {
    if [ "${CHECK_MEM_SANDBOX:-}" != guarded ]; then
        script/bootstrap
        cmake --preset host >/dev/null
        cmake --build --preset host -j"$(nproc)" >/dev/null
        exec script/sandbox "$PWD/$0" "$@"
    fi
    [ -d "$sim_state" ] || { echo "$0: the sandbox's state is missing" >&2; exit 70; }
    sim_faketime=$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 | head -n1)
    exec {sim_nap_fd}<> <(:)
}

# sim_nap SECONDS: a pause that starts no process (a process count is one
# of the figures).
sim_nap() { read -r -t "$1" -u "$sim_nap_fd" || true; }

# sim_meminfo FREE BUFFERS CACHED: the fake /proc/meminfo, in kB. Written
# in place at the same length every time (the format of script/lib/meminfo.fmt,
# which the C++ harness is generated from), so a sample never sees it short.
sim_meminfo() {
    local format
    format=$(cat script/lib/meminfo.fmt)
    # shellcheck disable=SC2059 # the format is the file's
    printf "$format\n" "$1" $(($1 + $3)) "$2" "$3" 1<>$sim_state/meminfo
}

# sim_app: the application's stand-in (a copy of sleep) at /plorn/quillamont.
sim_app() {
    mkdir -p /plorn && cp /bin/sleep /plorn/quillamont
    /plorn/quillamont 100000 </dev/null >/dev/null 2>&1 &
}

# sim_start RATE [WRAPPER...]: starts the host daemon (under WRAPPER, if
# given) as its starter would, with its clock sped up RATE times and its log
# lines in $sim_log; sets sim_pid to the background process.
sim_start() {
    local rate=$1
    shift
    rm -f $sim_state/daemon.pid
    : >"$sim_log"
    LD_PRELOAD="$PWD/build/host/tests/libdaemon_shim.so:$sim_faketime" FAKETIME="+0 x$rate" FAKETIME_DONT_RESET=1 \
        CHECK_MEM_LOG=$sim_log CHECK_MEM_PIDFILE=$sim_state/daemon.pid "$@" build/host/check_mem
    while [ ! -s $sim_state/daemon.pid ]; do sim_nap 0.05; done
    read -r sim_pid <$sim_state/daemon.pid
}

# sim_samples: how many samples the daemon has logged, in sim_count.
sim_samples() {
    local line
    sim_count=0
    while IFS= read -r line; do [[ $line == free_mem:* ]] && sim_count=$((sim_count + 1)); done <"$sim_log"
}

# sim_wait_samples N: returns once N samples are logged.
sim_wait_samples() {
    while sim_samples; [ "$sim_count" -lt "$1" ]; do sim_nap 0.05; done
}
