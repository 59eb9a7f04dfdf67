#include <vekhost/plugin_library.h>

#include <dlfcn.h>

#include <vekhost/host_log.h>
#include <utility>

namespace vekhost {

Outcome<PluginLibrary> PluginLibrary::open(const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error))
        return Failure{"plugin library not found: " + path.string()};

    // A path without a slash would make dlopen search the library path instead of taking the file.
    const std::filesystem::path absolutePath = std::filesystem::absolute(path, error);
    void* handle = dlopen(absolutePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* reason = dlerror();
        return Failure{"cannot load plugin library " + path.string() + ": " +
                       (reason ? reason : "unknown error")};
    }
    logVerbose("loaded plugin library " + absolutePath.string());
    return PluginLibrary(handle, absolutePath);
}

PluginLibrary::PluginLibrary(void* handle, std::filesystem::path path)
    : handle(handle), path(std::move(path)) {}

PluginLibrary::PluginLibrary(PluginLibrary&& other) noexcept
    : handle(std::exchange(other.handle, nullptr)), path(std::move(other.path)) {}

PluginLibrary& PluginLibrary::operator=(PluginLibrary&& other) noexcept {
    if (this != &other) {
        close();
        handle = std::exchange(other.handle, nullptr);
        path = std::move(other.path);
    }
    return *this;
}

PluginLibrary::~PluginLibrary() {
    close();
}

void* PluginLibrary::symbol(const char* name) const {
    if (!handle)
        return nullptr;
    return dlsym(handle, name);
}

void PluginLibrary::keepLoaded() {
    if (std::exchange(handle, nullptr))
        logWarning("plugin library " + path.string() + " stays loaded until the process ends");
}

void PluginLibrary::close() {
    if (!handle)
        return;
    if (dlclose(std::exchange(handle, nullptr)) != 0) {
        const char* reason = dlerror();
        logWarning("dlclose of " + path.string() + " failed: " + (reason ? reason : "unknown error"));
        return;
    }
    logVerbose("unloaded plugin library " + path.string());
}

}  // namespace vekhost
