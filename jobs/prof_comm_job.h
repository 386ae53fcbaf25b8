// The collection job interface, the configuration every job receives, and the
// base of jobs that read a driver channel.
#ifndef ORU_JOBS_PROF_COMM_JOB_H
#define ORU_JOBS_PROF_COMM_JOB_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace analysis::orbx::message {
class JobContext;
class ProfileParams;
}  // namespace analysis::orbx::message

namespace Analysis::Orbx::JobWrapper {

// Job tags are 0 to 38.
constexpr int kMaxJobTag = 38;
constexpr int kJobTagNum = kMaxJobTag + 1;

// Shared by every job of one collection.
struct CollectionJobCommonParams {
    uint32_t devId = 0;        // the device's logical id on the device side
    uint32_t devIdOnHost = 0;  // the id the host uses for the device
    uint32_t hostDevId = 0;    // second copy of the host-side id, set with devIdOnHost
    std::string resultDir;     // per-device result directory (set by the control-CPU job)
    std::shared_ptr<analysis::orbx::message::ProfileParams> params;
    std::shared_ptr<analysis::orbx::message::JobContext> jobCtx;  // stamped on uploads
};

using EventList = std::vector<std::string>;

// One per job kind, created by the collect engine.
struct CollectionJobCfg {
    uint32_t reserved = 0;
    uint32_t jobTag = 0;
    std::string dataFile;  // the job's data-file path
    // First event group: only `events` is read by the jobs.
    std::shared_ptr<EventList> eventCodes;
    std::shared_ptr<EventList> events;
    // Second event group, unused.
    std::shared_ptr<EventList> extEventCodes;
    std::shared_ptr<EventList> extEvents;
    std::shared_ptr<CollectionJobCommonParams> commonParams;
};

// A kind of data one device collects. The registry runs Process when the job
// is registered and Uninit before it is unregistered, outside its mutex;
// neither may call back into the registry, and every wait in them is
// bounded.
class ICollectionJob {
  public:
    ICollectionJob() = default;
    ICollectionJob(uint32_t tag, const std::string& name) : tag_(tag), name_(name) {}
    virtual ~ICollectionJob() = default;

    // 0 when the job is to run in this collection (it then keeps cfg), -1
    // otherwise.
    virtual int Init(const std::shared_ptr<CollectionJobCfg> cfg) = 0;
    // Starts collecting.
    virtual int Process() = 0;
    // Stops collecting and flushes.
    virtual int Uninit() = 0;
    // True when one instance serves every device.
    virtual bool IsGlobalJobLevel() { return false; }
    virtual uint32_t GetJobTag() const { return tag_; }
    virtual std::string GetJobName() const { return name_; }

  private:
    uint32_t tag_ = 0;
    std::string name_;
};

// True when cfg carries its common parameters; else logs
// "Job check comm param failed".
bool CheckJobCommonParam(const std::shared_ptr<CollectionJobCfg>& cfg);
// True when cfg carries common parameters and a non-empty event list; else
// logs "Job check event param not pass".
bool CheckJobEventParam(const std::shared_ptr<CollectionJobCfg>& cfg);
// The profiling parameters say the collection runs on the host.
bool IsHostProfiling(const std::shared_ptr<CollectionJobCfg>& cfg);
// The job context's job id, or empty.
std::string JobIdOf(const std::shared_ptr<CollectionJobCfg>& cfg);

// A job that reads a driver channel through the channel poller.
class ProfDrvJob : public ICollectionJob {
  public:
    ProfDrvJob() = default;
    ~ProfDrvJob() override = default;

  protected:
    // Creates and registers the reader of (devId, channelId); its data is
    // named by filePath relative to the collection's result directory. A
    // reader that cannot be made or registered is left out (logged).
    void AddReader(const std::string& key, int devId, int channelId, const std::string& filePath);
    // Unregisters the reader, which uploads what it still holds.
    void RemoveReader(const std::string& key, int devId, int channelId);

    std::shared_ptr<CollectionJobCfg> collectionJobCfg_;
};

}  // namespace Analysis::Orbx::JobWrapper

#endif  // ORU_JOBS_PROF_COMM_JOB_H
