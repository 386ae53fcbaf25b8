#include "jobs/prof_perf_job.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <tuple>
#include <utility>

#include "common/log.h"
#include "common/make_shared.h"
#include "common/oru_paths.h"
#include "common/utils.h"
#include "driver/config_manager.h"
#include "driver/platform.h"
#include "message/job_context.h"
#include "message/param_validation.h"
#include "message/profile_params.h"
#include "ostrel/bounds.h"
#include "ostrel/mm.h"
#include "transport/profile_file_chunk.h"
#include "transport/uploader_mgr.h"

namespace Analysis::Orbx::JobWrapper {

namespace {

std::string BaseNameOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool AllDigits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Sort key of a piece name: the part before the last point, then a numeric
// last part (by value) before any other last part (by text).
struct PieceKey {
    std::string prefix;
    bool textual = true;
    std::string number;  // without leading zeros, "0" for zero
    std::string suffix;
    std::string path;  // tie-break, so equal names in different folders still order

    explicit PieceKey(const std::string& p) : path(p) {
        const std::string name = BaseNameOf(p);
        const size_t point = name.rfind('.');
        prefix = name.substr(0, point);
        suffix = point == std::string::npos ? std::string() : name.substr(point + 1);
        if (AllDigits(suffix)) {
            textual = false;
            number = suffix.substr(std::min(suffix.find_first_not_of('0'), suffix.size() - 1));
        }
    }
    bool operator<(const PieceKey& o) const {
        return std::make_tuple(std::cref(prefix), textual, number.size(), std::cref(number),
                               std::cref(suffix), std::cref(path)) <
               std::make_tuple(std::cref(o.prefix), o.textual, o.number.size(), std::cref(o.number),
                               std::cref(o.suffix), std::cref(o.path));
    }
};

}  // namespace

int CtrlCpuSampleFrequency(int32_t intervalMs) {
    const int32_t interval = intervalMs > 0 ? intervalMs : kDefaultCtrlCpuIntervalMs;
    return std::max(1000 / interval, 1);
}

std::string CtrlCpuEventsText(const std::vector<std::string>& events) {
    std::string text = "{";
    for (size_t i = 0; i < events.size(); ++i) {
        if (i > 0) {
            text += ",";
        }
        text += "r" + (events[i].size() > 2 ? events[i].substr(2) : std::string());
    }
    return text + "}";
}

bool IsCtrlCpuPiece(const std::string& path) {
    const std::string name = BaseNameOf(path);
    return name.find(std::string(kCtrlCpuDataName) + ".") != std::string::npos &&
           std::count(name.begin(), name.end(), '.') == 3;
}

std::vector<std::string> SelectCtrlCpuPieces(const std::vector<std::string>& paths,
                                             bool includeLast, const std::string& recording) {
    std::vector<PieceKey> keys;
    for (const auto& path : paths) {
        if (!IsCtrlCpuPiece(path)) {
            continue;
        }
        if (!recording.empty()) {
            const std::string name = BaseNameOf(path);
            if (name.compare(0, recording.size() + 1, recording + ".") != 0 ||
                !AllDigits(name.substr(recording.size() + 1))) {
                continue;
            }
        }
        keys.emplace_back(path);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> pieces;
    pieces.reserve(keys.size());
    for (auto& key : keys) {
        pieces.push_back(std::move(key.path));
    }
    if (!includeLast && !pieces.empty()) {
        pieces.pop_back();
    }
    return pieces;
}

}  // namespace Analysis::Orbx::JobWrapper

namespace Analysis::Orbx::JobWrapper {

using analysis::orbx::ProfileFileChunk;
using analysis::orbx::common::ExecCmdParams;
using analysis::orbx::common::MakeShared;
using analysis::orbx::common::Utils;
using Analysis::Orbx::Common::Config::ConfigManager;
using analysis::orbx::common::memory::Chunk;
using Analysis::Orbx::Common::Platform::Platform;
using analysis::orbx::common::validation::ParamValidation;
using analysis::orbx::message::JobContext;
using analysis::orbx::message::ProfileParams;
using analysis::orbx::transport::UploaderMgr;

namespace {

constexpr const char kScriptEnv[] = "PATH=/usr/bin:/usr/sbin:/var";
constexpr const char kUploadName[] = "data/ai_ctrl_cpu.data";
constexpr const char kConvertedSuffix[] = ".txt";
constexpr const char kPerfLogName[] = "perf.log";
constexpr const char kTaskThreadName[] = "KTRX_PerfScript";
constexpr uint64_t kTaskBufSize = 0x40001;

constexpr const char kRecordVerb[] = "--record";
constexpr const char kStatVerb[] = "--stat";

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A control-CPU recording of this daemon's profiling directory, whatever its
// device.
bool IsCtrlCpuRecording(const std::string& verb, const std::string& file) {
    return verb == kRecordVerb && StartsWith(file, analysis::orbx::common::kInotifyDir) &&
           StartsWith(Utils::BaseName(file), std::string(kCtrlCpuDataName) + ".");
}

// Any recording of the script into this daemon's profiling directory.
bool IsProfilingRecording(const std::string& verb, const std::string& file) {
    return (verb == kRecordVerb || verb == kStatVerb) &&
           StartsWith(file, analysis::orbx::common::kInotifyDir);
}

}  // namespace

bool EndRecordingsLeftBehind() {
    const bool ended = EndEveryRecordingLeftBehind(IsProfilingRecording);
    std::vector<std::string> dirs;
    Utils::ListDirs(analysis::orbx::common::kInotifyDir, false, dirs, 0);
    for (const auto& dir : dirs) {
        if (Utils::IsDigits(Utils::BaseName(dir))) {
            ProfCtrlcpuJob::RemoveStalePieces(dir);
        }
    }
    return ended;
}

// ---- PerfExtraTask ----------------------------------------------------------

PerfExtraTask::PerfExtraTask(uint64_t bufSize, const std::string& resultDir,
                             std::shared_ptr<JobContext> jobCtx,
                             std::shared_ptr<ProfileParams> params)
    : resultDir_(resultDir),
      jobCtx_(std::move(jobCtx)),
      params_(std::move(params)),
      bufSize_(bufSize) {}

PerfExtraTask::~PerfExtraTask() {
    (void)Stop();
}

int PerfExtraTask::Init() {
    if (params_ != nullptr && params_->hostProfiling) {
        return -1;
    }
    if (isInited_) {
        ORU_LOGE("The PerfExtraTask is inited");
        return -1;
    }
    buf_ = bufSize_ >= 2 ? MakeShared<Chunk>(bufSize_) : nullptr;
    if (buf_ == nullptr || !buf_->Init()) {
        buf_.reset();
        ORU_LOGE("Buf init failed");
        return -1;
    }
    ORU_LOGI("PerfExtraTask init succ");
    isInited_ = true;
    return 0;
}

int PerfExtraTask::Uninit() {
    if (isInited_) {
        buf_.reset();
        isInited_ = false;
    } else {
        ORU_LOGI("PerfExtraTask is uninited");
    }
    return 0;
}

void PerfExtraTask::SetJobCtx(std::shared_ptr<JobContext> jobCtx) {
    jobCtx_ = std::move(jobCtx);
}

void PerfExtraTask::Run(const analysis::orbx::common::thread::ErrorContext& /*context*/) {
    while (!IsQuit()) {
        ORU_LOGI("PerfExtraTask running");
        (clock_ != nullptr ? *clock_ : analysis::orbx::common::Clock::Default())
            .SleepFor(kPollInterval);
        ProcessPieces(IsQuit());
    }
    ProcessPieces(true);
    ORU_LOGI("PerfExtraTask the total data size: %lld", static_cast<long long>(totalSize_));
    if (unconverted_ > 0) {
        ORU_LOGE("PerfExtraTask could not convert %d piece(s)", unconverted_);
    }
}

void PerfExtraTask::ProcessPieces(bool all) {
    std::vector<std::string> files;
    Utils::ListFiles(resultDir_, false, files, 0);
    for (const auto& piece : SelectCtrlCpuPieces(files, all, recording_)) {
        HandlePiece(piece);
    }
}

void PerfExtraTask::HandlePiece(const std::string& piece) {
    const std::string name = Utils::BaseName(piece);
    ORU_LOGI("PerfExtraTask file: %s", name.c_str());
    int exitCode = 0;
    const int ret = convert_ ? convert_(piece, exitCode) : ConvertWithScript(piece, exitCode);
    ORU_LOGI("resolve ctrlcpu data:%s, ret=%d, exit_code=%d", name.c_str(), ret, exitCode);
    const std::string converted = piece + kConvertedSuffix;
    if (ret != 0 || exitCode != 0) {
        ++unconverted_;
        ORU_LOGE("Failed to convert ctrl cpu data:%s, ret=%d, exit_code=%d", name.c_str(), ret,
                 exitCode);
    } else {
        UploadFile(converted);
    }
    Utils::RemoveFile(piece);
    Utils::RemoveFile(converted);
}

int PerfExtraTask::ConvertWithScript(const std::string& piece, int& exitCode) {
    return RunDeviceScript({"--script", piece}, piece + kConvertedSuffix, kScriptConvertWaitMs,
                           kSignalWaitMs, exitCode);
}

void PerfExtraTask::UploadFile(const std::string& path) {
    const std::string name = Utils::BaseName(path);
    if (!Utils::IsFileExist(path)) {
        ORU_LOGW("file:%s is not exist", name.c_str());
        return;
    }
    const uint64_t size = Utils::GetFileSize(path);
    if (size == 0 || size > kMaxConvertedSize) {
        ORU_LOGE("data file size is invalid");
        return;
    }
    if (buf_ == nullptr || buf_->GetBuffer() == nullptr) {
        ORU_LOGE("PerfExtraTask has no buffer, file:%s is not uploaded", name.c_str());
        return;
    }
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        ORU_LOGE("Failed to open %s", name.c_str());
        return;
    }
    const std::string jobId = jobCtx_ != nullptr ? jobCtx_->job_id : std::string();
    const std::string fileName =
        std::string(kUploadName) + "." + (jobCtx_ != nullptr ? jobCtx_->tag : std::string());
    const std::string extraInfo = jobId + "." + (jobCtx_ != nullptr ? jobCtx_->dev_id : "");
    char* buf = buf_->GetBuffer();
    const uint64_t bufSize = buf_->GetBufferSize();
    const uint64_t readSize = std::min(kReadSize, bufSize - 1);
    int64_t fileBytes = 0;
    while (in.good()) {
        (void)memset_s(buf, bufSize, 0, bufSize);
        in.read(buf, static_cast<std::streamsize>(readSize));
        const auto n = static_cast<size_t>(in.gcount());
        auto chunk = MakeShared<ProfileFileChunk>();
        if (chunk == nullptr) {
            break;
        }
        chunk->fileName = fileName;
        chunk->offset = -1;
        chunk->chunk.assign(buf, n);
        chunk->chunkSize = n;
        chunk->isLastChunk = false;
        chunk->chunkModule = kChunkModule;
        chunk->extraInfo = extraInfo;
        if (UploaderMgr::GetInstance().UploadData(jobId, devIndex_, chunk) != 0) {
            ORU_LOGE("Upload cpu data failed , jobId: %s", jobId.c_str());
        }
        totalSize_ += static_cast<int64_t>(n);
        fileBytes += static_cast<int64_t>(n);
    }
    ORU_LOGI("PerfExtraTask data size: %lld", static_cast<long long>(fileBytes));
}

// ---- ProfCtrlcpuJob ---------------------------------------------------------

ProfCtrlcpuJob::~ProfCtrlcpuJob() {
    if (recording_ != nullptr) {
        (void)Uninit();
    }
}

int ProfCtrlcpuJob::Init(const std::shared_ptr<CollectionJobCfg> cfg) {
    if (!CheckJobEventParam(cfg)) {
        return -1;
    }
    if (IsHostProfiling(cfg)) {
        return -1;
    }
    if (!Platform::GetInstance().IsDeviceSide()) {
        ORU_LOGI("Not in device Side, aiCtrlcpu Profiling not enabled");
        return -1;
    }
    cfg_ = cfg;
    CollectionJobCommonParams& common = *cfg->commonParams;
    common.resultDir = ConfigManager::GetInstance().GetPerfDataDir(static_cast<int>(common.devId));
    const int ret = Utils::CreateDir(common.resultDir);
    if (ret != 0) {
        ORU_LOGE("Creating dir failed: %s", Utils::BaseName(common.resultDir).c_str());
        return ret;
    }
    perfExtraTask_ =
        MakeShared<PerfExtraTask>(kTaskBufSize, common.resultDir, common.jobCtx, common.params);
    if (perfExtraTask_ == nullptr) {
        return -1;
    }
    if (taskClock_ != nullptr) {
        perfExtraTask_->SetClock(*taskClock_);
    }
    if (taskConvert_) {
        perfExtraTask_->SetConvertFunc(taskConvert_);
    }
    return 0;
}

void ProfCtrlcpuJob::RemoveStalePieces(const std::string& dir) {
    std::vector<std::string> files;
    Utils::ListFiles(dir, false, files, 0);
    for (const auto& file : files) {
        const bool converted = file.size() > std::strlen(kConvertedSuffix) &&
                               file.compare(file.size() - std::strlen(kConvertedSuffix),
                                            std::string::npos, kConvertedSuffix) == 0;
        const std::string piece =
            converted ? file.substr(0, file.size() - std::strlen(kConvertedSuffix)) : file;
        if (IsCtrlCpuPiece(piece)) {
            ORU_LOGW("Remove stale ctrl cpu data: %s", Utils::BaseName(file).c_str());
            Utils::RemoveFile(file);
        }
    }
}

std::string ProfCtrlcpuJob::BuildCtrlCpuCmd() const {
    if (cfg_ == nullptr || cfg_->commonParams == nullptr || cfg_->events == nullptr ||
        cfg_->events->empty() ||
        !ParamValidation::GetInstance().CheckCtrlCpuEventsIsValid(*cfg_->events)) {
        return std::string();
    }
    const CollectionJobCommonParams& common = *cfg_->commonParams;
    const int devId = static_cast<int>(common.devId);
    const std::string dir = ConfigManager::GetInstance().GetPerfDataDir(devId);
    if (Utils::CreateDir(dir) != 0) {
        ORU_LOGE("Creating dir: %s err!", Utils::BaseName(dir).c_str());
        return std::string();
    }
    const std::string file =
        Utils::Join({dir, kCtrlCpuDataName}) + "." + std::to_string(common.devIdOnHost);
    {
        std::ofstream out(file, std::ios::out | std::ios::trunc | std::ios::binary);
        if (!out.is_open()) {
            ORU_LOGE("Failed to open %s, dev_id=%d", Utils::BaseName(file).c_str(), devId);
            return std::string();
        }
    }
    RemoveStalePieces(dir);
    const int32_t interval = common.params != nullptr ? common.params->cpu_sampling_interval : 0;
    return std::string("sudo ") + analysis::orbx::common::kProfCollectScript + " --record " + file +
           " " + std::to_string(CtrlCpuSampleFrequency(interval)) + " " +
           CtrlCpuEventsText(*cfg_->events);
}

int ProfCtrlcpuJob::Process() {
    if (!CheckJobCommonParam(cfg_)) {
        return -1;
    }
    // One recording serves the card: any other one of this daemon's directory
    // is left behind, and would keep writing pieces under the same names.
    if (!EndLeftoverRecordings(IsCtrlCpuRecording)) {
        ORU_LOGE("A ctrl cpu recording left behind cannot be ended");
        return -1;
    }
    const std::string cmd = BuildCtrlCpuCmd();
    if (cmd.empty()) {
        return 0;
    }
    ORU_LOGI("start profiling ctrl cpu, cmd=%s", cmd.c_str());
    const std::vector<std::string> words = Utils::Split(cmd);
    if (words.size() < 4) {
        ORU_LOGE("ProfCtrlcpuJob params empty");
        return -1;
    }
    ORU_LOGI("Begin to start profiling ctrl cpu");
    ExecCmdParams exec;
    exec.path = words[0];
    exec.async = true;
    const std::string dir =
        ConfigManager::GetInstance().GetPerfDataDir(static_cast<int>(cfg_->commonParams->devId));
    exec.stdoutRedirectFile = Utils::Join({dir, kPerfLogName});
    const std::vector<std::string> argv(words.begin() + 1, words.end());
    // words: sudo, the script, the verb, the output file, ...
    const std::string& file = words[3];
    recording_ = MakeShared<ScriptRecording>(words[2], file);
    if (recording_ == nullptr) {
        return -1;
    }
    int ret = recording_->Start(exec, argv, {kScriptEnv});
    ORU_LOGI("start profiling ctrl cpu, pid=%u, ret=%d", static_cast<unsigned>(recording_->Pid()),
             ret);
    if (ret != 0) {
        ORU_LOGE("Function ret check failed");
        recording_.reset();
        return ret;
    }
    if (perfExtraTask_ != nullptr && perfExtraTask_->Init() == 0) {
        perfExtraTask_->SetJobCtx(cfg_->commonParams->jobCtx);
        perfExtraTask_->SetRecording(Utils::BaseName(file));
        perfExtraTask_->SetDevIndex(static_cast<int>(cfg_->commonParams->devId));
        perfExtraTask_->SetThreadName(kTaskThreadName);
        ret = taskStart_ ? taskStart_(*perfExtraTask_) : perfExtraTask_->Start();
        if (ret != 0) {
            ORU_LOGE("[ProfCtrlcpuJob::Process]Failed to start perfExtraTask_ thread, ret=%d", ret);
            // Nothing would ship what it records: end it and drop its pieces.
            (void)StopRecording();
            (void)perfExtraTask_->Uninit();
            RemoveStalePieces(dir);
            return ret;
        }
    }
    return 0;
}

int ProfCtrlcpuJob::StopRecording() {
    if (recording_ == nullptr) {
        return 0;
    }
    const int ret = recording_->Stop();
    recording_.reset();
    return ret;
}

int ProfCtrlcpuJob::Uninit() {
    // Without a recording of its own the job stops nothing: the script's
    // "--kill" would end other jobs' recordings.
    int ret = StopRecording();
    // The script has ended: the task may now take every piece, the last one too.
    if (perfExtraTask_ != nullptr) {
        (void)perfExtraTask_->Stop();
        (void)perfExtraTask_->Uninit();
        if (perfExtraTask_->GetUnconvertedCount() > 0) {
            ret = -1;
        }
    }
    if (cfg_ != nullptr) {
        cfg_->events.reset();
    }
    return ret;
}

}  // namespace Analysis::Orbx::JobWrapper
