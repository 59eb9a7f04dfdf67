// One external pre- or postprocessor program and its request/response transport: the shared-memory
// channel to a program the plugin starts and watches, or TCP to a program listening on a local port.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "vekai_utilities/vekai_ipc_utils.h"

class VekAITimer;
namespace vek::network {
class TcpSocket;
}

class ExternalProcess {
public:
    // Starts `command` with the descriptions of the request and response channels as its first two
    // arguments, then `arguments`. Null when the channels cannot be made or the program does not start.
    // A non-empty `logFile` receives the program's standard output and error; a non-empty
    // `environment` replaces the inherited one.
    static std::unique_ptr<ExternalProcess> create(const QString& command, const QString& logFile,
                                                   const QStringList& arguments,
                                                   const QProcessEnvironment& environment);
    // Talks to a program already listening on 127.0.0.1:`port`; connects on the first send.
    static std::unique_ptr<ExternalProcess> create(uint16_t port);

    // Asks the program to exit, kills its process group when it does not within 2 s.
    ~ExternalProcess();
    ExternalProcess(const ExternalProcess&) = delete;
    ExternalProcess& operator=(const ExternalProcess&) = delete;

    // True once the program has taken the message. Safe from several threads.
    bool sendMessage(std::span<const uint8_t> message);
    // One response, valid until finishOutput(), which the same thread must call; nothing after the
    // timeout or on a transport error. One reader thread at a time.
    std::optional<std::span<const uint8_t>> waitForOutput(int timeoutMs);
    void finishOutput();

    void requestGracefulExit();
    bool isRunning() const { return running.load(); }
    bool hasChildProcessExited() const { return !useTcp && !running.load(); }

private:
    // Deep copies of the caller's values: the monitor thread builds its own Qt values from them, so
    // that no implicitly shared Qt data is handed between threads.
    struct Launch {
        std::string command;
        std::string logFile;
        std::vector<std::string> arguments;
        std::vector<std::string> environment;  // "NAME=value"
    };

    ExternalProcess() = default;

    void monitorProcess(Launch launch, std::promise<bool> started);
    void markExited();
    bool sendOverIpc(std::span<const uint8_t> message);
    bool sendOverTcp(std::span<const uint8_t> message);
    std::optional<std::span<const uint8_t>> waitForIpcOutput(int timeoutMs);
    std::optional<std::span<const uint8_t>> waitForTcpOutput(int timeoutMs);
    // Reads one length-prefixed message into receiveBuffer; false leaves the connection shut down.
    bool receiveTcpMessage(VekAITimer& timer, uint32_t* length);

    vekai_ipc_channel inputChannel;
    vekai_ipc_channel outputChannel;

    std::mutex sendMutex;
    int readyAttempts = 0;

    std::thread monitorThread;
    std::atomic<bool> running{true};
    std::atomic<bool> killRequested{false};
    bool exited = false;
    std::mutex exitMutex;
    std::condition_variable exitCondition;

    bool useTcp = false;
    uint16_t port = 0;
    std::unique_ptr<vek::network::TcpSocket> socket;
    // Held from a successful TCP waitForOutput() until finishOutput(); also guards (re)connecting, so
    // that a descriptor is never replaced under a blocked reader.
    std::mutex receiveMutex;
    std::condition_variable connectedCondition;
    bool everConnected = false;
    bool lossReported = false;
    std::unique_ptr<uint8_t[]> receiveBuffer;
    size_t receiveCapacity = 0;

    // A response is out and finishOutput() has something to release.
    std::atomic<bool> outputHeld{false};
};
