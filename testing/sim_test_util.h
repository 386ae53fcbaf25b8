#ifndef OSTREL_SIM_SIM_TEST_UTIL_H
#define OSTREL_SIM_SIM_TEST_UTIL_H

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/hal.h"
#include "ostrel/sim_control.h"

namespace ostrel::simtest {

// Every OSTREL_SIM_* setting a test may change; cleared around each test.
inline const std::vector<std::string>& SettingNames() {
    static const std::vector<std::string> names = {
        "OSTREL_SIM_DEVICES",      "OSTREL_SIM_PHY_IDS",      "OSTREL_SIM_MAX_SEGMENT",
        "OSTREL_SIM_CHIP_VERSION", "OSTREL_SIM_HOST_FREQ",    "OSTREL_SIM_DEVICE_FREQ",
        "OSTREL_SIM_API_VERSION",  "OSTREL_SIM_RUN_SIDE",     "OSTREL_SIM_CHANNELS",
        "OSTREL_SIM_CHANNEL_MODE", "OSTREL_SIM_STREAM_BYTES", "OSTREL_SIM_RING_BYTES",
        "OSTREL_SIM_FAULTS"};
    return names;
}

// Restores the simulator's defaults (keeping OSTREL_SIM_DIR, which CTest sets).
inline void ResetSim() {
    for (const std::string& name : SettingNames()) {
        unsetenv(name.c_str());
    }
    ostrel_sim_reset();
}

inline void UseSetting(const char* name, const char* value) {
    setenv(name, value, 1);
    ostrel_sim_reset();
}

inline long ThreadId() {
    return static_cast<long>(syscall(SYS_gettid));
}

// Kernel wait channel of a thread of this process ("" when unknown or gone).
inline std::string WaitChannel(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/wchan");
    std::string text;
    std::getline(in, text);
    return text;
}

// State letter of a thread of this process ("R", "S", ...), "" when gone.
inline std::string ThreadState(long tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(in, line);
    size_t paren = line.rfind(')');
    return paren == std::string::npos || paren + 2 >= line.size() ? "" : line.substr(paren + 2, 1);
}

// Waits (up to 10 s) until the thread sleeps in a kernel wait named like `where` ("poll" in
// the simulator's accept, receive and send; "futex" on a condition variable).
inline bool WaitBlockedIn(const std::atomic<long>& tid, const char* where) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        long t = tid.load();
        if (t != 0) {
            std::string channel = WaitChannel(t);
            if (channel.find(where) != std::string::npos) {
                return true;
            }
            if ((channel.empty() || channel == "0") && ThreadState(t) == "S") {
                return true;  // the kernel hides wait channels: sleeping will do
            }
        }
        std::this_thread::yield();
    }
    return false;
}

inline bool WaitBlockedInPoll(const std::atomic<long>& tid) {
    return WaitBlockedIn(tid, "poll");
}

using Buffers = std::vector<std::string>;

inline drvError_t SendRaw(HDC_SESSION session, const Buffers& buffers) {
    struct drvHdcMsg* msg = nullptr;
    drvError_t rc = drvHdcAllocMsg(session, &msg, 1);
    if (rc != DRV_ERROR_NONE) {
        return rc;
    }
    for (const std::string& b : buffers) {
        rc = drvHdcAddMsgBuffer(msg, const_cast<char*>(b.data()), static_cast<int>(b.size()));
        if (rc != DRV_ERROR_NONE) {
            drvHdcFreeMsg(msg);
            return rc;
        }
    }
    rc = halHdcSend(session, msg, HDC_FLAG_WAIT, 0);
    drvHdcFreeMsg(msg);
    return rc;
}

inline drvError_t RecvRaw(HDC_SESSION session, Buffers* out, uint64_t flag = HDC_FLAG_WAIT) {
    struct drvHdcMsg* msg = nullptr;
    drvError_t rc = drvHdcAllocMsg(session, &msg, 1);
    if (rc != DRV_ERROR_NONE) {
        return rc;
    }
    int count = 0;
    rc = halHdcRecv(session, msg, 0, flag, &count, 0);
    out->clear();
    for (int i = 0; rc == DRV_ERROR_NONE && i < count; ++i) {
        char* p = nullptr;
        int len = 0;
        rc = drvHdcGetMsgBuffer(msg, i, &p, &len);
        if (rc == DRV_ERROR_NONE) {
            out->emplace_back(p, static_cast<size_t>(len));
        }
    }
    drvHdcFreeMsg(msg);
    return rc;
}

// Bytes that differ with position and seed.
inline std::string Pattern(size_t len, unsigned seed) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) {
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    }
    return s;
}

}  // namespace ostrel::simtest

#endif  // OSTREL_SIM_SIM_TEST_UTIL_H
