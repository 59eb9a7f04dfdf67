#include "utils/tensor_utils.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct TypeName {
    std::string_view name;
    TensorElementType type;
};

constexpr TypeName kTypeNames[] = {
    {"float32", TENSOR_TYPE_FLOAT32}, {"float", TENSOR_TYPE_FLOAT32},   {"FLOAT", TENSOR_TYPE_FLOAT32},
    {"uint8_t", TENSOR_TYPE_UINT8},   {"UINT8", TENSOR_TYPE_UINT8},     {"int8_t", TENSOR_TYPE_INT8},
    {"INT8", TENSOR_TYPE_INT8},       {"uint16_t", TENSOR_TYPE_UINT16}, {"UINT16", TENSOR_TYPE_UINT16},
    {"int16_t", TENSOR_TYPE_INT16},   {"INT16", TENSOR_TYPE_INT16},     {"int32_t", TENSOR_TYPE_INT32},
    {"int", TENSOR_TYPE_INT32},       {"INT32", TENSOR_TYPE_INT32},     {"int64_t", TENSOR_TYPE_INT64},
    {"INT64", TENSOR_TYPE_INT64},     {"bool", TENSOR_TYPE_BOOL},       {"BOOL", TENSOR_TYPE_BOOL},
    {"double", TENSOR_TYPE_DOUBLE},   {"DOUBLE", TENSOR_TYPE_DOUBLE},   {"uint32_t", TENSOR_TYPE_UINT32},
    {"UINT32", TENSOR_TYPE_UINT32},   {"uint64_t", TENSOR_TYPE_UINT64}, {"UINT64", TENSOR_TYPE_UINT64},
};

void* checked_malloc(size_t bytes) {
    // malloc(0) may return null legitimately; one byte keeps "null means failure" simple.
    void* memory = std::malloc(bytes == 0 ? 1 : bytes);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

}  // namespace

TensorElementType get_tensor_type_from_string(std::string_view name) {
    for (const TypeName& entry : kTypeNames) {
        if (entry.name == name) {
            return entry.type;
        }
    }
    return TENSOR_TYPE_UNDEFINED;
}

size_t get_type_size(int32_t type) {
    switch (type) {
        case TENSOR_TYPE_UINT8:
        case TENSOR_TYPE_INT8:
        case TENSOR_TYPE_STRING:
        case TENSOR_TYPE_BOOL:
            return 1;
        case TENSOR_TYPE_UINT16:
        case TENSOR_TYPE_INT16:
            return 2;
        case TENSOR_TYPE_INT64:
        case TENSOR_TYPE_DOUBLE:
        case TENSOR_TYPE_UINT64:
            return 8;
        default:
            return 4;
    }
}

void free_tensors(Tensors* set) {
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
    set->tensors = nullptr;
    set->count = 0;
}

void TensorsDeleter::operator()(Tensors* set) const {
    free_tensors(set);
    std::free(set);
}

TensorsPtr allocate_tensors(int32_t id, int32_t count) {
    TensorsPtr set(static_cast<Tensors*>(checked_malloc(sizeof(Tensors))));
    set->id = id;
    set->count = 0;
    set->tensors = nullptr;
    if (count > 0) {
        set->tensors = static_cast<Tensor*>(std::calloc(static_cast<size_t>(count), sizeof(Tensor)));
        if (set->tensors == nullptr) {
            throw std::bad_alloc();
        }
        set->count = count;
    }
    return set;
}

void fill_tensor(Tensor& entry, const char* name, TensorElementType type, std::span<const int32_t> shape,
                 const void* data, uint64_t size) {
    entry.type = type;
    entry.rank = static_cast<int32_t>(shape.size());
    entry.size = size;
    entry.name = strdup(name == nullptr ? "" : name);
    if (entry.name == nullptr) {
        throw std::bad_alloc();
    }
    entry.shape = static_cast<int32_t*>(checked_malloc(shape.size_bytes()));
    if (!shape.empty()) {
        std::memcpy(entry.shape, shape.data(), shape.size_bytes());
    }
    entry.data = checked_malloc(size);
    if (data != nullptr) {
        std::memcpy(entry.data, data, size);
    } else {
        std::memset(entry.data, 0, size);
    }
}

std::span<const Tensor> tensor_entries(const Tensors* set) {
    if (set == nullptr || set->count <= 0 || set->tensors == nullptr) {
        return {};
    }
    return {set->tensors, static_cast<size_t>(set->count)};
}

std::span<const int32_t> tensor_dims(const Tensor& entry) {
    if (entry.rank <= 0 || entry.shape == nullptr) {
        return {};
    }
    return {entry.shape, static_cast<size_t>(entry.rank)};
}

TensorFault check_tensor(const Tensor& entry) {
    if (entry.data == nullptr) {
        return TensorFault::NoData;
    }
    if (entry.rank < 0) {
        return TensorFault::NegativeRank;
    }
    if (entry.rank > 0 && entry.shape == nullptr) {
        return TensorFault::NoShape;
    }
    uint64_t bytes = get_type_size(entry.type);
    for (int32_t dim : tensor_dims(entry)) {
        if (dim <= 0) {
            return TensorFault::NonPositiveDimension;
        }
        if (__builtin_mul_overflow(bytes, static_cast<uint64_t>(dim), &bytes)) {
            return TensorFault::SizeOverflow;
        }
    }
    return bytes == entry.size ? TensorFault::None : TensorFault::SizeMismatch;
}

const char* tensor_fault_text(TensorFault fault) {
    switch (fault) {
        case TensorFault::None:
            return "none";
        case TensorFault::NoData:
            return "no data";
        case TensorFault::NegativeRank:
            return "negative rank";
        case TensorFault::NoShape:
            return "no shape";
        case TensorFault::NonPositiveDimension:
            return "a dimension is zero or negative";
        case TensorFault::SizeOverflow:
            return "its shape overflows";
        case TensorFault::SizeMismatch:
            return "data size does not match its shape";
    }
    return "unknown";
}

uint64_t tensor_element_count(const Tensor& entry) {
    uint64_t count = 1;
    for (int32_t dim : tensor_dims(entry)) {
        count *= static_cast<uint64_t>(dim);
    }
    return count;
}
