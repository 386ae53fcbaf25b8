// The profiling parameters of a job: the SampleConfig JSON of a job start.
// The consumers read the fields directly. A switch is on exactly when its text
// is "on"; interval and frequency fields are passed to the collection jobs as
// they stand; event lists are comma-separated texts, validated where the
// device uses them.
#ifndef ORU_MESSAGE_PROFILE_PARAMS_H
#define ORU_MESSAGE_PROFILE_PARAMS_H

#include <cstdint>
#include <string>

#include "message/base_info.h"

// Every key of the parameters, once: X(field type, key, default). The key is
// also the name of the field; the JSON type written follows the field type
// (std::string: STRING, int32_t: INT, bool: BOOL).
// clang-format off
#define ORU_PROFILE_PARAMS_FIELDS(X)                                          \
    /* Job and application */                                                 \
    X(std::string, job_id,                            "")                     \
    X(std::string, result_dir,                        "")                     \
    X(std::string, storageLimit,                      "")                     \
    X(std::string, profiling_mode,                    "")                     \
    X(std::string, devices,                           "")                     \
    X(bool,        isCancel,                          false)                  \
    X(int32_t,     profiling_period,                  -1)                     \
    X(std::string, stream_enabled,                    "on")                   \
    X(std::string, profiling_options,                 "")                     \
    X(std::string, jobInfo,                           "")                     \
    X(std::string, app,                               "")                     \
    X(std::string, app_dir,                           "")                     \
    X(std::string, app_parameters,                    "")                     \
    X(std::string, app_location,                      "")                     \
    X(std::string, app_env,                           "")                     \
    X(int32_t,     gxprofBinPid,                      -1)                     \
    /* AI core */                                                             \
    X(std::string, ai_core_profiling,                 "")                     \
    X(int32_t,     aicore_sampling_interval,          10)                     \
    X(std::string, ai_core_profiling_mode,            "")                     \
    X(std::string, ai_core_profiling_events,          "")                     \
    X(std::string, ai_core_metrics,                   "")                     \
    X(std::string, ai_core_profiling_metrics,         "")                     \
    X(std::string, ai_core_lpm,                       "off")                  \
    X(std::string, ai_core_status,                    "")                     \
    /* AI vector core */                                                      \
    X(std::string, aiv_profiling,                     "")                     \
    X(int32_t,     aiv_sampling_interval,             10)                     \
    X(std::string, aiv_profiling_mode,                "")                     \
    X(std::string, aiv_profiling_events,              "")                     \
    X(std::string, aiv_metrics,                       "")                     \
    X(std::string, aiv_profiling_metrics,             "")                     \
    X(std::string, ai_vector_status,                  "")                     \
    /* Task scheduler and task traces */                                      \
    X(std::string, ts_task_track,                     "")                     \
    X(std::string, ts_cpu_usage,                      "")                     \
    X(std::string, ts_timeline,                       "")                     \
    X(std::string, ts_keypoint,                       "")                     \
    X(std::string, ts_memcpy,                         "")                     \
    X(std::string, taskTsfw,                          "off")                  \
    X(std::string, ts_fw_training,                    "")                     \
    X(std::string, hwts_log,                          "")                     \
    X(std::string, hwts_log1,                         "")                     \
    X(std::string, stars_acsq_task,                   "")                     \
    X(std::string, taskBlock,                         "")                     \
    X(std::string, ts_cpu_hot_function,               "")                     \
    X(std::string, l2CacheTaskProfiling,              "")                     \
    X(std::string, l2CacheTaskProfilingEvents,        "")                     \
    /* Control and task-scheduler CPUs */                                     \
    X(std::string, cpu_profiling,                     "off")                  \
    X(int32_t,     cpu_sampling_interval,             20)                     \
    X(std::string, aiCtrlCpuProfiling,                "off")                  \
    X(std::string, ai_ctrl_cpu_profiling_events,      "")                     \
    X(std::string, tsCpuProfiling,                    "off")                  \
    X(std::string, ts_cpu_profiling_events,           "")                     \
    /* System and processes */                                                \
    X(std::string, sys_profiling,                     "off")                  \
    X(int32_t,     sys_sampling_interval,             100)                    \
    X(std::string, pid_profiling,                     "off")                  \
    X(int32_t,     pid_sampling_interval,             100)                    \
    X(std::string, hardware_mem,                      "off")                  \
    X(int32_t,     hardware_mem_sampling_interval,    20)                     \
    /* Memory and caches */                                                   \
    X(std::string, llc_profiling,                     "")                     \
    X(std::string, gxprof_llc_profiling,              "")                     \
    X(std::string, llc_profiling_events,              "")                     \
    X(int32_t,     llc_interval,                      20)                     \
    X(std::string, memProfiling,                      "off")                  \
    X(int32_t,     memInterval,                       20)                     \
    X(std::string, ddr_profiling,                     "")                     \
    X(std::string, ddr_profiling_events,              "")                     \
    X(int32_t,     ddr_interval,                      20)                     \
    X(int32_t,     ddr_master_id,                     0)                      \
    X(std::string, hbmProfiling,                      "")                     \
    X(std::string, hbm_profiling_events,              "")                     \
    X(int32_t,     hbmInterval,                       20)                     \
    /* I/O and interconnects */                                               \
    X(std::string, io_profiling,                      "off")                  \
    X(int32_t,     io_sampling_interval,              10)                     \
    X(std::string, nicProfiling,                      "off")                  \
    X(int32_t,     nicInterval,                       10)                     \
    X(std::string, roceProfiling,                     "off")                  \
    X(int32_t,     roceInterval,                      10)                     \
    X(std::string, interconnection_profiling,         "off")                  \
    X(int32_t,     interconnection_sampling_interval, 20)                     \
    X(std::string, qlnkProfiling,                     "off")                  \
    X(int32_t,     qlnkInterval,                      20)                     \
    X(std::string, pcieProfiling,                     "")                     \
    X(int32_t,     pcieInterval,                      20)                     \
    X(std::string, dvpp_profiling,                    "off")                  \
    X(int32_t,     dvpp_sampling_interval,            20)                     \
    /* Instruction profiling */                                               \
    X(std::string, instrProfiling,                    "")                     \
    X(int32_t,     instrProfilingFreq,                1000)                   \
    /* Software trace switches */                                             \
    X(std::string, uxl,                               "")                     \
    X(std::string, modelExecution,                    "off")                  \
    X(std::string, taskFramework,                     "off")                  \
    X(std::string, runtimeApi,                        "off")                  \
    X(std::string, aicpuTrace,                        "")                     \
    X(std::string, runtimeTrace,                      "")                     \
    X(std::string, qcolTrace,                         "")                     \
    X(std::string, modelLoad,                         "")                     \
    X(std::string, gxprof,                            "off")                  \
    X(std::string, gxproftx,                          "off")                  \
    X(std::string, taskTrace,                         "on")                   \
    X(std::string, taskTime,                          "on")                   \
    X(std::string, prof_level,                        "off")                  \
    X(std::string, fwkSchedule,                       "off")                  \
    /* Host side */                                                           \
    X(bool,        hostProfiling,                     false)                  \
    X(std::string, host_sys,                          "")                     \
    X(int32_t,     host_sys_pid,                      -1)                     \
    X(std::string, host_disk_profiling,               "off")                  \
    X(std::string, host_osrt_profiling,               "off")                  \
    X(int32_t,     host_disk_freq,                    50)                     \
    X(std::string, pureCpu,                           "off")                  \
    X(std::string, host_cpu_profiling,                "off")                  \
    X(std::string, host_mem_profiling,                "off")                  \
    X(std::string, host_network_profiling,            "off")
// clang-format on

namespace analysis::orbx::message {

class ProfileParams : public BaseInfo {
  public:
    // Number of keys carried in JSON.
    static constexpr int kKeyCount = 110;

    void ToObject(Json& doc) const override;
    void FromObject(Json& doc) override;
    std::string GetName() const override { return "ProfileParams"; }

#define ORU_PROFILE_PARAMS_DECLARE(type, key, value) type key = value;
    ORU_PROFILE_PARAMS_FIELDS(ORU_PROFILE_PARAMS_DECLARE)
#undef ORU_PROFILE_PARAMS_DECLARE
};

}  // namespace analysis::orbx::message

#endif  // ORU_MESSAGE_PROFILE_PARAMS_H
