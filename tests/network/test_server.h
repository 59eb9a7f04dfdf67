// Loopback cpp-httplib servers for client tests, and a gate that holds a handler until the test lets
// it go or a bound passes, so that a client that fails to give up cannot hang the test.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace network_test {

class TestServer {
public:
    TestServer() : TestServer(std::make_unique<httplib::Server>()) {}
    explicit TestServer(std::unique_ptr<httplib::Server> implementation)
        : server(std::move(implementation)) {}
    ~TestServer() { stop(); }
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Routes are registered before start().
    httplib::Server& routes() { return *server; }

    void start() {
        portNumber = server->bind_to_any_port("127.0.0.1");
        ASSERT_GT(portNumber, 0);
        thread = std::thread([this] { server->listen_after_bind(); });
        while (!server->is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void stop() {
        if (thread.joinable()) {
            server->stop();
            thread.join();
        }
    }

    int port() const { return portNumber; }
    std::string origin(std::string_view scheme = "http") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(portNumber);
    }
    std::string url(std::string_view path) const { return origin() + std::string(path); }

private:
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int portNumber = 0;
};

class Gate {
public:
    // Called by a handler: records the arrival, then waits until open() or `bound`.
    void pass(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex);
        ++arrivals;
        changed.notify_all();
        changed.wait_for(lock, bound, [this] { return opened; });
    }
    bool waitForArrival(std::chrono::milliseconds bound = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, bound, [this] { return arrivals > 0; });
    }
    void open() {
        std::lock_guard lock(mutex);
        opened = true;
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int arrivals = 0;
    bool opened = false;
};

}  // namespace network_test
