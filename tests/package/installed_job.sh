#!/usr/bin/env bash
# The packages as a user gets them: unpacks oru, oru-host and oru-sim from
# PACKAGES into WORK/root (dpkg -x), checks that the installed programs and
# libraries find every library in the installed tree (no RUNPATH into the
# build tree), verifies the systemd unit (systemd-analyze, where it exists),
# then runs one short job with the installed programs only: the simulated
# monitor service, the daemon, and `oru-host profile` on the simulated card,
# and stops the daemon with SIGTERM, which must exit 0 and remove its lock.
#
# The daemon's paths are a card's (/var, /usr/local/profiler, the lock folder
# in root's home): the job runs in a private mount namespace with scratch
# file systems mounted there, so the machine's own are never touched. That
# needs root and unshare(1).
#
#   tests/package/installed_job.sh PACKAGES WORK
set -uo pipefail

fail() {
    echo "installed_job: FAILED: $*"
    exit 1
}

if [ "${1:-}" = "--inside" ]; then
    inside=1
    shift
fi
[ $# -eq 2 ] || { echo "usage: $0 PACKAGES WORK"; exit 2; }
packages=$(realpath "$1")
work=$(realpath -m "$2")
root=${work}/root
multiarch=$(gcc -print-multiarch)
oru=${root}/usr/sbin/oru
host=${root}/usr/bin/oru-host
monitor=${root}/usr/bin/ostrel-sim-monitor

# ---- Inside the private mount namespace: the job ---------------------------
if [ -n "${inside:-}" ]; then
    home=$(getent passwd "$(id -un)" | cut -d: -f6)
    lockdir=${home}/ide_daemon
    mount -t tmpfs oru-var /var || fail "no scratch /var"
    mkdir -p /var/log /var/driver /var/lib/sudo /var/tmp
    ln -s /run /var/run
    install -m 755 "${root}/usr/share/oru-sim/prof_collect.sh" /var/prof_collect.sh
    for dir in "${lockdir}" /usr/local/profiler; do
        mount -t tmpfs oru-scratch "${dir}" || fail "no scratch ${dir}"
    done

    export OSTREL_SIM_DIR=${work}/sim OSTREL_SIM_DEVICES=1
    export OSTREL_LOG_FILE=${work}/oru.log OSTREL_LOG_LEVEL=info
    "${monitor}" --socket /var/driver/appmon.socket --log "${work}/monitor.log" &
    monitor_pid=$!
    "${oru}" >"${work}/oru.out" 2>&1 &
    oru_pid=$!
    trap 'kill -KILL ${oru_pid} ${monitor_pid} 2>/dev/null' EXIT
    for _ in $(seq 200); do
        compgen -G "${OSTREL_SIM_DIR}/hdc-0-*.sock" >/dev/null && break
        kill -0 "${oru_pid}" 2>/dev/null || break
        sleep 0.05
    done
    compgen -G "${OSTREL_SIM_DIR}/hdc-0-*.sock" >/dev/null ||
        fail "the installed oru did not serve: $(cat "${work}/oru.out")"
    [ -e "${lockdir}/.ilka.lock" ] || fail "no lock file in ${lockdir}"

    "${host}" profile --device 0 --job-id pkgjob1 --out "${work}/run" --duration 2 \
        --sys --pid --llc read >"${work}/host.out" 2>&1 ||
        fail "oru-host profile exited $?: $(cat "${work}/host.out")"
    for name in SystemCpuUsage.data Memory.data llc.data; do
        compgen -G "${work}/run/data/${name}*" >/dev/null || fail "the job sent no ${name}"
    done

    kill -TERM "${oru_pid}"
    status=timeout
    for _ in $(seq 100); do
        if ! kill -0 "${oru_pid}" 2>/dev/null; then
            wait "${oru_pid}"
            status=$?
            break
        fi
        sleep 0.05
    done
    [ "${status}" = 0 ] || fail "oru stopped with status ${status} (SIGTERM, 5 s)"
    [ ! -e "${lockdir}/.ilka.lock" ] || fail "the lock file was left behind"
    kill -TERM "${monitor_pid}"
    wait "${monitor_pid}"
    trap - EXIT
    echo "installed_job: the installed programs ran a job and stopped in order"
    exit 0
fi

# ---- Outside: unpack and check the tree ------------------------------------
rm -rf "${work}"
mkdir -p "${root}"
for name in oru oru-host oru-sim; do
    deb=$(ls "${packages}/${name}"_*.deb 2>/dev/null | head -1)
    [ -n "${deb}" ] || fail "no ${name} package in ${packages}"
    dpkg -x "${deb}" "${root}" || fail "dpkg -x ${deb}"
    echo "${name}: Depends: $(dpkg-deb -f "${deb}" Depends)"
done
for program in "${oru}" "${host}" "${monitor}"; do
    [ -x "${program}" ] || fail "${program#"${root}"} is not installed"
done
build=$(realpath "$(dirname "$0")/../..")/build
for file in "${oru}" "${host}" "${monitor}" "${root}/usr/lib/${multiarch}"/oru*/*.so; do
    runpath=$(readelf -d "${file}" | grep -E 'R(UN)?PATH' || true)
    case "${runpath}" in
        *"${build}"* | *build/*) fail "${file#"${root}"} looks into the build tree: ${runpath}" ;;
    esac
    # Every library found, and the project's own from the installed tree.
    missing=$(ldd "${file}" | grep -E 'not found|libostrel' | grep -v "=> ${root}/" || true)
    [ -z "${missing}" ] || fail "${file#"${root}"}: ${missing}"
done

unit=${root}/usr/lib/systemd/system/oru.service
[ -f "${unit}" ] || unit=${root}/lib/systemd/system/oru.service
[ -f "${unit}" ] || fail "no systemd unit"
grep -qx 'ExecStart=/usr/sbin/oru' "${unit}" || fail "the unit does not start /usr/sbin/oru"
grep -qx 'Restart=on-failure' "${unit}" || fail "the unit does not restart on failure"
if command -v systemd-analyze >/dev/null; then
    # The unit as installed, but starting the unpacked daemon.
    mkdir -p "${work}/unit"
    sed "s#^ExecStart=/usr/sbin/oru#ExecStart=${oru}#" "${unit}" >"${work}/unit/oru.service"
    report=$(systemd-analyze verify "${work}/unit/oru.service" 2>&1)
    rc=$?
    [ ${rc} -eq 0 ] && [ -z "${report}" ] || fail "systemd-analyze verify: ${report}"
    echo "installed_job: systemd-analyze verify accepts the unit"
else
    echo "installed_job: no systemd-analyze here: the unit is not verified"
fi

if [ "$(id -u)" -ne 0 ] || ! unshare -m true 2>/dev/null; then
    fail "the installed job needs root and unshare(1) for its private mount namespace"
fi
home=$(getent passwd "$(id -un)" | cut -d: -f6)
made=()
for dir in "${home}/ide_daemon" /usr/local/profiler; do
    if [ ! -d "${dir}" ]; then
        mkdir -p "${dir}" && made+=("${dir}")
    fi
done
unshare -m --propagation private bash "$0" --inside "${packages}" "${work}"
status=$?
for dir in "${made[@]}"; do
    rmdir "${dir}" 2>/dev/null
done
exit ${status}
