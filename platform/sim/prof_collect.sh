#!/bin/bash
# Device collection script of the simulated card, run by the daemon through
# sudo. One verb per call:
#   --stat <file> <events> <period>  append one line of last-level-cache
#                                    statistics per sample to <file>, every
#                                    <period> ms, until --kill
#   --record <file> <frequency> {rN,...}
#                                    record the control cpus' hardware events
#                                    rN (raw event numbers, hexadecimal),
#                                    <frequency> samples a second, into the
#                                    pieces <file>.0, <file>.1, ..., a new one
#                                    about every second, until --kill
#   --script <piece>                 print a recorded piece as text lines
#                                    "<seconds>.<microseconds> cpu<n> <event> <count>"
#   --kill [<file>]                  end every process this script started,
#                                    and every --stat or --record still
#                                    starting (through sudo or not yet
#                                    recorded); with <file>, only those that
#                                    write into <file>
# --stat and --record record their pid, one a line in the pid file beside this
# script, before anything else. To add a verb, write verb_<name> and list it in
# main.
#
# Settings of the simulated card, one "name=value" a line in prof_collect.conf
# beside this script (sudo hands the script none of its caller's environment):
#   keep_pieces=<dir>   --record also copies every piece, once complete, into
#                       <dir> under its own name: a record of exactly what was
#                       recorded, whatever becomes of the pieces afterwards
#   kill_misses=1       --kill ends nothing and succeeds (a script whose kill
#                       misses the recording)
#   ignore_term=1       --stat and --record ignore SIGTERM: only SIGKILL ends
#                       them

set -u

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SELF="${SCRIPT_DIR}/$(basename "${BASH_SOURCE[0]}")"
PID_FILE="${SCRIPT_DIR}/prof_collect.pid"
PID_LOCK="${SCRIPT_DIR}/prof_collect.pid.lock"
CONF_FILE="${SCRIPT_DIR}/prof_collect.conf"
KILL_WAIT_TENTHS=50 # how long --kill waits for a process to end (0.1 s units)

usage() {
    echo "usage: $(basename "$0") --stat <file> <events> <period>" \
        "| --record <file> <frequency> {rN,...} | --script <piece> | --kill [<file>]" >&2
    exit 2
}

is_positive_int() {
    [[ "$1" =~ ^[0-9]+$ ]] && ((10#$1 > 0))
}

# The value of a setting (the last line that sets it), empty when unset.
setting() {
    [ -r "${CONF_FILE}" ] || return 0
    sed -n "s/^$1=//p" "${CONF_FILE}" | tail -n 1
}

record_pid() {
    (
        flock 9
        echo "$1" >>"${PID_FILE}"
    ) 9>>"${PID_LOCK}"
}

forget_pid() {
    [ -f "${PID_FILE}" ] || return 0
    (
        flock 9
        [ -f "${PID_FILE}" ] || exit 0
        rest=$(grep -vx "$1" "${PID_FILE}")
        if [ -n "${rest}" ]; then
            printf '%s\n' "${rest}" >"${PID_FILE}"
        else
            rm -f "${PID_FILE}"
        fi
    ) 9>>"${PID_LOCK}"
}

# True when process pid runs this script (directly or through sudo) with
# --stat or --record: a recording, or one still starting. With file, only
# one that writes into file.
runs_recording() {
    local args i name=${SELF##*/} file=${2-}
    mapfile -d '' -t args 2>/dev/null <"/proc/$1/cmdline" || return 1
    for ((i = 0; i + 1 < ${#args[@]}; i++)); do
        if [ "${args[i]##*/}" = "${name}" ] && [ "${args[i]}" -ef "${SELF}" ]; then
            case "${args[i + 1]}" in
            --stat | --record)
                [ -z "${file}" ] || [ "${args[i + 2]-}" = "${file}" ] && return 0
                ;;
            esac
        fi
    done
    return 1
}

# Recordings to end (into file only, when given): the recorded pids that still
# run a recording, and every other process running one (started, through sudo
# or not, but not recorded yet). Never this process.
recordings() {
    local pid entry
    local -A seen=()
    if [ -f "${PID_FILE}" ]; then
        while read -r pid; do
            [[ "${pid}" =~ ^[0-9]+$ ]] && seen[${pid}]=1
        done <"${PID_FILE}"
    fi
    for entry in /proc/[0-9]*; do
        seen[${entry#/proc/}]=1
    done
    for pid in "${!seen[@]}"; do
        [ "${pid}" != "$$" ] && runs_recording "${pid}" "${1-}" && alive "${pid}" && echo "${pid}"
    done
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

# Installs handler for TERM, INT and HUP (TERM ignored when the settings say
# so). The setting is read before any trap is set: a signal that arrives while
# a command substitution runs under a trap can leave bash unable to run it.
install_stop_trap() {
    local ignore
    ignore=$(setting ignore_term)
    trap "$1" TERM INT HUP
    [ "${ignore}" = "1" ] && trap '' TERM
    return 0
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
    local interval
    interval=$(ms_to_seconds "$((10#${period}))")
    install_stop_trap finish
    while true; do
        stat_line "${events}" >>"${file}"
        sleep "${interval}" &
        sleeper=$!
        wait "${sleeper}"
        sleeper=""
    done
}

# ---- Control-CPU recording ---------------------------------------------------
# The simulated control CPU: CTRL_CPUS cores at CTRL_CPU_HZ cycles a second.
# A piece is one header line and one line per sample:
#   <time in us since the epoch> <cpu> <event> <count since the cpu's last sample>
CTRL_CPUS=4
CTRL_CPU_HZ=1500000000
RECORD_MAX_FREQUENCY=10000
PIECE_HEADER="# oru control-cpu record"

now_us() {
    local now=${EPOCHREALTIME}
    echo "${now%.*}${now#*.}"
}

# Appends to piece the samples of every control cpu and event whose sample
# time falls in [from_us, to_us) (times relative to origin_us), at frequency
# samples a second. Cycles (r11) follow the cpu's load, instructions (r8) the
# cycles; any other event counts a small, event-dependent share of the cycles.
write_samples() {
    local piece=$1 origin_us=$2 from_us=$3 to_us=$4 frequency=$5 events=$6
    awk -v origin="${origin_us}" -v from="${from_us}" -v to="${to_us}" \
        -v freq="${frequency}" -v events="${events}" -v cpus="${CTRL_CPUS}" \
        -v hz="${CTRL_CPU_HZ}" -v seed="$((($$ * 1000003 + from_us) % 2147483647))" '
    function hex(text,    i, v) {
        v = 0
        for (i = 1; i <= length(text); i++) v = v * 16 + index("0123456789abcdef", tolower(substr(text, i, 1))) - 1
        return v
    }
    function at_or_after(t,    k) {
        k = int(t * freq / 1000000)
        if (k * 1000000 / freq < t) k++
        return k
    }
    BEGIN {
        srand(seed)
        n = split(events, ev, ",")
        for (i = 1; i <= n; i++) share[i] = (1 + hex(substr(ev[i], 2)) % 50) / 1000
        cycles = hz / freq
        for (k = at_or_after(from); k * 1000000 / freq < to; k++) {
            at = origin + int(k * 1000000 / freq)
            for (cpu = 0; cpu < cpus; cpu++) {
                busy = cycles * (0.2 + 0.8 * rand())
                ipc = 0.4 + 1.2 * rand()
                for (i = 1; i <= n; i++) {
                    if (ev[i] == "r11") count = busy
                    else if (ev[i] == "r8") count = busy * ipc
                    else count = busy * share[i] * (0.5 + rand())
                    printf "%.0f %d %s %.0f\n", at, cpu, ev[i], int(count)
                }
            }
        }
    }' >>"${piece}"
}

verb_record() {
    [ $# -eq 3 ] || usage
    local file=$1 frequency=$2 events=$3
    is_positive_int "${frequency}" || usage
    ((10#${frequency} <= RECORD_MAX_FREQUENCY)) || usage
    frequency=$((10#${frequency}))
    [[ "${events}" =~ ^\{r[0-9a-fA-F]+(,r[0-9a-fA-F]+)*\}$ ]] || usage
    events=${events#\{}
    events=${events%\}}
    : >>"${file}" || exit 1

    local stop=0 sleeper=""
    # shellcheck disable=SC2317  # reached through the trap
    on_stop() {
        stop=1
        [ -n "${sleeper}" ] && kill "${sleeper}" 2>/dev/null
    }
    local origin from to n=0 piece keep
    keep=$(setting keep_pieces)
    install_stop_trap on_stop
    echo "recording control cpus 0-$((CTRL_CPUS - 1)) at ${frequency} Hz: ${events}"

    # Piece n covers the n-th second (the last one: up to the kill). A piece is
    # complete before the next one is created.
    origin=$(now_us)
    from=0
    while true; do
        piece="${file}.${n}"
        echo "${PIECE_HEADER} frequency=${frequency} events=${events} cpus=${CTRL_CPUS}" >"${piece}"
        if ((stop == 0)); then
            sleep 1 &
            sleeper=$!
            ((stop == 0)) || kill "${sleeper}" 2>/dev/null
            wait "${sleeper}"
            sleeper=""
        fi
        to=$(($(now_us) - origin))
        write_samples "${piece}" "${origin}" "${from}" "${to}" "${frequency}" "${events}"
        if [ -n "${keep}" ]; then
            cp -- "${piece}" "${keep}/" || echo "cannot keep ${piece} in ${keep}" >&2
        fi
        ((stop == 0)) || break
        from=${to}
        n=$((n + 1))
    done
    forget_pid "$$"
    exit 0
}

verb_script() {
    [ $# -eq 1 ] || usage
    local piece=$1
    if [ ! -r "${piece}" ]; then
        echo "$(basename "$0"): cannot read ${piece}" >&2
        exit 1
    fi
    local header
    IFS= read -r header <"${piece}" || header=""
    if [[ "${header}" != "${PIECE_HEADER} "* ]]; then
        echo "$(basename "$0"): ${piece} is not a control-cpu recording" >&2
        exit 1
    fi
    awk 'NR > 1 && NF == 4 {
        us = $1 % 1000000
        printf "%.0f.%06d cpu%d %s %.0f\n", ($1 - us) / 1000000, us, $2, $3, $4
    }' "${piece}"
}

verb_kill() {
    [ $# -le 1 ] || usage
    local file=${1-}
    [ "$(setting kill_misses)" = "1" ] && return 0
    local pids pid tries ended=""
    # A start may record itself while the others end: look again.
    for _ in 1 2 3; do
        pids=$(recordings "${file}")
        [ -n "${pids}" ] || break
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
            ended+=" ${pid}"
        done
    done
    if [ -z "${file}" ]; then
        rm -f "${PID_FILE}"
    else
        for pid in ${ended}; do
            forget_pid "${pid}"
        done
    fi
    return 0
}

main() {
    [ $# -ge 1 ] || usage
    local verb=$1
    shift
    case "${verb}" in
    --stat | --record)
        # Before any work: a --kill from now on finds this process.
        record_pid "$$"
        trap 'forget_pid "$$"' EXIT
        ;;
    esac
    case "${verb}" in
    --stat) verb_stat "$@" ;;
    --record) verb_record "$@" ;;
    --script) verb_script "$@" ;;
    --kill) verb_kill "$@" ;;
    *) usage ;;
    esac
}

main "$@"
