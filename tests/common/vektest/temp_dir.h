// A fresh directory below the system's temporary folder for one test, removed with everything in
// it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace vektest {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "vek-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (tag + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()))
            path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (path.empty())
            return;
        // Tests may have made it read-only.
        std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::filesystem::path path;
};

}  // namespace vektest
