// A fresh directory for one test under the system's temporary directory, removed with everything
// in it when the test ends.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>

namespace vekhost::testing {

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vekhost_test_XXXXXX").string();
        if (mkdtemp(pattern.data()))
            root = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!root.empty())
            std::filesystem::remove_all(root, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return root; }
    std::filesystem::path operator/(const std::string& name) const { return root / name; }

private:
    std::filesystem::path root;
};

}  // namespace vekhost::testing
