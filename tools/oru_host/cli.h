// oru-host as a function: parses the command line, runs the command and
// returns the exit code. main() supplies the real device link, clock and
// streams; tests supply fakes.
#ifndef ORU_TOOLS_ORU_HOST_CLI_H
#define ORU_TOOLS_ORU_HOST_CLI_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/oru_host/device_link.h"
#include "tools/oru_host/progress.h"

namespace analysis::orbx::hosttool {

using LinkFactory = std::function<std::unique_ptr<DeviceLink>()>;

// Every device the host side sees (for --device all); false with the reason.
using DeviceLister = std::function<bool(std::vector<uint32_t>* devices, std::string* error)>;

struct CliContext {
    LinkFactory makeLink;
    DeviceLister listDevices;
    Clock* clock = nullptr;
    std::ostream* out = nullptr;
    std::ostream* err = nullptr;
    bool errIsTerminal = false;  // show the progress line on err
    const std::atomic<bool>* interrupt = nullptr;
};

int RunCli(const std::vector<std::string>& args, const CliContext& context);

}  // namespace analysis::orbx::hosttool

#endif  // ORU_TOOLS_ORU_HOST_CLI_H
