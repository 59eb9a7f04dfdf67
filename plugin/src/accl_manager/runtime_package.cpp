#include "accl_manager/runtime_package.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "accl_manager/utils.h"

namespace {

constexpr size_t kBlockSize = 512;
// Long names and extended headers are small; a larger one is no archive this plugin should unpack.
constexpr uint64_t kMaxMetadataSize = 1 << 20;

struct Member {
    std::string name;
    char type = '0';
    std::string linkTarget;
};

PackageVerdict refuse(std::string reason) {
    return {false, std::move(reason)};
}

// The decompressed bytes of the package, read through the same gzip that unpacking relies on.
class DecompressedStream {
public:
    explicit DecompressedStream(const std::string& path)
        : pipe(popen(("gzip -dc -- " + Utils::shellQuote(path) + " 2>/dev/null").c_str(), "r")) {}
    ~DecompressedStream() {
        if (pipe != nullptr)
            pclose(pipe);
    }
    DecompressedStream(const DecompressedStream&) = delete;
    DecompressedStream& operator=(const DecompressedStream&) = delete;

    bool isOpen() const { return pipe != nullptr; }

    // How many bytes arrived, up to `size`; fewer only at the end of the data.
    size_t read(char* data, size_t size) { return std::fread(data, 1, size, pipe); }

    // Reads what is left and tells whether gzip took the whole file without an error.
    bool finish() {
        char rest[4096];
        while (std::fread(rest, 1, sizeof(rest), pipe) > 0) {
        }
        const int status = pclose(pipe);
        pipe = nullptr;
        return status == 0;
    }

private:
    FILE* pipe;
};

std::string textField(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

// Octal digits between optional spaces and NULs, or GNU's base-256 form for large values.
std::optional<uint64_t> numberField(const char* field, size_t width) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(field);
    if (bytes[0] & 0x80) {
        if (bytes[0] == 0xff)
            return std::nullopt;
        uint64_t value = bytes[0] & 0x7f;
        for (size_t i = 1; i < width; ++i) {
            if (value >> 56)
                return std::nullopt;
            value = (value << 8) | bytes[i];
        }
        return value;
    }
    size_t i = 0;
    while (i < width && field[i] == ' ')
        ++i;
    uint64_t value = 0;
    for (; i < width && field[i] >= '0' && field[i] <= '7'; ++i) {
        if (value >> 61)
            return std::nullopt;
        value = value * 8 + static_cast<uint64_t>(field[i] - '0');
    }
    for (; i < width; ++i) {
        if (field[i] != ' ' && field[i] != '\0')
            return std::nullopt;
    }
    return value;
}

bool checksumMatches(const char* header) {
    const auto stored = numberField(header + 148, 8);
    if (!stored)
        return false;
    uint64_t unsignedSum = 0;
    int64_t signedSum = 0;
    for (size_t i = 0; i < kBlockSize; ++i) {
        const bool inChecksum = i >= 148 && i < 156;
        unsignedSum += inChecksum ? ' ' : static_cast<unsigned char>(header[i]);
        signedSum += inChecksum ? ' ' : static_cast<signed char>(header[i]);
    }
    return *stored == unsignedSum || static_cast<int64_t>(*stored) == signedSum;
}

uint64_t paddedSize(uint64_t size) {
    return (size + kBlockSize - 1) / kBlockSize * kBlockSize;
}

// Reads a member's data blocks, keeping the first `size` bytes in `kept` when it is given.
bool readData(DecompressedStream& stream, uint64_t size, std::string* kept) {
    char block[kBlockSize];
    for (uint64_t left = paddedSize(size); left > 0; left -= kBlockSize) {
        if (stream.read(block, kBlockSize) != kBlockSize)
            return false;
        if (kept != nullptr && kept->size() < size)
            kept->append(block, static_cast<size_t>(std::min<uint64_t>(kBlockSize, size - kept->size())));
    }
    return true;
}

// Records of "<length> <key>=<value>\n".
bool parsePaxRecords(const std::string& data, std::map<std::string, std::string>& records) {
    size_t at = 0;
    while (at < data.size() && data[at] != '\0') {
        const size_t space = data.find(' ', at);
        if (space == std::string::npos)
            return false;
        size_t length = 0;
        for (size_t i = at; i < space; ++i) {
            if (data[i] < '0' || data[i] > '9' || length > data.size())
                return false;
            length = length * 10 + static_cast<size_t>(data[i] - '0');
        }
        if (length <= space - at + 1 || at + length > data.size() || data[at + length - 1] != '\n')
            return false;
        const std::string record = data.substr(space + 1, at + length - space - 2);
        const size_t equals = record.find('=');
        if (equals == std::string::npos)
            return false;
        records[record.substr(0, equals)] = record.substr(equals + 1);
        at += length;
    }
    return true;
}

bool namesSparseData(const std::map<std::string, std::string>& records) {
    return std::any_of(records.begin(), records.end(),
                       [](const auto& record) { return record.first.rfind("GNU.sparse", 0) == 0; });
}

std::optional<std::vector<Member>> readMembers(DecompressedStream& stream, std::string& reason) {
    std::vector<Member> members;
    std::optional<std::string> longName;
    std::optional<std::string> longLink;
    std::map<std::string, std::string> pax;
    char header[kBlockSize];
    while (true) {
        const size_t got = stream.read(header, kBlockSize);
        if (got == 0)
            break;
        if (got != kBlockSize) {
            reason = "the archive is truncated";
            return std::nullopt;
        }
        if (std::all_of(header, header + kBlockSize, [](char c) { return c == '\0'; }))
            break;
        const auto size = numberField(header + 124, 12);
        if (!checksumMatches(header) || !size) {
            reason = "the archive is damaged";
            return std::nullopt;
        }
        const char type = header[156];
        if (type == 'L' || type == 'K' || type == 'x' || type == 'g') {
            std::string data;
            if (*size > kMaxMetadataSize || !readData(stream, *size, &data)) {
                reason = "the archive has a damaged extended header";
                return std::nullopt;
            }
            if (type == 'L') {
                longName = textField(data.data(), data.size());
            } else if (type == 'K') {
                longLink = textField(data.data(), data.size());
            } else {
                std::map<std::string, std::string> records;
                if (!parsePaxRecords(data, records)) {
                    reason = "the archive has a damaged extended header";
                    return std::nullopt;
                }
                if (namesSparseData(records) ||
                    (type == 'g' && (records.count("path") > 0 || records.count("linkpath") > 0))) {
                    reason = "the archive uses extended headers that are not supported";
                    return std::nullopt;
                }
                if (type == 'x') {
                    for (auto& [key, value] : records)
                        pax[key] = std::move(value);
                }
            }
            continue;
        }

        Member member;
        member.type = type;
        if (pax.count("path") > 0) {
            member.name = pax["path"];
        } else if (longName) {
            member.name = *longName;
        } else {
            member.name = textField(header, 100);
            const bool posixUstar = std::memcmp(header + 257, "ustar\0", 6) == 0;
            const std::string prefix = textField(header + 345, 155);
            if (posixUstar && !prefix.empty())
                member.name = prefix + "/" + member.name;
        }
        if (pax.count("linkpath") > 0)
            member.linkTarget = pax["linkpath"];
        else if (longLink)
            member.linkTarget = *longLink;
        else
            member.linkTarget = textField(header + 157, 100);
        longName.reset();
        longLink.reset();
        pax.clear();
        if (!readData(stream, *size, nullptr)) {
            reason = "the archive is truncated";
            return std::nullopt;
        }
        members.push_back(std::move(member));
    }
    return members;
}

// The components of a path relative to the install folder, without empty and "." ones; none when
// the path is absolute or climbs with "..".
std::optional<std::vector<std::string>> relativeComponents(const std::string& path) {
    if (!path.empty() && path.front() == '/')
        return std::nullopt;
    std::vector<std::string> components;
    for (auto& piece : Utils::split(path, '/')) {
        if (piece.empty() || piece == ".")
            continue;
        if (piece == "..")
            return std::nullopt;
        components.push_back(std::move(piece));
    }
    return components;
}

std::string joined(const std::vector<std::string>& components, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i)
        path += (i == 0 ? "" : "/") + components[i];
    return path;
}

class MemberChecker {
public:
    MemberChecker(const std::vector<Member>& members, std::string installDirectory)
        : installDirectory(std::move(installDirectory)) {
        for (const auto& member : members) {
            const auto components = relativeComponents(member.name);
            if (member.type == '2' && components)
                links.insert(joined(*components, components->size()));
        }
    }

    // Why the member is unsafe; empty when it is safe.
    std::string check(const Member& member) const {
        if (member.type != '0' && member.type != '\0' && member.type != '7' && member.type != '5' &&
            member.type != '1' && member.type != '2')
            return "member " + member.name + " is neither a file, a folder nor a link";
        const auto components = relativeComponents(member.name);
        if (!components)
            return "member " + member.name + " would be written outside the install folder";
        const size_t parentCount = components->empty() ? 0 : components->size() - 1;
        if (const auto link = linkOnTheWay(*components, parentCount))
            return "member " + member.name + " would be written through the link " + *link;
        if (member.type == '1')
            return checkHardLink(member);
        if (member.type == '2')
            return checkSymbolicLink(member, *components);
        return {};
    }

private:
    bool isLink(const std::string& path) const {
        if (links.count(path) > 0)
            return true;
        std::error_code ignored;
        return std::filesystem::is_symlink(
            std::filesystem::symlink_status(std::filesystem::path(installDirectory) / path, ignored));
    }

    // The first of the leading `count` components that is a link.
    std::optional<std::string> linkOnTheWay(const std::vector<std::string>& components, size_t count) const {
        for (size_t i = 1; i <= count; ++i) {
            const std::string path = joined(components, i);
            if (isLink(path))
                return path;
        }
        return std::nullopt;
    }

    std::string checkHardLink(const Member& member) const {
        const auto target = relativeComponents(member.linkTarget);
        if (!target || target->empty())
            return "link " + member.name + " points outside the install folder";
        if (linkOnTheWay(*target, target->size() - 1))
            return "link " + member.name + " points through another link";
        return {};
    }

    std::string checkSymbolicLink(const Member& member, const std::vector<std::string>& components) const {
        if (components.empty() || member.linkTarget.empty() || member.linkTarget.front() == '/')
            return "link " + member.name + " points outside the install folder";
        std::vector<std::string> pieces;
        for (const auto& piece : Utils::split(member.linkTarget, '/')) {
            if (!piece.empty() && piece != ".")
                pieces.push_back(piece);
        }
        std::vector<std::string> resolved(components.begin(), components.end() - 1);
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (pieces[i] == "..") {
                if (resolved.empty())
                    return "link " + member.name + " points outside the install folder";
                resolved.pop_back();
                continue;
            }
            resolved.push_back(pieces[i]);
            if (i + 1 < pieces.size() && isLink(joined(resolved, resolved.size())))
                return "link " + member.name + " points through another link";
        }
        return {};
    }

    std::string installDirectory;
    std::set<std::string> links;
};

}  // namespace

PackageVerdict inspectRuntimePackage(const std::string& packagePath, const std::string& installDirectory) {
    DecompressedStream stream(packagePath);
    if (!stream.isOpen())
        return refuse("the package cannot be read");
    std::string reason;
    const auto members = readMembers(stream, reason);
    const bool decompressed = stream.finish();
    if (!members)
        return refuse(reason);
    if (!decompressed)
        return refuse("the package is not a complete gzip-compressed archive");
    const MemberChecker checker(*members, installDirectory);
    for (const auto& member : *members) {
        if (auto problem = checker.check(member); !problem.empty())
            return refuse(std::move(problem));
    }
    return {true, {}};
}
