// An HTTP server on 127.0.0.1 for download tests: files with or without a length, checksum headers,
// bodies cut short, error answers, and a body that stalls until the test lets it go.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace acceltest {

struct ServedFile {
    ServedFile(std::string body = "", std::string md5 = "") : body(std::move(body)), md5(std::move(md5)) {}

    std::string body;
    // "X-Checksum-Md5"; not sent when empty.
    std::string md5;
    int status = 200;
    // Sent chunked, without "Content-Length".
    bool chunked = false;
    // The connection closes after half the announced body.
    bool truncated = false;
    // Called once the first half of the body has left; the rest follows, then the body stalls
    // until the server is released.
    std::function<void()> afterFirstHalf;
};

class LoopbackServer {
public:
    LoopbackServer() {
        server.Get("/(.*)", [this](const httplib::Request& request, httplib::Response& response) {
            serve(request, response);
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~LoopbackServer() {
        release();
        server.stop();
        thread.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::string url(const std::string& path = "") const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }
    void put(const std::string& path, ServedFile file) {
        std::lock_guard lock(mutex);
        files[path] = std::move(file);
    }
    int requestsFor(const std::string& path) {
        std::lock_guard lock(mutex);
        return requests[path];
    }
    // Lets stalled bodies end.
    void release() { released.store(true); }

private:
    void serve(const httplib::Request& request, httplib::Response& response) {
        ServedFile file;
        {
            std::lock_guard lock(mutex);
            ++requests[request.path];
            const auto found = files.find(request.path);
            if (found == files.end()) {
                response.status = 404;
                response.set_content("not here", "text/plain");
                return;
            }
            file = found->second;
        }
        response.status = file.status;
        if (!file.md5.empty())
            response.set_header("X-Checksum-Md5", file.md5);
        const auto body = std::make_shared<std::string>(file.body);
        if (file.afterFirstHalf) {
            response.set_content_provider(
                body->size(), "application/gzip",
                [this, body, after = file.afterFirstHalf](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset > 0) {
                        while (!released.load())
                            std::this_thread::sleep_for(std::chrono::milliseconds(5));
                        return false;
                    }
                    const size_t half = body->size() / 2;
                    sink.write(body->data(), half);
                    after();
                    sink.write(body->data() + half, 1);
                    return true;
                });
        } else if (file.truncated) {
            response.set_content_provider(body->size(), "application/gzip",
                                          [body](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset > 0)
                                                  return false;
                                              sink.write(body->data(), body->size() / 2);
                                              return true;
                                          });
        } else if (file.chunked) {
            response.set_chunked_content_provider(
                "application/gzip", [body](size_t offset, httplib::DataSink& sink) {
                    if (offset >= body->size()) {
                        sink.done();
                        return true;
                    }
                    sink.write(body->data() + offset, std::min<size_t>(4096, body->size() - offset));
                    return true;
                });
        } else {
            response.set_content(*body, "application/gzip");
        }
    }

    httplib::Server server;
    int port = 0;
    std::thread thread;
    std::mutex mutex;
    std::map<std::string, ServedFile> files;
    std::map<std::string, int> requests;
    std::atomic<bool> released{false};
};

}  // namespace acceltest
