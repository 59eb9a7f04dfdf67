// A headless Chromium driven over its DevTools protocol through a pipe pair (no websocket needed):
// opens a page and evaluates scripts in it, for tests of the host's web page.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace webtest {

class HeadlessChromium {
public:
    // The browser's program: $VEK_CHROMIUM, else /usr/bin/chromium; nothing when neither exists.
    static std::optional<std::filesystem::path> program();

    // Starts the browser with its profile in PROFILE_DIR; error says why when it did not start.
    HeadlessChromium(const std::filesystem::path& program, const std::filesystem::path& profileDir);
    ~HeadlessChromium();
    HeadlessChromium(const HeadlessChromium&) = delete;
    HeadlessChromium& operator=(const HeadlessChromium&) = delete;

    bool running() const { return pid > 0; }
    const std::string& error() const { return failure; }

    // Opens a page at URL and attaches to it; later evaluations run there.
    bool open(const std::string& url);
    // Evaluates EXPRESSION in the page, awaiting a promise, and gives its value as JSON text; a
    // thrown exception or no answer within LIMIT gives nothing, and error() says why.
    std::optional<std::string> evaluate(const std::string& expression, std::chrono::milliseconds limit);

private:
    // Sends one command (JSON params) and waits for its answer's "result" as JSON text.
    std::optional<std::string> call(const std::string& method, const std::string& params,
                                    std::chrono::milliseconds limit, bool inPage);
    std::optional<std::string> readMessage(std::chrono::steady_clock::time_point deadline);

    pid_t pid = -1;
    int commands = -1;
    int answers = -1;
    int nextId = 1;
    std::string pending;
    std::string session;
    std::string failure;
};

}  // namespace webtest
