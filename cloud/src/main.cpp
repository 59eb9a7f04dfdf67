#include <pthread.h>
#include <signal.h>

#include <vekcloud/command_line.h>
#include <vekcloud/local_cloud.h>
#include <fstream>
#include <iostream>
#include <mutex>

namespace {

// Written whole under a temporary name first, so that a script polling for it never reads half a port.
bool writePortFile(const std::filesystem::path& path, uint16_t port) {
    const std::filesystem::path partial = path.string() + ".partial";
    {
        std::ofstream stream(partial, std::ios::trunc);
        if (!(stream << port << '\n') || !stream.flush()) {
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, path, error);
    return !error;
}

}  // namespace

int main(int argc, char** argv) {
    // Stop signals are taken synchronously below; the server's threads inherit this mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that hangs up mid-body is an error on that connection, not the end of the program.
    signal(SIGPIPE, SIG_IGN);

    std::string error;
    auto commandLine = vekcloud::parseCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                                  VEKCLOUD_DEFAULT_SITE, error);
    if (!commandLine) {
        std::cerr << "vekcloud: " << error << "\n" << vekcloud::usage();
        return 2;
    }
    if (commandLine->help) {
        std::cout << vekcloud::usage();
        return 0;
    }
    std::mutex logMutex;
    commandLine->options.log = [&logMutex](std::string_view line) {
        std::lock_guard lock(logMutex);
        std::cerr << "vekcloud: " << line << std::endl;
    };

    vekcloud::LocalCloud cloud(commandLine->options);
    for (const auto& [prefix, fault] : commandLine->faults) {
        cloud.setFault(prefix, fault);
    }
    if (!cloud.start(error)) {
        std::cerr << "vekcloud: " << error << std::endl;
        return 1;
    }
    const bool refusing = commandLine->refuseFor.count() > 0;
    if (refusing) {
        cloud.setRefusingConnections(true);
    }
    std::cout << "vekcloud: serving " << commandLine->options.siteDirectory.string() << " at "
              << cloud.baseUrl() << ", runtime store " << cloud.runtimeStoreUrl() << std::endl;
    if (!commandLine->portFile.empty() && !writePortFile(commandLine->portFile, cloud.port())) {
        std::cerr << "vekcloud: cannot write the port file " << commandLine->portFile.string() << std::endl;
        return 1;
    }

    if (refusing) {
        const auto milliseconds = commandLine->refuseFor.count();
        const timespec wait{static_cast<time_t>(milliseconds / 1000),
                            static_cast<long>(milliseconds % 1000) * 1000000};
        if (sigtimedwait(&stopSignals, nullptr, &wait) > 0) {
            return 0;
        }
        if (!cloud.setRefusingConnections(false)) {
            std::cerr << "vekcloud: cannot listen again on port " << cloud.port() << std::endl;
            return 1;
        }
        std::cerr << "vekcloud: accepting connections again" << std::endl;
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    cloud.stop();
    return 0;
}
