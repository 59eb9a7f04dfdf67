// Text, text list and ordered text map objects handed across the host interface.
#pragma once

#include <vek/sdk/interface.h>

namespace vek::sdk {

class IString : public Interface<IString, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IString"}; }
    virtual const char* str() const = 0;
};

class IStringList : public Interface<IStringList, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IStringList"}; }
    virtual int count() const = 0;
    // Null when the index is out of range.
    virtual const char* at(int index) const = 0;
};

class IStringMap : public Interface<IStringMap, IRefCountable> {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IStringMap"}; }
    virtual int count() const = 0;
    // Null when the index is out of range.
    virtual const char* key(int index) const = 0;
    virtual const char* value(int index) const = 0;
    // Null when the key is absent.
    virtual const char* value(const char* key) const = 0;
};

}  // namespace vek::sdk
