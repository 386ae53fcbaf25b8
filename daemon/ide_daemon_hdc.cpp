#include "daemon/ide_daemon_hdc.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/ide_common_util.h"
#include "common/log.h"
#include "common/make_shared.h"
#include "common/memory_utils.h"
#include "daemon/ide_daemon.h"
#include "daemon/ide_platform_util.h"
#include "daemon/kvt_dsmi.h"
#include "hdc/hdc_api.h"
#include "ostrel/bounds.h"
#include "ostrel/hal.h"
#include "ostrel/mm.h"

namespace {

constexpr int kEintr = 4;
constexpr uint32_t kTooLongRecv = 0xFFFFFFFFu;
// The largest value a component takes, and so the largest request read with
// its header.
constexpr uint32_t kMaxRequestValue = 3145728;
constexpr uint32_t kMaxRequestRead = kMaxRequestValue + IDE_TLV_HEAD_LEN;
constexpr size_t kErrorTextLen = 256;
// Upper bound of destroy's wait for the server and worker threads; they end
// within moments of the wake-up unless the driver fails to wake an accept.
constexpr auto kThreadsEndBound = std::chrono::seconds(30);

// One device's entry.
struct DevInfo {
    mmThread thread{};
    uint32_t phyDevId = 0;
    uint32_t logDevId = 0;  // written by the entry's server thread only
    uint8_t threadStarted = 0;
    uint32_t serviceType = IDE_HDC_SERVICE_TYPE;

    // Guards server and removed: shared by the server thread and destroy.
    std::mutex mu;
    HDC_SERVER server = nullptr;
    bool removed = false;  // destroy took the entry away; no new server
};
using DevInfoPtr = std::shared_ptr<DevInfo>;

// The process-wide control block.
struct GlobalCtrlInfo {
    // Constant while the block is started.
    mmMutex_t mutex;
    mmSem_t devNotifySem;
    // Guarded by mutex.
    HDC_CLIENT client = nullptr;
    std::vector<IdeDevNotifyCallback> notifyCallbacks;
    std::map<int32_t, DevInfoPtr> devices;
    // Read without the mutex by every thread.
    std::atomic<uint8_t> initialised{0};
    std::atomic<uint8_t> creating{0};
    std::atomic<uint8_t> serving{0};
    std::atomic<uint8_t> started{0};
};

GlobalCtrlInfo g_ctrl;

// Counts the threads that may still use the block, so destroy can wait for
// them. Never destroyed: threads that end at process exit still find it.
class ThreadTracker {
  public:
    void Enter() {
        std::lock_guard<std::mutex> lock(mu_);
        ++running_;
    }
    void Leave() {
        std::lock_guard<std::mutex> lock(mu_);
        --running_;
        cv_.notify_all();
    }
    void LoopRunning(bool running) {
        std::lock_guard<std::mutex> lock(mu_);
        loopRunning_ = running;
        cv_.notify_all();
    }
    bool WaitAllDone(std::chrono::milliseconds bound = kThreadsEndBound) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, bound, [this] { return running_ == 0 && !loopRunning_; });
    }
    int Running() {
        std::lock_guard<std::mutex> lock(mu_);
        return running_;
    }
    IdeStopEvent& Stop() { return stop_; }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    int running_ = 0;
    bool loopRunning_ = false;
    IdeStopEvent stop_;  // set by destroy: ends the server-creation retries
};

ThreadTracker& Tracker() {
    static ThreadTracker* tracker = new ThreadTracker();
    return *tracker;
}

bool Serving() {
    return g_ctrl.serving.load() != 0;
}

// Session context handed to a worker.
struct IdeSessionCtx {
    uint32_t phyDevId;
    uint32_t logDevId;
    HDC_SESSION session;
};

std::string ErrorText(int code) {
    char buf[kErrorTextLen] = {0};
    const char* text = mmGetErrorFormatMessage(code, buf, sizeof(buf));
    return text != nullptr ? text : "";
}

// ---- Device wait and client -------------------------------------------------

int WaitForDevices(uint32_t* devNum, uint32_t* phyIds) {
    int ret = -1;
    for (int attempt = 1; attempt <= IDE_DEVICE_WAIT_TIMES; ++attempt) {
        if (IdeStopSignalPending()) {
            // A service stop during the long wait for devices: give up waiting.
            ORU_LOGEVENT("oru received a stop signal while waiting for devices");
            return -1;
        }
        *devNum = 0;
        ret = IdeGetPhyDevList(devNum, phyIds, IDE_MAX_DEV_NUM);
        ORU_LOGI("Device Counts: %u", *devNum);
        if (ret == 0 && *devNum > 0) {
            return 0;
        }
        if (attempt < IDE_DEVICE_WAIT_TIMES) {
            IdeSleep(IDE_DEVICE_WAIT_MS);
        }
    }
    return ret;
}

bool SetUpCtrlInfo() {
    if (g_ctrl.started.load() != 0) {
        return true;
    }
    ORU_LOGI("Init GlobalCtrlInfo");
    g_ctrl.client = nullptr;
    if (mmMutexInit(&g_ctrl.mutex) != 0) {
        ORU_LOGE("global info mutex init error");
        return false;
    }
    if (mmSemInit(&g_ctrl.devNotifySem, 0) != 0) {
        ORU_LOGE("device notify sem init error");
        (void)mmMutexDestroy(&g_ctrl.mutex);
        return false;
    }
    g_ctrl.initialised = 1;
    Tracker().Stop().Reset();
    g_ctrl.creating = 1;
    g_ctrl.serving = 1;
    g_ctrl.started = 1;
    return true;
}

// ---- Server thread ----------------------------------------------------------

// Creates the entry's server, retrying while serving. false once serving
// ended or the entry was removed.
bool CreateServer(DevInfo& dev) {
    while (Serving()) {
        uint32_t logDevId = 0;
        if (IdeGetLogIdByPhyId(dev.phyDevId, &logDevId) != 0) {
            ORU_LOGW("logDevId %u phyDevId %u not ready, sleep %d milliseconds and retry",
                     dev.logDevId, dev.phyDevId, IDE_SERVER_RETRY_MS);
            (void)Tracker().Stop().WaitFor(IDE_SERVER_RETRY_MS);
            continue;
        }
        dev.logDevId = logDevId;
        HDC_SERVER server = nullptr;
        drvError_t err = drvHdcServerCreate(static_cast<int>(logDevId),
                                            static_cast<int>(dev.serviceType), &server);
        if (err == DRV_ERROR_NOT_READY) {
            ORU_LOGW("logDevId %u phyDevId %u hdc not ready, sleep %d milliseconds and retry",
                     logDevId, dev.phyDevId, IDE_SERVER_RETRY_MS);
            (void)Tracker().Stop().WaitFor(IDE_SERVER_RETRY_MS);
            continue;
        }
        if (err != DRV_ERROR_NONE || server == nullptr) {
            ORU_LOGW(
                "logDevId %u phyDevId %u create HDC failed, error: %d, sleep %d "
                "milliseconds and retry",
                logDevId, dev.phyDevId, err, IDE_SERVER_RETRY_MS);
            (void)Tracker().Stop().WaitFor(IDE_SERVER_RETRY_MS);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(dev.mu);
            if (!dev.removed) {
                dev.server = server;
                ORU_LOGEVENT("logDevId %u phyDevId:%u create HDC server successfully", logDevId,
                             dev.phyDevId);
                return true;
            }
        }
        // Destroy came first: this server is nobody's.
        (void)drvHdcServerDestroy(server);
        return false;
    }
    return false;
}

// Destroys the entry's server after an accept error, unless destroy already did.
void DropServer(DevInfo& dev, HDC_SERVER server) {
    {
        std::lock_guard<std::mutex> lock(dev.mu);
        if (dev.server != server) {
            return;
        }
        dev.server = nullptr;
    }
    drvError_t err = drvHdcServerDestroy(server);
    if (err != DRV_ERROR_NONE) {
        ORU_LOGE("Hdc Server Destroy Error : %d", err);
    }
}

void* IdeDaemonHdcProcessEvent(void* arg);

int StartWorker(const DevInfo& dev, HDC_SESSION session) {
    auto* ctx = static_cast<IdeSessionCtx*>(IdeXmalloc(sizeof(IdeSessionCtx)));
    if (ctx == nullptr) {
        ORU_LOGE("Ide Xmalloc failed");
        return -1;
    }
    ctx->phyDevId = dev.phyDevId;
    ctx->logDevId = dev.logDevId;
    ctx->session = session;
    Tracker().Enter();
    mmThread thread{};
    int err = IdeCreateTask(&thread, IdeDaemonHdcProcessEvent, ctx, true);
    if (err != 0) {
        ORU_LOGE("Thread Create Error: %d", mmGetErrorCode());
        Tracker().Leave();
        IdeXfree(ctx);
        return -1;
    }
    return 0;
}

void AcceptLoop(DevInfo& dev) {
    while (Serving()) {
        HDC_SERVER server = nullptr;
        {
            std::lock_guard<std::mutex> lock(dev.mu);
            server = dev.server;
        }
        if (server == nullptr) {
            return;
        }
        HDC_SESSION session = nullptr;
        drvError_t err = drvHdcSessionAccept(server, &session);
        if (err == DRV_ERROR_NONE && session != nullptr) {
            (void)drvHdcSetSessionReference(session);
            if (!Serving() || StartWorker(dev, session) != 0) {
                (void)HdcSessionClose(session);
                return;
            }
            continue;
        }
        if (!Serving()) {
            return;
        }
        if (err == DRV_ERROR_INTERRUPTED) {
            ORU_LOGW("Hdc Session Accept Break By EINTR");
            continue;
        }
        ORU_LOGE("Hdc Session Accept Error: %d", err);
        DropServer(dev, server);
        if (!CreateServer(dev)) {
            return;
        }
    }
}

void* IdeDaemonHdcHandleEvent(void* arg) {
    ORU_LOGEVENT("<START thread> IdeDaemonHdcHandleEvent start");
    auto* ref = static_cast<DevInfoPtr*>(arg);
    if (ref == nullptr || *ref == nullptr) {
        ORU_LOGE("invalid parameter");
        delete ref;
        Tracker().Leave();
        return nullptr;
    }
    (void)mmSetCurrentThreadName("ide_hdc_server");
    DevInfoPtr dev = std::move(*ref);
    delete ref;
    if (CreateServer(*dev)) {
        AcceptLoop(*dev);
    }
    dev.reset();
    ORU_LOGEVENT("<EXIT thread> IdeDaemonHdcHandleEvent");
    Tracker().Leave();
    return nullptr;
}

// ---- Worker -----------------------------------------------------------------

// Reads and checks one request; the packet (len + 1 bytes, zero-terminated)
// or nullptr.
IdeTlvReq* ReadRequest(HDC_SESSION session, int* err) {
    void* buf = nullptr;
    uint32_t len = 0;
    // No component takes a value beyond kMaxRequestValue: a longer request
    // is not gathered in memory first.
    int ret = HdcSessionReadPoll(session, &buf, &len, HDC_READ_POLL, kMaxRequestRead);
    if (ret != 0) {
        ORU_LOGW("Ide Read ret: %d", ret);
        *err = ret;
        return nullptr;
    }
    IdeTlvReq* req = IdeCheckRequest(buf, len);
    IdeXfree(buf);
    *err = req == nullptr ? -1 : 0;
    return req;
}

int Dispatch(const IdeSessionCtx& ctx, IdeTlvReq* req, bool* handedOver) {
    ORU_LOGI("received %s request, type %d, req->dev_id=%d, phyDevId=%u.",
             IdeGetReqTypeName(req->type), static_cast<int>(req->type),
             static_cast<int>(req->dev_id), ctx.phyDevId);
    req->dev_id = ctx.phyDevId;
    uint32_t component = IdeGetComponentType(req);
    IdeProcessFunc process = IdeGetComponentProcess(component);
    if (component == NR_IDE_COMPONENTS || process == nullptr) {
        ORU_LOGE("req->type: %d, Invalid request or no hdc process func register",
                 static_cast<int>(req->type));
        return -1;
    }
    // The kernel keeps 15 characters of a thread name: the log has it whole.
    std::string name = std::string("ide_hdc_process") + "_" + IdeGetReqTypeName(req->type);
    (void)mmSetCurrentThreadName(name.c_str());
    ORU_LOGI("thread ide_hdc_process renamed to %s", name.c_str());
    *handedOver = component == IDE_COMPONENT_PROFILING;
    int ret = process(ctx.session, req);
    if (ret != 0) {
        ORU_LOGE("req->type: %d, call %s process func failed, err: %d", static_cast<int>(req->type),
                 IdeGetComponentName(component), ret);
    }
    return ret;
}

void* IdeDaemonHdcProcessEvent(void* arg) {
    (void)mmSetCurrentThreadName("ide_hdc_process");
    auto* ctx = static_cast<IdeSessionCtx*>(arg);
    if (ctx == nullptr) {
        ORU_LOGE("invalid parameter");
        Tracker().Leave();
        return nullptr;
    }
    int err = 0;
    IdeTlvReq* req = ReadRequest(ctx->session, &err);
    int ret = -1;
    if (req == nullptr) {
        ORU_LOGE("Ide Hdc Read Request failed, err: %d", err);
        (void)HdcSessionClose(ctx->session);
    } else {
        // The profiling component owns the session once it was handed over;
        // any other session (also one nobody took) is closed here.
        bool handedOver = false;
        ret = Dispatch(*ctx, req, &handedOver);
        if (!handedOver) {
            (void)HdcSessionClose(ctx->session);
        }
        IdeXfree(req);
    }
    if (ret != 0) {
        ORU_LOGE("Daemon Hdc Process Event Process Failed, err: %d", ret);
    }
    IdeXfree(ctx);
    Tracker().Leave();
    return nullptr;
}

// ---- Destroy ----------------------------------------------------------------

void RemoveDevices() {
    if (mmMutexLock(&g_ctrl.mutex) != 0) {
        ORU_LOGE("mutex lock error");
        return;
    }
    for (auto& entry : g_ctrl.devices) {
        DevInfo& dev = *entry.second;
        HDC_SERVER server = nullptr;
        {
            std::lock_guard<std::mutex> lock(dev.mu);
            dev.removed = true;
            server = dev.server;
            dev.server = nullptr;
        }
        if (server != nullptr) {
            drvError_t err = drvHdcServerDestroy(server);
            if (err != DRV_ERROR_NONE) {
                ORU_LOGI("Hdc Server Destroy Err Code: %d, dev Id: %u", err, dev.phyDevId);
            }
        }
    }
    g_ctrl.devices.clear();
    if (mmMutexUnLock(&g_ctrl.mutex) != 0) {
        ORU_LOGE("mutex lock error");
    }
}

}  // namespace

IdeTlvReq* IdeCheckRequest(const void* buf, uint32_t len) {
    if (buf == nullptr) {
        return nullptr;
    }
    if (len == kTooLongRecv) {
        ORU_LOGE("too long recv_data: %u bytes", len);
        return nullptr;
    }
    auto* req = static_cast<IdeTlvReq*>(IdeXmalloc(static_cast<size_t>(len) + 1));
    if (req == nullptr) {
        ORU_LOGE("Ide Xmalloc failed");
        return nullptr;
    }
    if (memcpy_s(req, static_cast<size_t>(len) + 1, buf, len) != EOK) {
        ORU_LOGE("memory copy_s failed");
        IdeXfree(req);
        return nullptr;
    }
    // A buffer shorter than the header has no len field to trust.
    if (len < IDE_TLV_HEAD_LEN || req->len != len - IDE_TLV_HEAD_LEN) {
        ORU_LOGE("recv len: %u bytes, req len %d bytes, size %zu bytes", len,
                 len < IDE_TLV_HEAD_LEN ? -1 : static_cast<int>(req->len),
                 static_cast<size_t>(IDE_TLV_HEAD_LEN));
        IdeXfree(req);
        return nullptr;
    }
    return req;
}

int IdeDaemonHdcInit() {
    if (!SetUpCtrlInfo()) {
        return -1;
    }
    uint32_t devNum = 0;
    std::vector<uint32_t> phyIds(IDE_MAX_DEV_NUM, 0);
    int ret = WaitForDevices(&devNum, phyIds.data());
    if (ret != 0) {
        return ret;
    }
    if (devNum > IDE_MAX_DEV_NUM) {
        ORU_LOGE("device num %u", devNum);
        return -1;
    }
    if (devNum != 0) {
        ORU_LOGI("device count: %u", devNum);
        IdeDaemonHdcRegisterDevices(devNum, phyIds.data());
    }
    HDC_CLIENT client = nullptr;
    drvError_t err = drvHdcClientCreate(&client, HDC_MAX_SESSION_NUM, IDE_HDC_SERVICE_TYPE, 0);
    if (err != DRV_ERROR_NONE || client == nullptr) {
        ORU_LOGE("Hdc Client Create, Max Session Num: %d", HDC_MAX_SESSION_NUM);
        return -1;
    }
    if (mmMutexLock(&g_ctrl.mutex) != 0) {
        ORU_LOGE("mutex lock error");
        (void)drvHdcClientDestroy(client);
        return -1;
    }
    g_ctrl.client = client;
    (void)mmMutexUnLock(&g_ctrl.mutex);
    return 0;
}

void IdeDaemonHdcRegisterDevices(uint32_t count, const uint32_t* phyIds) {
    if (count == 0 || count > IDE_MAX_DEV_NUM || phyIds == nullptr || g_ctrl.started.load() == 0) {
        ORU_LOGE("server register input error; device num is %u", count);
        return;
    }
    if (mmMutexLock(&g_ctrl.mutex) != 0) {
        ORU_LOGE("mutex lock error");
        return;
    }
    for (size_t i = 0; i < g_ctrl.notifyCallbacks.size(); ++i) {
        ORU_LOGI("register %u notify callbacks %u", static_cast<uint32_t>(i), count);
        g_ctrl.notifyCallbacks[i](count, phyIds);
    }
    for (uint32_t i = 0; i < count; ++i) {
        int32_t key = static_cast<int32_t>(phyIds[i]);
        if (g_ctrl.devices.count(key) != 0) {
            continue;
        }
        auto dev = analysis::orbx::common::MakeShared<DevInfo>();
        if (dev == nullptr) {
            break;
        }
        dev->phyDevId = phyIds[i];
        dev->serviceType = IDE_HDC_SERVICE_TYPE;
        try {
            g_ctrl.devices.emplace(key, std::move(dev));
        } catch (const std::exception& e) {
            ORU_LOGE("make shared failed, message: %s", e.what());
            break;
        }
    }
    if (mmMutexUnLock(&g_ctrl.mutex) != 0) {
        ORU_LOGE("mutex lock error");
        return;
    }
    (void)mmSemPost(&g_ctrl.devNotifySem);
    ORU_LOGI("notify %u device up", count);
}

int IdeDaemonHdcAddNotifyCallback(IdeDevNotifyCallback callback) {
    if (callback == nullptr || g_ctrl.started.load() == 0 || mmMutexLock(&g_ctrl.mutex) != 0) {
        return -1;
    }
    g_ctrl.notifyCallbacks.push_back(callback);
    (void)mmMutexUnLock(&g_ctrl.mutex);
    return 0;
}

// Starts a server thread for every entry without one; false on a failure
// that ends the loop.
static bool StartServerThreads() {
    if (mmMutexLock(&g_ctrl.mutex) != 0) {
        ORU_LOGE("mutex lock error");
        return false;
    }
    bool ok = true;
    for (auto& entry : g_ctrl.devices) {
        DevInfoPtr& dev = entry.second;
        if (dev->threadStarted != 0) {
            continue;
        }
        ORU_LOGI("Create HdcServer");
        auto* ref = new (std::nothrow) DevInfoPtr(dev);
        Tracker().Enter();
        if (ref == nullptr ||
            IdeCreateTask(&dev->thread, IdeDaemonHdcHandleEvent, ref, true) != 0) {
            int code = mmGetErrorCode();
            ORU_LOGE("Thread Create error: %s", ErrorText(code).c_str());
            Tracker().Leave();
            delete ref;
            ok = false;
            break;
        }
        dev->threadStarted = 1;
    }
    if (mmMutexUnLock(&g_ctrl.mutex) != 0) {
        ORU_LOGE("mutex lock error");
        return false;
    }
    return ok;
}

void IdeDaemonHdcCreateServers() {
    ORU_LOGI("Hdc Create HdcServer Entry");
    if (g_ctrl.started.load() == 0) {
        ORU_LOGI("Hdc Create HdcServer Exit");
        return;
    }
    Tracker().LoopRunning(true);
    while (g_ctrl.creating.load() != 0) {
        if (mmSemWait(&g_ctrl.devNotifySem) != 0) {
            if (mmGetErrorCode() == kEintr) {
                continue;
            }
            ORU_LOGE("dev sem wait error");
            break;
        }
        if (g_ctrl.creating.load() == 0) {
            break;
        }
        if (!StartServerThreads()) {
            break;
        }
    }
    ORU_LOGI("Hdc Create HdcServer Exit");
    Tracker().LoopRunning(false);
}

void IdeDaemonHdcEndLoop() {
    g_ctrl.creating = 0;
    if (g_ctrl.started.load() != 0) {
        (void)mmSemPost(&g_ctrl.devNotifySem);  // sem_post: async-signal-safe
    }
}

// Threads look at these flags first, so none starts new work on an entry
// that is going away.
static void EndServing() {
    g_ctrl.serving = 0;
    g_ctrl.creating = 0;
    Tracker().Stop().Set();
    RemoveDevices();
}

void IdeDaemonHdcStopServing() {
    if (g_ctrl.started.load() == 0) {
        return;
    }
    ORU_LOGI("Hdc stop serving");
    EndServing();
    if (!Tracker().WaitAllDone(std::chrono::milliseconds(IDE_STOP_SERVING_WAIT_MS))) {
        ORU_LOGW("hdc threads still running at stop: %d", Tracker().Running());
    }
}

int IdeDaemonHdcDestroy() {
    if (g_ctrl.started.load() != 0) {
        ORU_LOGI("Destroy GlobalCtrlInfo");
        EndServing();
        if (mmMutexLock(&g_ctrl.mutex) == 0) {
            HDC_CLIENT client = g_ctrl.client;
            g_ctrl.client = nullptr;
            (void)mmMutexUnLock(&g_ctrl.mutex);
            if (client != nullptr) {
                drvError_t err = drvHdcClientDestroy(client);
                if (err != DRV_ERROR_NONE) {
                    ORU_LOGI("Hdc Client Destroy Err Code: %d", err);
                }
            }
        } else {
            ORU_LOGE("mutex lock error");
        }
        if (mmSemPost(&g_ctrl.devNotifySem) != 0) {
            ORU_LOGE("notify sem post error");
        }
        if (!Tracker().WaitAllDone()) {
            // Leave the mutex and semaphore in place for whoever still runs.
            ORU_LOGE("hdc threads still running at destroy: %d", Tracker().Running());
        } else {
            g_ctrl.notifyCallbacks.clear();
            if (mmSemDestroy(&g_ctrl.devNotifySem) != 0) {
                ORU_LOGE("device notify sem destroy error");
            }
            if (mmMutexDestroy(&g_ctrl.mutex) != 0) {
                ORU_LOGE("global info mutex dertroy error");
            }
            g_ctrl.initialised = 0;
            g_ctrl.started = 0;
        }
    }
    ORU_LOGI("Hdc Destroy Exit");
    return 0;
}

int IdeDaemonHdcRunningThreads() {
    return Tracker().Running();
}
