// Ready-made reference counting and queryInterface for every implemented interface; objects
// register in the library context's registry when one is set.
#pragma once

#include <vek/sdk/interface.h>
#include <atomic>
#include <type_traits>

namespace vek::sdk {

class IRefCountableRegistry {
public:
    virtual ~IRefCountableRegistry() = default;
    virtual void notifyCreated(const IRefCountable* object) = 0;
    virtual void notifyDestroyed(const IRefCountable* object) = 0;
};

namespace detail {
void registerRefCountable(const IRefCountable* object);
void unregisterRefCountable(const IRefCountable* object);

// Answers the interface's own id and every base's id up to IRefCountable.
template <class Interface>
bool implementsInterfaceId(InterfaceId id) {
    if constexpr (std::is_same_v<Interface, IRefCountable>) {
        return id == IRefCountable::interfaceId();
    } else {
        if (id == Interface::interfaceId())
            return true;
        return implementsInterfaceId<typename Interface::BaseInterface>(id);
    }
}
}  // namespace detail

template <class Interface>
class RefCountable : public Interface {
public:
    RefCountable() { detail::registerRefCountable(this); }
    RefCountable(const RefCountable&) = delete;
    RefCountable& operator=(const RefCountable&) = delete;
    ~RefCountable() override { detail::unregisterRefCountable(this); }

    int addRef() const override { return refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    int releaseRef() const override {
        const int remaining = refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (remaining == 0)
            delete this;
        return remaining;
    }
    int refCountThreadUnsafe() const { return refCount.load(std::memory_order_relaxed); }

    IRefCountable* queryInterface(InterfaceId id) override {
        if (detail::implementsInterfaceId<Interface>(id)) {
            addRef();
            return this;
        }
        return queryExtraInterface(id);
    }

protected:
    // Lets a class answer ids of interfaces outside its own chain.
    virtual IRefCountable* queryExtraInterface(InterfaceId) { return nullptr; }

private:
    mutable std::atomic<int> refCount{1};
};

}  // namespace vek::sdk
