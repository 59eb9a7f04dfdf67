#include "headless_chromium.h"

#include <fcntl.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>
#include <vector>

namespace webtest {
namespace {

std::string jsonString(const std::string& text) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.c_str(), static_cast<rapidjson::SizeType>(text.size()));
    return buffer.GetString();
}

std::string jsonOf(const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return buffer.GetString();
}

}  // namespace

std::optional<std::filesystem::path> HeadlessChromium::program() {
    const char* chosen = std::getenv("VEK_CHROMIUM");
    const std::filesystem::path path = chosen && *chosen ? chosen : "/usr/bin/chromium";
    if (access(path.c_str(), X_OK) != 0)
        return std::nullopt;
    return path;
}

HeadlessChromium::HeadlessChromium(const std::filesystem::path& program,
                                   const std::filesystem::path& profileDir) {
    int toBrowser[2];
    int fromBrowser[2];
    if (pipe2(toBrowser, O_CLOEXEC) != 0 || pipe2(fromBrowser, O_CLOEXEC) != 0) {
        failure = "no pipes";
        return;
    }
    const std::string profile = "--user-data-dir=" + profileDir.string();
    std::vector<std::string> arguments = {program.string(),          "--headless",     "--no-sandbox",
                                          "--disable-gpu",           "--no-first-run", "--disable-extensions",
                                          "--remote-debugging-pipe", profile,          "about:blank"};
    pid = fork();
    if (pid == 0) {
        // The protocol's pipe: commands on descriptor 3, answers on 4.
        dup2(toBrowser[0], 3);
        dup2(fromBrowser[1], 4);
        const int quiet = ::open("/dev/null", O_WRONLY);
        dup2(quiet, 1);
        dup2(quiet, 2);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(toBrowser[0]);
    close(fromBrowser[1]);
    commands = toBrowser[1];
    answers = fromBrowser[0];
    if (pid < 0)
        failure = "cannot start " + program.string();
}

HeadlessChromium::~HeadlessChromium() {
    if (commands >= 0)
        close(commands);
    if (answers >= 0)
        close(answers);
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

std::optional<std::string> HeadlessChromium::readMessage(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const size_t end = pending.find('\0');
        if (end != std::string::npos) {
            std::string message = pending.substr(0, end);
            pending.erase(0, end + 1);
            return message;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd ready{answers, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[65536];
        const ssize_t got = read(answers, buffer, sizeof(buffer));
        if (got <= 0) {
            failure = "the browser closed its pipe";
            return std::nullopt;
        }
        pending.append(buffer, static_cast<size_t>(got));
    }
}

std::optional<std::string> HeadlessChromium::call(const std::string& method, const std::string& params,
                                                  std::chrono::milliseconds limit, bool inPage) {
    const int id = nextId++;
    std::string message =
        "{\"id\":" + std::to_string(id) + ",\"method\":" + jsonString(method) + ",\"params\":" + params;
    if (inPage)
        message += ",\"sessionId\":" + jsonString(session);
    message += "}";
    message.push_back('\0');
    for (size_t sent = 0; sent < message.size();) {
        const ssize_t wrote = write(commands, message.data() + sent, message.size() - sent);
        if (wrote <= 0) {
            failure = "cannot write to the browser";
            return std::nullopt;
        }
        sent += static_cast<size_t>(wrote);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto text = readMessage(deadline);
        if (!text) {
            if (failure.empty())
                failure = method + " had no answer in time";
            return std::nullopt;
        }
        rapidjson::Document answer;
        if (answer.Parse(text->c_str()).HasParseError() || !answer.IsObject() || !answer.HasMember("id") ||
            !answer["id"].IsInt() || answer["id"].GetInt() != id)
            continue;
        if (answer.HasMember("error")) {
            failure = method + ": " + jsonOf(answer["error"]);
            return std::nullopt;
        }
        return answer.HasMember("result") ? jsonOf(answer["result"]) : std::string("{}");
    }
}

bool HeadlessChromium::open(const std::string& url) {
    using namespace std::chrono_literals;
    const auto created = call("Target.createTarget", "{\"url\":" + jsonString(url) + "}", 30s, false);
    if (!created)
        return false;
    rapidjson::Document target;
    target.Parse(created->c_str());
    const auto attached = call(
        "Target.attachToTarget",
        "{\"targetId\":" + jsonString(target["targetId"].GetString()) + ",\"flatten\":true}", 30s, false);
    if (!attached)
        return false;
    rapidjson::Document attachment;
    attachment.Parse(attached->c_str());
    session = attachment["sessionId"].GetString();
    // Until the page has loaded, evaluations may meet the blank page's context going away.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto loaded = evaluate("location.href + ' ' + document.readyState", 5s);
        if (loaded && *loaded == "\"" + url + " complete\"")
            return true;
        std::this_thread::sleep_for(100ms);
    }
    failure = "the page " + url + " did not load: " + failure;
    return false;
}

std::optional<std::string> HeadlessChromium::evaluate(const std::string& expression,
                                                      std::chrono::milliseconds limit) {
    const auto result =
        call("Runtime.evaluate",
             "{\"expression\":" + jsonString(expression) + ",\"awaitPromise\":true,\"returnByValue\":true}",
             limit, true);
    if (!result)
        return std::nullopt;
    rapidjson::Document answer;
    answer.Parse(result->c_str());
    if (answer.HasMember("exceptionDetails")) {
        failure = "the script threw: " + jsonOf(answer["exceptionDetails"]);
        return std::nullopt;
    }
    const auto& value = answer["result"];
    return value.HasMember("value") ? jsonOf(value["value"]) : std::string("null");
}

}  // namespace webtest
