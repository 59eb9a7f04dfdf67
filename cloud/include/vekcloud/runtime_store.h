// The runtime package store: packages below a directory, addressed by the relative path that the
// download link template produces ("CPU/x86_64/Ubuntu/library.tar.gz"), and their MD5 digests.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vekcloud {

class RuntimeStore {
public:
    explicit RuntimeStore(std::filesystem::path root) : root(std::move(root)) {}

    // The regular file for a relative path; none when there is no such file or the path has an empty,
    // "." or ".." segment, so that no request reaches outside the store.
    std::optional<std::filesystem::path> package(std::string_view relativePath) const;

private:
    std::filesystem::path root;
};

// Lower-case hexadecimal MD5 of a file's content; none when it cannot be read.
std::optional<std::string> md5Hex(const std::filesystem::path& file);

}  // namespace vekcloud
