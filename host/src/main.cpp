#include <csignal>

#include <vekhost/cli.h>
#include <atomic>
#include <iostream>

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onStopSignal(int) {
    interrupted.store(true);
}

void installStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    installStopHandlers();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    return vekhost::runCommandLine(arguments, std::cout, std::cerr, &interrupted);
}
