// Text, text list and ordered text map objects the plugin and the host hand each other.
#pragma once

#include <vek/sdk/helpers/ref_countable.h>
#include <vek/sdk/i_string.h>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vek::sdk {

class String : public RefCountable<IString> {
public:
    String() = default;
    explicit String(std::string value) : value(std::move(value)) {}
    const char* str() const override { return value.c_str(); }
    void setString(std::string newValue) { value = std::move(newValue); }

private:
    std::string value;
};

class StringList : public RefCountable<IStringList> {
public:
    StringList() = default;
    explicit StringList(std::vector<std::string> items) : items(std::move(items)) {}
    int count() const override { return static_cast<int>(items.size()); }
    const char* at(int index) const override;
    void addItem(std::string item) { items.push_back(std::move(item)); }

private:
    std::vector<std::string> items;
};

// Items keep their insertion order; setItem replaces the value of an existing key in place.
class StringMap : public RefCountable<IStringMap> {
public:
    StringMap() = default;
    explicit StringMap(const std::map<std::string, std::string>& values);
    int count() const override { return static_cast<int>(items.size()); }
    const char* key(int index) const override;
    const char* value(int index) const override;
    const char* value(const char* key) const override;
    void setItem(const std::string& key, const std::string& value);
    void clear();

private:
    std::vector<std::pair<std::string, std::string>> items;
    // Built on the first lookup by key, dropped on every change.
    mutable std::mutex cacheMutex;
    mutable std::map<std::string, size_t> indexByKey;
    mutable bool cacheValid = false;
};

// Copies a host string map into an ordered standard map; false when the map is unusable
// (a null map, or an item whose key or value is null).
bool toStdMap(const IStringMap* map, std::map<std::string, std::string>* out);

// Copies a host string and releases it; empty for null.
std::string takeString(const IString* text);

}  // namespace vek::sdk
