#include "vekcloud/faults.h"

namespace vekcloud {

void FaultTable::set(const std::string& pathPrefix, const Fault& fault) {
    std::lock_guard lock(mutex);
    faults[pathPrefix] = fault;
}

void FaultTable::clear(const std::string& pathPrefix) {
    std::lock_guard lock(mutex);
    faults.erase(pathPrefix);
}

void FaultTable::clearAll() {
    std::lock_guard lock(mutex);
    faults.clear();
}

std::optional<Fault> FaultTable::lookup(const std::string& path) const {
    std::lock_guard lock(mutex);
    const std::pair<const std::string, Fault>* best = nullptr;
    for (const auto& entry : faults) {
        if (path.starts_with(entry.first) && (best == nullptr || entry.first.size() > best->first.size())) {
            best = &entry;
        }
    }
    if (best == nullptr) {
        return std::nullopt;
    }
    return best->second;
}

}  // namespace vekcloud
