#include "tensor_set.h"

#include <cstdlib>
#include <cstring>

namespace vekrt {

VekRuntimeTensors* allocateSet(int32_t id, int32_t count) {
    auto* set = static_cast<VekRuntimeTensors*>(std::calloc(1, sizeof(VekRuntimeTensors)));
    if (set == nullptr) {
        return nullptr;
    }
    set->id = id;
    set->tensors = static_cast<VekRuntimeTensor*>(
        std::calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(VekRuntimeTensor)));
    if (set->tensors == nullptr) {
        std::free(set);
        return nullptr;
    }
    set->count = count > 0 ? count : 0;
    return set;
}

bool fillEntry(VekRuntimeTensor& entry, std::string_view name, int32_t type, std::span<const int64_t> shape,
               const void* data, uint64_t size) {
    entry.type = type;
    entry.rank = static_cast<int32_t>(shape.size());
    entry.size = size;
    entry.name = static_cast<char*>(std::malloc(name.size() + 1));
    entry.shape = static_cast<int32_t*>(std::malloc(shape.empty() ? 1 : shape.size() * sizeof(int32_t)));
    // One spare byte keeps an empty tensor's data pointer distinct from "no allocation".
    entry.data = std::malloc(size == 0 ? 1 : size);
    if (entry.name == nullptr || entry.shape == nullptr || entry.data == nullptr) {
        return false;
    }
    std::memcpy(entry.name, name.data(), name.size());
    entry.name[name.size()] = '\0';
    for (size_t i = 0; i < shape.size(); ++i) {
        entry.shape[i] = static_cast<int32_t>(shape[i]);
    }
    if (data != nullptr && size > 0) {
        std::memcpy(entry.data, data, size);
    }
    return true;
}

void freeSet(VekRuntimeTensors* set) {
    if (set == nullptr) {
        return;
    }
    if (set->tensors != nullptr) {
        for (int32_t i = 0; i < set->count; ++i) {
            std::free(set->tensors[i].name);
            std::free(set->tensors[i].shape);
            std::free(set->tensors[i].data);
        }
        std::free(set->tensors);
    }
    std::free(set);
}

size_t elementSize(int32_t type) {
    switch (type) {
        case VEK_RUNTIME_UINT8:
        case VEK_RUNTIME_INT8:
        case VEK_RUNTIME_BOOL:
            return 1;
        case VEK_RUNTIME_UINT16:
        case VEK_RUNTIME_INT16:
        case VEK_RUNTIME_FLOAT16:
            return 2;
        case VEK_RUNTIME_FLOAT32:
        case VEK_RUNTIME_INT32:
        case VEK_RUNTIME_UINT32:
            return 4;
        case VEK_RUNTIME_INT64:
        case VEK_RUNTIME_DOUBLE:
        case VEK_RUNTIME_UINT64:
            return 8;
        default:
            return 0;
    }
}

const VekRuntimeTensor* findEntry(const VekRuntimeTensors* set, std::string_view name) {
    if (set == nullptr || set->tensors == nullptr) {
        return nullptr;
    }
    for (int32_t i = 0; i < set->count; ++i) {
        if (set->tensors[i].name != nullptr && name == set->tensors[i].name) {
            return &set->tensors[i];
        }
    }
    return nullptr;
}

}  // namespace vekrt
