// Socket I/O of the simulated HDC: every wait also watches a wake descriptor,
// so that closing a session or destroying a server from another thread ends
// a blocked receive, send or accept.
#ifndef OSTREL_SIM_HAL_HDC_IO_H
#define OSTREL_SIM_HAL_HDC_IO_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace ostrel::sim {

enum class IoResult {
    kOk,
    kPeerClosed,   // end of stream or reset by the peer
    kWoken,        // the wake descriptor fired (local close)
    kInterrupted,  // a signal interrupted the wait (only when asked for)
    kTimeout,
    kError,
};

// Waits until fd has `events` or wakeFd is readable. timeoutMs < 0 waits for
// ever. A signal is reported as kInterrupted when `interruptible`, else the
// wait goes on.
IoResult WaitReady(int fd, short events, int wakeFd, int timeoutMs, bool interruptible);

// Reads exactly n bytes from the non-blocking fd. timeoutMs < 0: no limit.
IoResult ReadFull(int fd, int wakeFd, void* buf, size_t n, int timeoutMs);

// Writes every byte of the iovec array to the non-blocking fd (the array is
// modified). No SIGPIPE is raised.
IoResult WriteAll(int fd, int wakeFd, struct iovec* iov, size_t count);

// Frame of one message: header {magic, buffer count}, the buffer lengths
// (u32 each), then the buffers' bytes back to back.
constexpr uint32_t kFrameMagic = 0x31434448;  // "HDC1"
constexpr uint32_t kHelloMagic = 0x314C4548;  // "HEL1"
constexpr uint32_t kMaxFrameBuffers = 4096;
constexpr uint64_t kMaxFrameBytes = 256ull << 20;

// First bytes a connecting side sends: who it is.
struct Hello {
    uint32_t magic;
    uint32_t vfId;
    int32_t pid;
    uint32_t reserved;
};

}  // namespace ostrel::sim

#endif  // OSTREL_SIM_HAL_HDC_IO_H
