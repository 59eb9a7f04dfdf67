#include "accl_manager/utils.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "vekai_utilities/vekai_utils.h"

namespace Utils {

std::string htmlLink(const std::string& target, const std::string& text) {
    return "<a href=\"" + target + "\" target=\"_blank\">" + text + "</a>";
}

std::string systemPath(const std::string& absolutePath) {
    const char* root = std::getenv(kSystemRootVariable);
    if (root == nullptr || *root == '\0')
        return absolutePath;
    return std::string(root) + absolutePath;
}

std::pair<int, std::string> runShellCommand(const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        vekai_vlog("Error running shell command: %s", command.c_str());
        return {-1, {}};
    }
    std::string output;
    char chunk[127];
    size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof(chunk), pipe)) > 0)
        output.append(chunk, count);
    return {pclose(pipe), output};
}

std::string shellQuote(const std::string& text) {
    std::string quoted = text;
    replaceAll(quoted, "'", "'\\''");
    return "'" + quoted + "'";
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    if (from.empty())
        return;
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            break;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

int compare_version(const std::string& a, const std::string& b) {
    const auto left = split(a, '.');
    const auto right = split(b, '.');
    for (size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
        const int x = i < left.size() ? std::stoi(left[i]) : 0;
        const int y = i < right.size() ? std::stoi(right[i]) : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

bool is_avx2_supported() {
    std::ifstream cpuinfo(systemPath("/proc/cpuinfo"));
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.find("flags") != std::string::npos && line.find("avx2") != std::string::npos)
            return true;
    }
    return false;
}

bool is_library_installed(const std::string& name) {
    std::string command = "ldconfig -p | grep {library_name}";
    replaceAll(command, "{library_name}", name);
    return runShellCommand(command).first == 0;
}

}  // namespace Utils
