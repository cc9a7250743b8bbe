# Starting a program in the background and stopping it again, for the scripts that run the
# simulated device (or vantuflash) beside themselves. Sourced, not run:
#
#   start_in_group OUT ERR PROGRAM [ARG...]   starts PROGRAM with its output in the files OUT and
#                                             ERR (made before it starts, so that they can be
#                                             read at once) as the leader of a process group of
#                                             its own; sets started_pid
#   wait_for_port OUT PID [SECONDS]           prints the path of the first "port: " line in OUT;
#                                             fails when PID ends first or SECONDS (default 30)
#                                             pass
#   stop_group PID [SECONDS]                  SIGTERM to PID's process group, then SIGKILL if it
#                                             has not ended within SECONDS (default 10); returns
#                                             PID's exit status, and never hangs
#   stop_groups [PID...]                      stop_group for each, whatever they end with: a
#                                             clean-up's
#   wait_until COUNT N [PID [SECONDS]]        returns once the function or command COUNT prints
#                                             a number of at least N; fails when PID (if given)
#                                             ends first or SECONDS (default 60) pass
#
# Every wait is bounded by what it waits for: the line, the end of the process, or a limit that
# only a fault reaches.

started_pid=

start_in_group() {
    local out=$1 err=$2
    shift 2
    : >"$out"
    : >"$err"
    # A script runs without job control: its background job is no group leader, so setsid makes
    # the program itself the leader of a new session and group, and $! is the program.
    setsid "$@" </dev/null >"$out" 2>"$err" &
    started_pid=$!
}

wait_for_port() {
    local out=$1 pid=$2 seconds=${3:-30} port= polls
    for ((polls = seconds * 10; polls > 0; polls--)); do
        port=$(sed -n 's/^port: //p' "$out" | head -n 1)
        if [ -n "$port" ]; then
            echo "$port"
            return 0
        fi
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

stop_group() {
    local pid=$1 seconds=${2:-10} polls status=0
    kill -TERM -- "-$pid" 2>/dev/null || kill -TERM "$pid" 2>/dev/null || true
    for ((polls = seconds * 10; polls > 0; polls--)); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
        echo "${0##*/}: process $pid did not end within $seconds s of SIGTERM: killed" >&2
        kill -KILL -- "-$pid" 2>/dev/null || kill -KILL "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || status=$?
    return "$status"
}

stop_groups() {
    local pid
    for pid in "$@"; do
        stop_group "$pid" || true
    done
}

wait_until() {
    local count=$1 least=$2 pid=${3:-} seconds=${4:-60} polls
    for ((polls = seconds * 10; polls > 0; polls--)); do
        [ "$("$count")" -lt "$least" ] || return 0
        [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}
