// Which collections a run asked for and what each of them sent. Some
// collections run once per card (system, processes, control CPU, and the
// cache statistics of a chip without a cache channel): the first device's job
// that registers one holds it, and a job on another device of the same card
// gets nothing from it, without a word from the device. The account makes
// that visible.
#ifndef ORU_TOOLS_ORU_HOST_COLLECTIONS_H
#define ORU_TOOLS_ORU_HOST_COLLECTIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/oru_host/chunk_writer.h"
#include "tools/oru_host/options.h"

namespace analysis::orbx::hosttool {

struct CollectionAccount {
    std::string name;  // "sys", "pid", "llc", "ctrl-cpu"
    bool cardWide = false;
    uint64_t files = 0;
    uint64_t bytes = 0;
    std::string missing;  // why it sent nothing, in words; empty when it sent data
    std::string cause;    // when it sent nothing, its likeliest cause, briefly
};

// The collections that options ask for (those a --config file switches on
// are not known and not accounted), with what files says each sent.
std::vector<CollectionAccount> AccountCollections(const ProfileOptions& options,
                                                  const std::map<std::string, FileStats>& files);

// The collections that sent nothing, each group of them followed by its
// likeliest cause: "sys, pid (most likely held by ...)"; empty when all sent
// data.
std::string MissingSummary(const std::vector<CollectionAccount>& accounts);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_COLLECTIONS_H
