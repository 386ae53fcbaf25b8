// oru-host: runs a profiling job on a card's oru daemon (profile) and shows
// what came back (report). See `oru-host --help`.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "tools/oru_host/cli.h"
#include "tools/oru_host/hdc_link.h"

namespace {

std::atomic<bool> g_interrupted{false};

// The first Ctrl-C ends the collection early and lets the job stop cleanly;
// a second one ends oru-host at once.
void OnInterrupt(int) {
    if (g_interrupted.exchange(true)) {
        std::signal(SIGINT, SIG_DFL);
        std::raise(SIGINT);
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace analysis::orbx::hosttool;
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, OnInterrupt);
    std::vector<std::string> args(argv + 1, argv + argc);
    SystemClock clock;
    CliContext context;
    context.makeLink = [] { return MakeHdcLink(); };
    context.listDevices = ListHdcDevices;
    context.clock = &clock;
    context.out = &std::cout;
    context.err = &std::cerr;
    context.errIsTerminal = ::isatty(STDERR_FILENO) == 1;
    context.interrupt = &g_interrupted;
    int code = RunCli(args, context);
    std::cout.flush();
    return code;
}
