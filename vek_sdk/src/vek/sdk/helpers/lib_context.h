// The library's process-wide context: its name, an optional registry of reference-counted
// objects, and the unit-test options the host may set.
#pragma once

#include <vek/sdk/helpers/ref_countable.h>
#include <map>
#include <mutex>
#include <string>

namespace vek::sdk {

class LibContext {
public:
    static LibContext& instance();

    std::string name() const;
    void setName(const std::string& name);

    IRefCountableRegistry* refCountableRegistry() const;
    // The registry is not owned; pass null to stop registering.
    void setRefCountableRegistry(IRefCountableRegistry* registry);

    std::map<std::string, std::string> unitTestOptions() const;
    void setUnitTestOptions(std::map<std::string, std::string> options);

private:
    LibContext() = default;

    mutable std::mutex mutex;
    std::string libName = "unnamed_lib_context";
    std::atomic<IRefCountableRegistry*> registry{nullptr};
    std::map<std::string, std::string> testOptions;
};

}  // namespace vek::sdk
