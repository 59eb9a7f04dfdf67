// The plugin's shared library, opened with dlopen and closed when the handle goes, and the lookup
// of its entry points.
#pragma once

#include <vekhost/outcome.h>
#include <filesystem>

namespace vekhost {

class PluginLibrary {
public:
    static Outcome<PluginLibrary> open(const std::filesystem::path& path);

    PluginLibrary(PluginLibrary&& other) noexcept;
    PluginLibrary& operator=(PluginLibrary&& other) noexcept;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary();

    // Null when the library has no such symbol.
    void* symbol(const char* name) const;

    template <class Function>
    Outcome<Function> entryPoint(const char* name) const {
        if (void* address = symbol(name))
            return reinterpret_cast<Function>(address);
        return Failure{"plugin library " + path.string() + " has no entry point " + name};
    }

    const std::filesystem::path& location() const { return path; }

    // Closes the library now; nothing from it may be used afterwards.
    void close();
    // Gives up the handle without closing: the library stays mapped until the process ends, for
    // when objects of it may still be alive.
    void keepLoaded();

private:
    PluginLibrary(void* handle, std::filesystem::path path);

    void* handle = nullptr;
    std::filesystem::path path;
};

}  // namespace vekhost
