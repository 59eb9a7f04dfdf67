// Reference-counted interface base shared by the host and the plugin: interface ids are the
// interfaces' full names as text, and Ptr holds a reference for as long as it lives.
#pragma once

#include <cstring>
#include <utility>

namespace vek::sdk {

struct InterfaceId {
    const char* value;
    bool operator==(const InterfaceId& other) const { return std::strcmp(value, other.value) == 0; }
};

class IRefCountable {
public:
    static constexpr InterfaceId interfaceId() { return {"vek::sdk::IRefCountable"}; }

    virtual ~IRefCountable() = default;
    // Returns the object with a reference taken when it implements the interface, else null.
    virtual IRefCountable* queryInterface(InterfaceId id) = 0;
    virtual int addRef() const = 0;
    virtual int releaseRef() const = 0;

    template <class Interface>
    Interface* queryInterface() {
        return static_cast<Interface*>(queryInterface(Interface::interfaceId()));
    }
};

// Declares an interface: its id and the base whose ids it also answers.
template <class Derived, class Base>
class Interface : public Base {
public:
    using BaseInterface = Base;
};

template <class T>
class Ptr {
public:
    Ptr() = default;
    // Adopts a reference already owned by the caller.
    explicit Ptr(T* object) : object(object) {}
    Ptr(const Ptr& other) : object(other.object) { acquire(); }
    Ptr(Ptr&& other) noexcept : object(std::exchange(other.object, nullptr)) {}
    template <class U>
    Ptr(Ptr<U>&& other) : object(other.releasePtr()) {}
    ~Ptr() { reset(); }

    Ptr& operator=(const Ptr& other) {
        if (this != &other) {
            Ptr copy(other);
            std::swap(object, copy.object);
        }
        return *this;
    }
    Ptr& operator=(Ptr&& other) noexcept {
        if (this != &other) {
            reset();
            object = std::exchange(other.object, nullptr);
        }
        return *this;
    }

    void reset(T* newObject = nullptr) {
        T* old = std::exchange(object, newObject);
        if (old)
            old->releaseRef();
    }
    // Gives up ownership without releasing the reference.
    T* releasePtr() { return std::exchange(object, nullptr); }
    T* get() const { return object; }
    T* operator->() const { return object; }
    T& operator*() const { return *object; }
    explicit operator bool() const { return object != nullptr; }

    template <class Interface>
    Ptr<Interface> queryInterface() const {
        if (!object)
            return {};
        return Ptr<Interface>(static_cast<Interface*>(
            const_cast<std::remove_const_t<T>*>(object)->queryInterface(Interface::interfaceId())));
    }

private:
    void acquire() {
        if (object)
            object->addRef();
    }
    T* object = nullptr;
};

// Adopts an owned reference.
template <class T>
Ptr<T> toPtr(T* object) {
    return Ptr<T>(object);
}

// Takes a new reference to a borrowed object.
template <class T>
Ptr<T> shareToPtr(T* object) {
    if (object)
        object->addRef();
    return Ptr<T>(object);
}

template <class T>
Ptr<T> shareToPtr(const Ptr<T>& ptr) {
    return ptr;
}

}  // namespace vek::sdk
