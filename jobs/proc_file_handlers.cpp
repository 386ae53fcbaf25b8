#include "jobs/proc_file_handlers.h"

#include <cctype>
#include <cstring>
#include <utility>

#include "common/log.h"

namespace Analysis::Orbx::JobWrapper {

namespace {

constexpr size_t kStatTextReserve = 512;
constexpr size_t kMemTextReserve = 1536;
constexpr size_t kPidMemTextReserve = 32;
constexpr size_t kMaxCommFileSize = 0x200000;

// The directory part of a path ("" when it has none).
std::string DirOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

void AppendLines(ProcFileReader& file, std::string& text) {
    std::string_view line;
    while (file.ReadLine(line)) {
        text.append(line);
        text.push_back('\n');
    }
}

}  // namespace

bool LowerCpuLine(std::string_view line, std::string& out) {
    out.assign(line);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (out.find("cpu") == std::string::npos) {
        out.clear();
        return false;
    }
    return true;
}

bool CommOfStat(std::string_view stat, std::string_view& name) {
    size_t open = stat.find('(');
    if (open == std::string_view::npos) {
        return false;
    }
    // The last ")" of the text: a name may hold ")" itself. Searched with
    // memrchr, which the library does word by word.
    const void* last = memrchr(stat.data() + open, ')', stat.size() - open);
    if (last == nullptr) {
        return false;
    }
    size_t close = static_cast<size_t>(static_cast<const char*>(last) - stat.data());
    name = stat.substr(open + 1, close - open - 1);
    name = name.substr(0, name.find('\n'));
    return true;
}

void ReadFirstCpuLine(const std::string& statFile, ProcFileReader& reader, std::string& line) {
    line.clear();
    if (!reader.Open(statFile)) {
        ORU_LOGW("Open file %s failed", PathBaseName(statFile));
        return;
    }
    std::string_view raw;
    while (reader.ReadLine(raw) && !LowerCpuLine(raw, line)) {
    }
    reader.Close();
}

void ProcStatFileHandler::ParseProcFile(ProcFileReader& file, std::string& text) {
    text.reserve(kStatTextReserve);
    std::string_view line;
    while (file.ReadLine(line) && LowerCpuLine(line, line_)) {
        text.append(line_);
        text.push_back('\n');
    }
}

void ProcMemFileHandler::ParseProcFile(ProcFileReader& file, std::string& text) {
    text.reserve(kMemTextReserve);
    AppendLines(file, text);
}

ProcPidFileHandler::ProcPidFileHandler(uint32_t tag, uint32_t devId, uint64_t bufSize,
                                       uint64_t sampleIntervalNs, const std::string& procFileName,
                                       const std::string& dataName,
                                       std::shared_ptr<ProfileParams> params,
                                       std::shared_ptr<JobContext> jobCtx,
                                       std::shared_ptr<Uploader> upLoader, uint32_t pid)
    : ProcTimerHandler(tag, devId, bufSize, sampleIntervalNs, procFileName,
                       std::to_string(pid) + "-" + dataName, std::move(params), std::move(jobCtx),
                       std::move(upLoader)),
      commFile_(DirOf(procFileName) + "/comm"),
      systemStatFile_(DirOf(DirOf(procFileName)) + "/stat") {}

int ProcPidFileHandler::Uninit() {
    ProcFile().Release();
    return ProcTimerHandler::Uninit();
}

void ProcPidFileHandler::NoteProcessName(std::string_view name) {
    name_.assign(name);
    named_ = true;
    namedAt_ = GetLastTime();
    if (nameCache_ != nullptr) {
        nameCache_->valid = true;
        nameCache_->time = namedAt_;
        nameCache_->name.assign(name);
    }
}

void ProcPidFileHandler::AppendProcessName(std::string& text) {
    text.append("ProcessName:");
    if (named_ && namedAt_ == GetLastTime()) {
        text.append(name_);
    } else if (nameCache_ != nullptr && nameCache_->valid && nameCache_->time == GetLastTime()) {
        text.append(nameCache_->name);
    } else {
        std::string_view line = "self";
        if (!auxFile_.Open(commFile_, kMaxCommFileSize)) {
            ORU_LOGW("Open file %s failed", PathBaseName(commFile_));
        } else if (!auxFile_.ReadLine(line)) {
            line = "self";
        }
        NoteProcessName(line);
        auxFile_.Close();
        text.append(name_);
    }
    text.push_back('\n');
}

void ProcPidStatFileHandler::ParseProcFile(ProcFileReader& file, std::string& text) {
    AppendLines(file, text);
    if (text.empty()) {
        return;
    }
    std::string_view comm;
    if (CommOfStat(file.Content(), comm)) {
        NoteProcessName(comm);
    }
    AppendProcessName(text);
    if (systemCpuLine_ != nullptr) {
        text.append(*systemCpuLine_);
    } else {
        ReadFirstCpuLine(SystemStatFile(), AuxFile(), cpuLine_);
        text.append(cpuLine_);
    }
    text.push_back('\n');
}

void ProcPidMemFileHandler::ParseProcFile(ProcFileReader& file, std::string& text) {
    text.reserve(kPidMemTextReserve);
    AppendLines(file, text);
    if (!text.empty()) {
        AppendProcessName(text);
    }
}

}  // namespace Analysis::Orbx::JobWrapper
