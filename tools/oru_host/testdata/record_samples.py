#!/usr/bin/env python3
"""Records /proc samples of this machine in the device's record format, for the
report tests: system CPU and memory, and CPU and memory of a few processes
(this script, pid 1 and a busy child). Usage: record_samples.py OUT_DIR"""
import os
import sys
import time


def frame(ts, index, text):
    data = text.encode()
    return b"TimeStamp:%d\nIndex:%d\nDataLen:%d\n" % (ts, index, len(data)) + data + b"\n"


def cpu_lines():
    out = []
    with open("/proc/stat") as f:
        for line in f:
            if "cpu" not in line.lower():
                break
            out.append(line.rstrip("\n").lower())
    return out


def read(path):
    with open(path) as f:
        return f.read()


def name_of(pid):
    return read("/proc/%d/comm" % pid).split("\n")[0]


def main():
    out = os.path.join(sys.argv[1], "data")
    os.makedirs(out, exist_ok=True)
    child = os.fork()
    if child == 0:
        end = time.time() + 3
        while time.time() < end:
            pass
        os._exit(0)
    pids = [1, os.getpid(), child]
    files = {}

    def put(name, ts, index, text):
        files.setdefault(name, bytearray()).extend(frame(ts, index, text))

    for i in range(6):
        ts = time.monotonic_ns()
        put("SystemCpuUsage.data", ts, i, "".join(l + "\n" for l in cpu_lines()))
        put("Memory.data", time.monotonic_ns(), i, read("/proc/meminfo"))
        for pid in pids:
            ts = time.monotonic_ns()
            put("%d-Memory.data" % pid, ts, i,
                read("/proc/%d/statm" % pid) + "ProcessName:" + name_of(pid) + "\n")
            put("%d-CpuUsage.data" % pid, time.monotonic_ns(), i,
                read("/proc/%d/stat" % pid) + "ProcessName:" + name_of(pid) + "\n" +
                cpu_lines()[0] + "\n")
        time.sleep(0.2)
    os.waitpid(child, 0)
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    print("child pid", child)


main()
