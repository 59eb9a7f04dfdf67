// Builds tar archives member by member, hostile ones included (absolute names, "..", links out of
// the folder, device nodes, extended headers), and gzips them with the system's gzip.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "accl_manager/utils.h"
#include "fake_machine.h"

namespace acceltest {

class TarBuilder {
public:
    TarBuilder& file(const std::string& name, const std::string& content) {
        return member(name, '0', content);
    }
    TarBuilder& directory(const std::string& name) { return member(name, '5', ""); }
    TarBuilder& symlink(const std::string& name, const std::string& target) {
        return member(name, '2', "", target);
    }
    TarBuilder& hardlink(const std::string& name, const std::string& target) {
        return member(name, '1', "", target);
    }
    // A member in the POSIX layout, its name split into prefix and name fields.
    TarBuilder& prefixed(const std::string& prefix, const std::string& name, const std::string& content) {
        return member(name, '0', content, "", prefix);
    }
    // An extended header ('x' for the next member, 'g' for all) holding one record.
    TarBuilder& pax(char type, const std::string& key, const std::string& value) {
        std::string record = " " + key + "=" + value + "\n";
        size_t length = record.size() + 1;
        while (std::to_string(length).size() + record.size() != length)
            ++length;
        return member("PaxHeader", type, std::to_string(length) + record);
    }
    // GNU's long-name member that names the next one.
    TarBuilder& longName(const std::string& name) { return member("././@LongLink", 'L', name + '\0'); }

    TarBuilder& member(const std::string& name, char type, const std::string& content,
                       const std::string& link = "", const std::string& prefix = "") {
        char header[512] = {};
        std::memcpy(header, name.data(), std::min<size_t>(name.size(), 100));
        std::snprintf(header + 100, 8, "%07o", type == '5' ? 0755u : 0644u);
        std::snprintf(header + 108, 8, "%07o", 0u);
        std::snprintf(header + 116, 8, "%07o", 0u);
        std::snprintf(header + 124, 12, "%011lo", static_cast<unsigned long>(content.size()));
        std::snprintf(header + 136, 12, "%011lo", 1700000000ul);
        header[156] = type;
        std::memcpy(header + 157, link.data(), std::min<size_t>(link.size(), 100));
        std::memcpy(header + 257,
                    "ustar\0"
                    "00",
                    8);
        std::memcpy(header + 265, "root", 4);
        std::memcpy(header + 297, "root", 4);
        std::memcpy(header + 345, prefix.data(), std::min<size_t>(prefix.size(), 155));
        std::memset(header + 148, ' ', 8);
        unsigned sum = 0;
        for (unsigned char byte : header)
            sum += byte;
        std::snprintf(header + 148, 8, "%06o", sum);
        header[155] = ' ';
        bytes.append(header, sizeof(header));
        bytes += content;
        bytes.append((512 - content.size() % 512) % 512, '\0');
        return *this;
    }

    // The archive with its end marker.
    std::string archive() const { return bytes + std::string(1024, '\0'); }

    // Writes the gzip-compressed archive to `path`.
    void writeGzip(const std::filesystem::path& path) const { gzipTo(archive(), path); }

    static void gzipTo(const std::string& data, const std::filesystem::path& path) {
        const std::string plain = path.string() + ".plain";
        writeText(plain, data);
        Utils::runShellCommand("gzip -nc " + Utils::shellQuote(plain) + " > " +
                               Utils::shellQuote(path.string()));
        std::filesystem::remove(plain);
    }

private:
    std::string bytes;
};

}  // namespace acceltest
