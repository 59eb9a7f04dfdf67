#include "corvane/raw_postprocessors/raw_tensor_input.h"

#include <cstring>

#include "vekai_utilities/vekai_utils.h"

namespace {

const char* entryName(const Tensor& entry) {
    return entry.name == nullptr ? "" : entry.name;
}

}  // namespace

int rawFindTensorByName(const Tensors* raw, std::initializer_list<const char*> names) {
    const std::span<const Tensor> entries = tensor_entries(raw);
    for (const char* name : names) {
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].name != nullptr && std::strstr(entries[i].name, name) != nullptr) {
                return static_cast<int>(i);
            }
        }
    }
    return -1;
}

int rawFindFloatTensorWithData(const Tensors* raw) {
    const std::span<const Tensor> entries = tensor_entries(raw);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (rawIsFloat(entries[i]) && entries[i].data != nullptr) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool rawIsFloat(const Tensor& entry) {
    return entry.type == TENSOR_TYPE_FLOAT32;
}

std::optional<RawMatrixShape> rawBatchOfOneFloatMatrix(const Tensor& entry) {
    const std::span<const int32_t> dims = tensor_dims(entry);
    if (!rawIsFloat(entry) || dims.size() != 3 || dims[0] != 1) {
        return std::nullopt;
    }
    return RawMatrixShape{dims[1], dims[2]};
}

std::optional<RawMatrixShape> rawMatrixShape(const Tensor& entry) {
    const std::span<const int32_t> dims = tensor_dims(entry);
    if (dims.size() == 2) {
        return RawMatrixShape{dims[0], dims[1]};
    }
    if (dims.size() == 3 && dims[0] == 1) {
        return RawMatrixShape{dims[1], dims[2]};
    }
    return std::nullopt;
}

std::optional<int32_t> rawVectorLength(const Tensor& entry) {
    const std::span<const int32_t> dims = tensor_dims(entry);
    if (dims.size() == 1) {
        return dims[0];
    }
    if (dims.size() == 2 && dims[0] == 1) {
        return dims[1];
    }
    return std::nullopt;
}

bool rawTensorReadable(const Tensor& entry, const char* tag, const char* role) {
    const TensorFault fault = check_tensor(entry);
    if (fault == TensorFault::None) {
        return true;
    }
    vekai_vlog("Warning! [%s] %s tensor '%s' is malformed (%s; %llu bytes of data).\n", tag, role,
               entryName(entry), tensor_fault_text(fault), static_cast<unsigned long long>(entry.size));
    return false;
}

bool rawTensorHolds(const Tensor& entry, uint64_t needed, const char* tag, const char* role) {
    const uint64_t held = tensor_element_count(entry);
    if (held >= needed) {
        return true;
    }
    vekai_vlog("Warning! [%s] %s tensor '%s' holds %llu values, %llu needed.\n", tag, role, entryName(entry),
               static_cast<unsigned long long>(held), static_cast<unsigned long long>(needed));
    return false;
}

bool rawClassCountUsable(int64_t classes, const char* tag) {
    if (classes >= 1 && classes <= kRawMaxClasses) {
        return true;
    }
    vekai_vlog("Warning! [%s] Class count %lld is out of range (1 to %lld).\n", tag,
               static_cast<long long>(classes), static_cast<long long>(kRawMaxClasses));
    return false;
}
