#include <vek/sdk/helpers/string.h>

namespace vek::sdk {

const char* StringList::at(int index) const {
    if (index < 0 || index >= count())
        return nullptr;
    return items[static_cast<size_t>(index)].c_str();
}

StringMap::StringMap(const std::map<std::string, std::string>& values) {
    for (const auto& [k, v] : values)
        items.emplace_back(k, v);
}

const char* StringMap::key(int index) const {
    if (index < 0 || index >= count())
        return nullptr;
    return items[static_cast<size_t>(index)].first.c_str();
}

const char* StringMap::value(int index) const {
    if (index < 0 || index >= count())
        return nullptr;
    return items[static_cast<size_t>(index)].second.c_str();
}

const char* StringMap::value(const char* key) const {
    if (!key)
        return nullptr;
    std::lock_guard lock(cacheMutex);
    if (!cacheValid) {
        indexByKey.clear();
        for (size_t i = 0; i < items.size(); ++i)
            indexByKey.emplace(items[i].first, i);
        cacheValid = true;
    }
    const auto found = indexByKey.find(key);
    return found == indexByKey.end() ? nullptr : items[found->second].second.c_str();
}

void StringMap::setItem(const std::string& key, const std::string& value) {
    std::lock_guard lock(cacheMutex);
    cacheValid = false;
    for (auto& item : items) {
        if (item.first == key) {
            item.second = value;
            return;
        }
    }
    items.emplace_back(key, value);
}

void StringMap::clear() {
    std::lock_guard lock(cacheMutex);
    cacheValid = false;
    items.clear();
}

bool toStdMap(const IStringMap* map, std::map<std::string, std::string>* out) {
    if (!map || !out)
        return false;
    std::map<std::string, std::string> result;
    for (int i = 0; i < map->count(); ++i) {
        const char* key = map->key(i);
        const char* value = map->value(i);
        if (!key || !value)
            return false;
        result[key] = value;
    }
    *out = std::move(result);
    return true;
}

std::string takeString(const IString* text) {
    if (!text)
        return {};
    std::string copy = text->str() ? text->str() : "";
    text->releaseRef();
    return copy;
}

}  // namespace vek::sdk
