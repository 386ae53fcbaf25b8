#!/bin/bash
# Device collection script of the simulated card, run by the daemon through
# sudo. One verb per call:
#   --stat <file> <events> <period>  append one line of last-level-cache
#                                    statistics per sample to <file>, every
#                                    <period> ms, until --kill
#   --kill                           end every process this script started
# Processes started by --stat are recorded one pid a line in the pid file
# beside this script. To add a verb, write verb_<name> and list it in main.

set -u

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
PID_FILE="${SCRIPT_DIR}/prof_collect.pid"
KILL_WAIT_TENTHS=50 # how long --kill waits for a process to end (0.1 s units)

usage() {
    echo "usage: $(basename "$0") --stat <file> <events> <period> | --kill" >&2
    exit 2
}

is_positive_int() {
    [[ "$1" =~ ^[0-9]+$ ]] && ((10#$1 > 0))
}

record_pid() {
    echo "$1" >>"${PID_FILE}"
}

forget_pid() {
    [ -f "${PID_FILE}" ] || return 0
    local rest
    rest=$(grep -vx "$1" "${PID_FILE}")
    if [ -n "${rest}" ]; then
        printf '%s\n' "${rest}" >"${PID_FILE}"
    else
        rm -f "${PID_FILE}"
    fi
}

# True while the process runs (an exited child waiting to be reaped does not).
alive() {
    local state
    kill -0 "$1" 2>/dev/null || return 1
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "${state}" ] && [ "${state}" != "Z" ]
}

# Milliseconds as the seconds text sleep takes: 1500 -> 1.500.
ms_to_seconds() {
    printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000))
}

# One sample of the simulated cache: per event, hits, misses and hit rate.
stat_line() {
    local events=$1 now=${EPOCHREALTIME}
    local line
    printf -v line '%(%Y-%m-%d %H:%M:%S)T.%s' "${now%.*}" "${now#*.}"
    local event hits misses rate
    IFS=',' read -r -a names <<<"${events}"
    for event in "${names[@]}"; do
        hits=$((RANDOM * 8 + RANDOM % 8))
        misses=$((RANDOM % 4096))
        rate=$((hits * 10000 / (hits + misses + 1)))
        line+=$(printf ' %s: hits=%d misses=%d hit_rate=%d.%02d%%' \
            "${event}" "${hits}" "${misses}" $((rate / 100)) $((rate % 100)))
    done
    echo "${line}"
}

verb_stat() {
    [ $# -eq 3 ] || usage
    local file=$1 events=$2 period=$3
    [ -n "${events}" ] || usage
    is_positive_int "${period}" || usage
    : >>"${file}" || exit 1

    local sleeper=""
    # shellcheck disable=SC2317  # reached through the trap
    finish() {
        [ -n "${sleeper}" ] && kill "${sleeper}" 2>/dev/null
        forget_pid "$$"
        exit 0
    }
    trap finish TERM INT HUP
    record_pid "$$"

    local interval
    interval=$(ms_to_seconds "$((10#${period}))")
    while true; do
        stat_line "${events}" >>"${file}"
        sleep "${interval}" &
        sleeper=$!
        wait "${sleeper}"
        sleeper=""
    done
}

verb_kill() {
    [ $# -eq 0 ] || usage
    [ -f "${PID_FILE}" ] || return 0
    local pids pid tries
    pids=$(cat "${PID_FILE}")
    for pid in ${pids}; do
        kill -TERM "${pid}" 2>/dev/null
    done
    for pid in ${pids}; do
        tries=0
        while alive "${pid}" && ((tries < KILL_WAIT_TENTHS)); do
            sleep 0.1
            tries=$((tries + 1))
        done
        alive "${pid}" && kill -KILL "${pid}" 2>/dev/null
    done
    rm -f "${PID_FILE}"
    return 0
}

main() {
    [ $# -ge 1 ] || usage
    local verb=$1
    shift
    case "${verb}" in
    --stat) verb_stat "$@" ;;
    --kill) verb_kill "$@" ;;
    *) usage ;;
    esac
}

main "$@"
