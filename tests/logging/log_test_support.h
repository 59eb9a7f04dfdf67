// Helpers shared by the logger tests: a private scratch directory per test and a strict parser of
// the line header the logger writes.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace logtest {

inline constexpr const char* kPrefix = "AI Plugin: ";

class ScratchDir {
public:
    ScratchDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vek_logging_XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    bool isEmpty() const { return std::filesystem::is_empty(path); }

    std::filesystem::path path;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Lines without their "\n"; a final line without one is kept.
inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < text.size()) {
        const size_t end = text.find('\n', begin);
        if (end == std::string::npos) {
            lines.push_back(text.substr(begin));
            break;
        }
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

struct LogLine {
    uint64_t ms = 0;
    uint64_t deltaUs = 0;
    std::string message;
};

// Accepts exactly: prefix, 13-digit milliseconds, blank, 9-digit delta, ": ", message.
inline std::optional<LogLine> parseLogLine(std::string_view line, std::string_view prefix = kPrefix) {
    constexpr size_t kMsDigits = 13;
    constexpr size_t kDeltaDigits = 9;
    constexpr size_t kHeaderLength = kMsDigits + 1 + kDeltaDigits + 2;
    if (!line.starts_with(prefix)) {
        return std::nullopt;
    }
    line.remove_prefix(prefix.size());
    if (line.size() < kHeaderLength) {
        return std::nullopt;
    }
    const auto allDigits = [](std::string_view text) {
        return std::all_of(text.begin(), text.end(),
                           [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    };
    const std::string_view ms = line.substr(0, kMsDigits);
    const std::string_view delta = line.substr(kMsDigits + 1, kDeltaDigits);
    if (!allDigits(ms) || line[kMsDigits] != ' ' || !allDigits(delta) ||
        line.substr(kMsDigits + 1 + kDeltaDigits, 2) != ": ") {
        return std::nullopt;
    }
    return LogLine{std::stoull(std::string(ms)), std::stoull(std::string(delta)),
                   std::string(line.substr(kHeaderLength))};
}

inline std::vector<LogLine> parseLogFile(const std::filesystem::path& path,
                                         std::string_view prefix = kPrefix) {
    std::vector<LogLine> parsed;
    for (const std::string& line : splitLines(readFile(path))) {
        std::optional<LogLine> entry = parseLogLine(line, prefix);
        parsed.push_back(entry ? *entry : LogLine{0, 0, "<malformed> " + line});
    }
    return parsed;
}

inline std::vector<std::string> messagesOf(const std::vector<LogLine>& lines) {
    std::vector<std::string> messages;
    for (const LogLine& line : lines) {
        messages.push_back(line.message);
    }
    return messages;
}

}  // namespace logtest
