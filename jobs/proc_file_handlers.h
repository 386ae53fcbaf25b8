// The concrete /proc samplers: system CPU (/proc/stat), system memory
// (/proc/meminfo), and the CPU (/proc/<pid>/stat) and memory
// (/proc/<pid>/statm) of one process. Construction and threading as for
// ProcTimerHandler.
#ifndef ORU_JOBS_PROC_FILE_HANDLERS_H
#define ORU_JOBS_PROC_FILE_HANDLERS_H

#include <cstdint>
#include <memory>
#include <string>

#include "jobs/proc_timer_handler.h"

namespace Analysis::Orbx::JobWrapper {

// Case-lowers line into out (replacing it) when it contains "cpu" after
// lowering; false, out empty, when it does not.
bool LowerCpuLine(std::string_view line, std::string& out);

// The task's name in a /proc/<pid>/stat text, between the first "(" and the
// last ")", up to a newline inside it: the very text that the first line of
// /proc/<pid>/comm holds. False when the text has no such parentheses.
bool CommOfStat(std::string_view stat, std::string_view& name);

// The first line of the system statistics file (/proc/stat) that contains
// "cpu", case-lowered; empty, with a warning, when the file cannot be read,
// and empty when no line qualifies.
void ReadFirstCpuLine(const std::string& statFile, ProcFileReader& reader, std::string& line);

// Sends the leading "cpu" lines of /proc/stat (case-lowered).
class ProcStatFileHandler : public ProcTimerHandler {
  public:
    using ProcTimerHandler::ProcTimerHandler;

  protected:
    void ParseProcFile(ProcFileReader& file, std::string& text) override;

  private:
    std::string line_;
};

// Sends every line of /proc/meminfo.
class ProcMemFileHandler : public ProcTimerHandler {
  public:
    using ProcTimerHandler::ProcTimerHandler;

  protected:
    void ParseProcFile(ProcFileReader& file, std::string& text) override;
};

// The process name as read for the samples of one time, shared by the two
// samplers of a process so that comm is read once per timer pass.
struct ProcessNameCache {
    bool valid = false;
    uint64_t time = 0;  // sample time the name was read for
    std::string name;
};

// Base of the two per-process samplers: the data file is
// "data/" + pid + "-" + dataName, and the process name is the one the pass
// has already read, else the first line of the comm file beside
// procFileName ("self" when it cannot be read).
class ProcPidFileHandler : public ProcTimerHandler {
  public:
    ProcPidFileHandler(uint32_t tag, uint32_t devId, uint64_t bufSize, uint64_t sampleIntervalNs,
                       const std::string& procFileName, const std::string& dataName,
                       std::shared_ptr<ProfileParams> params, std::shared_ptr<JobContext> jobCtx,
                       std::shared_ptr<Uploader> upLoader, uint32_t pid);

    // Releases the kept descriptor, then as ProcTimerHandler. Always 0.
    int Uninit() override;

    // From now on the /proc file's descriptor is kept open between samples
    // while budget allows (see ProcFileReader::KeepDescriptor).
    // REQUIRES: before the first Execute.
    void KeepFileOpen(std::shared_ptr<KeptDescriptors> budget) {
        ProcFile().KeepDescriptor(std::move(budget));
    }
    bool HoldsDescriptor() { return ProcFile().HoldsDescriptor(); }
    // From now on a name that cache holds for the time of a sample is used
    // instead of reading comm again, and a name read here is left in it.
    // REQUIRES: before the first Execute.
    void ShareProcessName(std::shared_ptr<ProcessNameCache> cache) {
        nameCache_ = std::move(cache);
    }

  protected:
    // Appends "ProcessName:" + the name + "\n".
    void AppendProcessName(std::string& text);
    // The process's name as another file of this sample gave it; left in
    // the shared cache too.
    void NoteProcessName(std::string_view name);
    // The system statistics file beside the process directory ("/proc/stat").
    const std::string& SystemStatFile() const { return systemStatFile_; }
    ProcFileReader& AuxFile() { return auxFile_; }

  private:
    const std::string commFile_;
    const std::string systemStatFile_;
    ProcFileReader auxFile_;  // the comm file and, when read here, /proc/stat
    std::string name_;
    bool named_ = false;  // name_ holds the name of the sample at namedAt_
    uint64_t namedAt_ = 0;
    std::shared_ptr<ProcessNameCache> nameCache_;
};

// Sends /proc/<pid>/stat, the process name (from the stat text itself) and
// the first "cpu" line of /proc/stat (from the system statistics file beside
// the process directory).
class ProcPidStatFileHandler : public ProcPidFileHandler {
  public:
    using ProcPidFileHandler::ProcPidFileHandler;

    // From now on the "cpu" line is taken from line (refreshed by its owner
    // once per timer pass) instead of reading /proc/stat for every sample.
    // REQUIRES: before the first Execute.
    void SetSystemCpuLine(std::shared_ptr<const std::string> line) {
        systemCpuLine_ = std::move(line);
    }

  protected:
    void ParseProcFile(ProcFileReader& file, std::string& text) override;

  private:
    std::shared_ptr<const std::string> systemCpuLine_;
    std::string cpuLine_;  // read here when no shared line is set
};

// Sends /proc/<pid>/statm and the process name.
class ProcPidMemFileHandler : public ProcPidFileHandler {
  public:
    using ProcPidFileHandler::ProcPidFileHandler;

  protected:
    void ParseProcFile(ProcFileReader& file, std::string& text) override;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROC_FILE_HANDLERS_H
