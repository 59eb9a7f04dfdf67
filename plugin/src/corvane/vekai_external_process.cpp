#include "corvane/vekai_external_process.h"

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vek/network/tcp_socket.h>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "ini_manager.h"
#include "vekai_utilities/vekai_utils.h"

namespace {

constexpr size_t kChannelCapacity = 1024;
constexpr int kStartTimeoutMs = 5000;
constexpr int kFinishPollMs = 500;
constexpr int kReadyWaitMs = 1000;
constexpr auto kGracefulExitWait = std::chrono::seconds(2);
constexpr auto kConnectTimeout = std::chrono::milliseconds(1000);
// A peer that stops reading must not keep a sender (and every thread queued behind it) blocked.
constexpr auto kTcpSendTimeout = std::chrono::milliseconds(1000);
// Receive space grows with the bytes that actually arrive, so an announced length costs nothing
// until the peer really sends that much.
constexpr size_t kMinReceiveGrowth = 64 * 1024;
constexpr const char* kLoopback = "127.0.0.1";
constexpr long kWatchdogPollNs = 10'000'000;
constexpr long kPluginTeardownWaitNs = 5'000'000'000;

// What the watchdog guards; written only inside the forked watchdog, so that its signal handler needs
// nothing but this plain record.
struct WatchdogTarget {
    pid_t programGroup = 0;
    pid_t pluginPid = 0;
    char shmNames[4][32] = {};
};
WatchdogTarget watchdogTarget;

// Async-signal-safe: runs in the handler and in a watchdog forked from a multi-threaded process.
void killTargetGroup() {
    kill(-watchdogTarget.programGroup, SIGKILL);
    // With the plugin gone nobody else will remove the channel objects. The parent-death signal already
    // comes when the plugin's thread that forked us ends, while the rest of a killed plugin is still
    // being torn down, so give the adoption by the reaper a moment before deciding.
    const timespec step{0, kWatchdogPollNs};
    for (long waited = 0; getppid() == watchdogTarget.pluginPid; waited += kWatchdogPollNs) {
        if (waited >= kPluginTeardownWaitNs) {
            return;
        }
        nanosleep(&step, nullptr);
    }
    for (const char* name : watchdogTarget.shmNames) {
        if (name[0] != '\0') {
            shm_unlink(name);
        }
    }
}

extern "C" void onWatchdogTerminate(int) {
    killTargetGroup();
    _exit(0);
}

[[noreturn]] void runWatchdog(const WatchdogTarget& target) {
    watchdogTarget = target;
    struct sigaction action {};
    action.sa_handler = onWatchdogTerminate;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigset_t terminate;
    sigemptyset(&terminate);
    sigaddset(&terminate, SIGTERM);
    sigprocmask(SIG_UNBLOCK, &terminate, nullptr);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    close_range(3, ~0U, 0);
    if (getppid() != target.pluginPid) {
        killTargetGroup();
        _exit(0);
    }
    while (kill(target.programGroup, 0) == 0 || errno == EPERM) {
        // Also notices the plugin's end when the parent-death signal was lost or held back.
        if (getppid() != target.pluginPid) {
            killTargetGroup();
            _exit(0);
        }
        sleep(1);
    }
    _exit(0);
}

pid_t startWatchdog(pid_t programGroup, const ipc_sync_internal_t& input, const ipc_sync_internal_t& output) {
    WatchdogTarget target;
    target.programGroup = programGroup;
    target.pluginPid = getpid();
    const std::string* names[] = {&input.controlShm->name, &input.dataShm->name, &output.controlShm->name,
                                  &output.dataShm->name};
    for (size_t i = 0; i < std::size(names); ++i) {
        strncpy(target.shmNames[i], names[i]->c_str(), sizeof target.shmNames[i] - 1);
    }
    const pid_t watchdog = fork();
    if (watchdog == 0) {
        runWatchdog(target);
    }
    if (watchdog < 0) {
        vekai_vlog("Warning! Could not start the watchdog of external process: %s\n", strerror(errno));
    }
    return watchdog;
}

void stopWatchdog(pid_t watchdog) {
    if (watchdog <= 0) {
        return;
    }
    kill(watchdog, SIGKILL);
    while (waitpid(watchdog, nullptr, 0) < 0 && errno == EINTR) {
    }
}

void logStartFailure(QProcess& process) {
    switch (process.error()) {
        case QProcess::FailedToStart:
            vekai_vlog("ERROR: Failed to start external process (file not found or no permissions): %s\n",
                       qUtf8Printable(process.errorString()));
            break;
        case QProcess::Crashed:
            vekai_vlog("ERROR: External process crashed during startup: %s\n",
                       qUtf8Printable(process.errorString()));
            break;
        case QProcess::Timedout:
            vekai_vlog("ERROR: External process timed out during startup\n");
            break;
        case QProcess::ReadError:
            vekai_vlog("ERROR: Failed to read from external process\n");
            break;
        case QProcess::WriteError:
            vekai_vlog("ERROR: Failed to write to external process\n");
            break;
        default:
            vekai_vlog("ERROR: External process error: %d\n", static_cast<int>(process.error()));
            break;
    }
    const QByteArray output = process.readAllStandardOutput() + process.readAllStandardError();
    if (!output.isEmpty()) {
        vekai_vlog("External process output:\n%s\n", output.constData());
    }
}

void logExit(QProcess& process) {
    const int code = process.exitCode();
    if (process.exitStatus() == QProcess::CrashExit || code != 0) {
        vekai_vlog("ERROR: External process crashed! Exit code: %d\n", code);
        if (const QByteArray out = process.readAllStandardOutput(); !out.isEmpty()) {
            vekai_vlog("External process stdout_data:\n%s\n", out.constData());
        }
        if (const QByteArray err = process.readAllStandardError(); !err.isEmpty()) {
            vekai_vlog("External process stderr:\n%s\n", err.constData());
        }
    } else {
        vekai_vlog("INFO: External process exited normally with code: %d\n", code);
    }
}

}  // namespace

std::unique_ptr<ExternalProcess> ExternalProcess::create(const QString& command, const QString& logFile,
                                                         const QStringList& arguments,
                                                         const QProcessEnvironment& environment) {
    std::unique_ptr<ExternalProcess> process(new ExternalProcess());
    process->inputChannel = vekai_ipc_create(kChannelCapacity);
    process->outputChannel = vekai_ipc_create(kChannelCapacity);
    if (!process->inputChannel || !process->outputChannel) {
        vekai_vlog("ERROR: Failed to create IPC channels for external process.\n");
        return nullptr;
    }
    const std::string inputText = ipc_sync_to_str(process->inputChannel.get());
    const std::string outputText = ipc_sync_to_str(process->outputChannel.get());
    if (inputText.empty() || outputText.empty()) {
        vekai_vlog("ERROR: Failed to serialize IPC channel descriptors for external process.\n");
        return nullptr;
    }

    vekai_vlog("Starting external process at: %s\n", qUtf8Printable(command));
    if (!logFile.isEmpty()) {
        vekai_vlog("External process log file: %s\n", qUtf8Printable(logFile));
    }
    Launch launch{command.toStdString(), logFile.toStdString(), {inputText, outputText}, {}};
    for (const QString& argument : arguments) {
        launch.arguments.push_back(argument.toStdString());
    }
    for (const QString& variable : environment.toStringList()) {
        launch.environment.push_back(variable.toStdString());
    }
    std::promise<bool> started;
    std::future<bool> startResult = started.get_future();
    process->monitorThread =
        std::thread(&ExternalProcess::monitorProcess, process.get(), std::move(launch), std::move(started));
    if (!startResult.get()) {
        process->monitorThread.join();
        return nullptr;
    }
    return process;
}

std::unique_ptr<ExternalProcess> ExternalProcess::create(uint16_t port) {
    std::unique_ptr<ExternalProcess> process(new ExternalProcess());
    process->useTcp = true;
    process->port = port;
    process->socket = vek::network::SocketFactory::createStreamSocket();
    return process;
}

ExternalProcess::~ExternalProcess() {
    if (monitorThread.joinable()) {
        if (running.load()) {
            requestGracefulExit();
            std::unique_lock lock(exitMutex);
            if (!exitCondition.wait_for(lock, kGracefulExitWait, [this] { return exited; })) {
                vekai_vlog("External process did not exit gracefully, requesting forceful kill.\n");
                killRequested.store(true);
                exitCondition.wait(lock, [this] { return exited; });
            }
        } else {
            vekai_vlog("External process already exited gracefully.\n");
        }
        monitorThread.join();
    }
    if (socket) {
        socket->close();
    }
    ipc_sync_close(std::move(inputChannel));
    ipc_sync_close(std::move(outputChannel));
}

void ExternalProcess::monitorProcess(Launch launch, std::promise<bool> started) {
    QProcess process;
    if (!launch.logFile.empty()) {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(QString::fromStdString(launch.logFile), QIODevice::Append);
    }
    if (!launch.environment.empty()) {
        QProcessEnvironment environment;
        for (const std::string& variable : launch.environment) {
            const size_t separator = variable.find('=');
            environment.insert(QString::fromStdString(variable.substr(0, separator)),
                               separator == std::string::npos
                                   ? QString()
                                   : QString::fromStdString(variable.substr(separator + 1)));
        }
        process.setProcessEnvironment(environment);
    }
    QStringList arguments;
    for (const std::string& argument : launch.arguments) {
        arguments.push_back(QString::fromStdString(argument));
    }
    const pid_t pluginPid = getpid();
    // Runs in the child between fork and exec: only async-signal-safe calls.
    process.setChildProcessModifier([pluginPid] {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != pluginPid) {
            _exit(1);
        }
        setpgid(0, 0);
    });
    process.start(QString::fromStdString(launch.command), arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(kStartTimeoutMs)) {
        logStartFailure(process);
        running.store(false);
        started.set_value(false);
        markExited();
        return;
    }
    const auto programGroup = static_cast<pid_t>(process.processId());
    const pid_t watchdog = startWatchdog(programGroup, *inputChannel, *outputChannel);
    started.set_value(true);

    bool finished = false;
    while (!finished) {
        finished = process.waitForFinished(kFinishPollMs) || process.state() == QProcess::NotRunning;
        if (finished || !killRequested.load()) {
            continue;
        }
        vekai_vlog("Killing external process on shutdown request.\n");
        kill(-programGroup, SIGKILL);
        if (!process.waitForFinished(kFinishPollMs) && process.state() != QProcess::NotRunning) {
            vekai_vlog("WARNING: External process did not exit even after being killed.\n");
            break;
        }
        finished = true;
    }
    if (finished) {
        logExit(process);
    }
    running.store(false);
    markExited();
    stopWatchdog(watchdog);
}

void ExternalProcess::markExited() {
    std::lock_guard lock(exitMutex);
    exited = true;
    exitCondition.notify_all();
}

void ExternalProcess::requestGracefulExit() {
    if (useTcp) {
        return;
    }
    std::lock_guard lock(sendMutex);
    vekai_vlog("Sending graceful exit signal to external process.\n");
    vekai_ipc_send_kill(inputChannel.get());
}

bool ExternalProcess::sendMessage(std::span<const uint8_t> message) {
    return useTcp ? sendOverTcp(message) : sendOverIpc(message);
}

bool ExternalProcess::sendOverIpc(std::span<const uint8_t> message) {
    std::lock_guard lock(sendMutex);
    if (!inputChannel->ready) {
        const int maxAttempts = ini().ExternalProcessorReadyCheckMaxRetries;
        if (readyAttempts < maxAttempts) {
            ++readyAttempts;
            if (vekai_ipc_wait_ready(inputChannel.get(), kReadyWaitMs) != VEKAI_IPC_OK) {
                vekai_vlog("Warning! External process not ready yet (attempt %d/%d).\n", readyAttempts,
                           maxAttempts);
                return false;
            }
            vekai_vlog("Received ready signal from external process\n");
        } else {
            vekai_vlog_verbose("Skipping sending input to external process. Max retries reached.\n");
        }
    }
    const int status = vekai_ipc_send(inputChannel.get(), message.data(), message.size());
    if (status != VEKAI_IPC_OK) {
        vekai_vlog("Warning! Could not send input message: %d\n", status);
        return false;
    }
    vekai_vlog_verbose("External process received message succesfully.\n");
    return true;
}

bool ExternalProcess::sendOverTcp(std::span<const uint8_t> message) {
    if (message.size() > UINT32_MAX) {
        vekai_vlog("Warning! Message of %zu bytes is too large for external process at port: %d\n",
                   message.size(), port);
        return false;
    }
    std::lock_guard lock(sendMutex);
    if (!socket->isConnected()) {
        std::lock_guard receiveLock(receiveMutex);
        if (!socket->connect(kLoopback, port, kConnectTimeout)) {
            vekai_vlog("Warning! Could not connect to external process at port: %d\n", port);
            return false;
        }
        socket->setSendTimeout(kTcpSendTimeout);
        everConnected = true;
        lossReported = false;
        connectedCondition.notify_all();
    }
    const auto length = static_cast<uint32_t>(message.size());
    const uint8_t header[VEKAI_TCP_LENGTH_HEADER_BYTES] = {
        static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length >> 16),
        static_cast<uint8_t>(length >> 24)};
    if (!socket->sendAll({std::as_bytes(std::span(header)), std::as_bytes(message)})) {
        vekai_vlog("Warning! Could not send message to external process at port: %d\n", port);
        socket->shutdown();
        return false;
    }
    return true;
}

std::optional<std::span<const uint8_t>> ExternalProcess::waitForOutput(int timeoutMs) {
    return useTcp ? waitForTcpOutput(timeoutMs) : waitForIpcOutput(timeoutMs);
}

std::optional<std::span<const uint8_t>> ExternalProcess::waitForIpcOutput(int timeoutMs) {
    const uint8_t* data = nullptr;
    uint32_t length = 0;
    if (vekai_ipc_receive(outputChannel.get(), timeoutMs, &data, &length) != VEKAI_IPC_OK) {
        return std::nullopt;
    }
    vekai_vlog_verbose("Received response from external process with size: %u\n", length);
    outputHeld.store(true);
    return std::span<const uint8_t>(data, length);
}

std::optional<std::span<const uint8_t>> ExternalProcess::waitForTcpOutput(int timeoutMs) {
    VekAITimer timer("waitForOutputTCP");
    std::unique_lock lock(receiveMutex);
    timer.lap("mutex lock");
    const auto timeout = std::chrono::milliseconds(std::max(timeoutMs, 1));
    // Until a send connects there is nothing to read; waiting here keeps a reader loop from spinning.
    if (!connectedCondition.wait_for(lock, timeout, [this] { return socket->isConnected(); })) {
        if (everConnected && !lossReported) {
            vekai_vlog("Warning! TCP connection to external process lost.\n");
            lossReported = true;
        }
        return std::nullopt;
    }
    socket->setReceiveTimeout(timeout);
    uint32_t length = 0;
    if (!receiveTcpMessage(timer, &length)) {
        return std::nullopt;
    }
    timer.lap("receive message");
    outputHeld.store(true);
    lock.release();
    return std::span<const uint8_t>(receiveBuffer.get(), length);
}

bool ExternalProcess::receiveTcpMessage(VekAITimer& timer, uint32_t* length) {
    uint8_t header[VEKAI_TCP_LENGTH_HEADER_BYTES];
    const ssize_t first = socket->receiveSome(header, sizeof header);
    if (first < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Nothing was announced within the timeout: the peer is merely idle.
        return false;
    }
    if (first <= 0 || !socket->receiveAll(header + first, sizeof header - static_cast<size_t>(first))) {
        vekai_vlog("Warning! Failed to receive header from external process!\n");
        socket->shutdown();
        return false;
    }
    timer.lap("receive header");
    *length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
              static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
    size_t received = 0;
    while (received < *length) {
        if (received == receiveCapacity) {
            const size_t grown = std::min<size_t>(*length, std::max(receiveCapacity * 2, kMinReceiveGrowth));
            auto larger = std::make_unique_for_overwrite<uint8_t[]>(grown);
            std::copy_n(receiveBuffer.get(), received, larger.get());
            receiveBuffer = std::move(larger);
            receiveCapacity = grown;
        }
        const size_t wanted = std::min<size_t>(*length, receiveCapacity) - received;
        const ssize_t got = socket->receiveSome(receiveBuffer.get() + received, wanted);
        if (got <= 0) {
            vekai_vlog("Warning! TCP read error from external process.\n");
            socket->shutdown();
            return false;
        }
        received += static_cast<size_t>(got);
    }
    return true;
}

void ExternalProcess::finishOutput() {
    if (!outputHeld.exchange(false)) {
        return;
    }
    if (useTcp) {
        receiveMutex.unlock();
    } else {
        release_buffer(outputChannel.get());
    }
}
