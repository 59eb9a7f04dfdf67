// Tensor sets exchanged with runtime libraries and external processors: their fixed binary layout,
// element type codes, heap ownership, and the checks a reader needs before it touches tensor data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

// Codes follow the ONNX tensor element type numbering.
enum TensorElementType : int32_t {
    TENSOR_TYPE_UNDEFINED = 0,
    TENSOR_TYPE_FLOAT32 = 1,
    TENSOR_TYPE_UINT8 = 2,
    TENSOR_TYPE_INT8 = 3,
    TENSOR_TYPE_UINT16 = 4,
    TENSOR_TYPE_INT16 = 5,
    TENSOR_TYPE_INT32 = 6,
    TENSOR_TYPE_INT64 = 7,
    TENSOR_TYPE_STRING = 8,
    TENSOR_TYPE_BOOL = 9,
    TENSOR_TYPE_FLOAT16 = 10,
    TENSOR_TYPE_DOUBLE = 11,
    TENSOR_TYPE_UINT32 = 12,
    TENSOR_TYPE_UINT64 = 13,
};

// One entry of a set. Runtime libraries are built separately, so this layout must never change.
struct Tensor {
    char* name;
    TensorElementType type;
    int32_t rank;
    int32_t* shape;
    uint64_t size;  // bytes of data
    void* data;
};

static_assert(sizeof(Tensor) == 40);
static_assert(offsetof(Tensor, name) == 0);
static_assert(offsetof(Tensor, type) == 8);
static_assert(offsetof(Tensor, rank) == 12);
static_assert(offsetof(Tensor, shape) == 16);
static_assert(offsetof(Tensor, size) == 24);
static_assert(offsetof(Tensor, data) == 32);

// Every pointer reachable from a set, and the set itself, comes from malloc/strdup.
struct Tensors {
    int32_t id;
    int32_t count;
    Tensor* tensors;
};

static_assert(sizeof(Tensors) == 16);
static_assert(offsetof(Tensors, id) == 0);
static_assert(offsetof(Tensors, count) == 4);
static_assert(offsetof(Tensors, tensors) == 8);

TensorElementType get_tensor_type_from_string(std::string_view name);
size_t get_type_size(int32_t type);

// Frees every entry's name, shape and data, then the array; leaves the set itself allocated.
void free_tensors(Tensors* set);

struct TensorsDeleter {
    void operator()(Tensors* set) const;
};

using TensorsPtr = std::unique_ptr<Tensors, TensorsDeleter>;

// A new set of `count` zeroed entries; throws std::bad_alloc when memory runs out.
TensorsPtr allocate_tensors(int32_t id, int32_t count);

// Fills a zeroed entry with copies of the name, shape and `size` bytes of data (zeros when data is
// null); throws std::bad_alloc.
void fill_tensor(Tensor& entry, const char* name, TensorElementType type, std::span<const int32_t> shape,
                 const void* data, uint64_t size);

// The entries of a set, or none for a null set, a non-positive count or a missing array.
std::span<const Tensor> tensor_entries(const Tensors* set);

// The dimensions of an entry, or none when its rank is not positive or its shape is missing.
std::span<const int32_t> tensor_dims(const Tensor& entry);

enum class TensorFault {
    None,
    NoData,
    NegativeRank,
    NoShape,
    NonPositiveDimension,
    SizeOverflow,
    SizeMismatch,
};

// Whether the declared shape and element type describe exactly the data present.
TensorFault check_tensor(const Tensor& entry);
const char* tensor_fault_text(TensorFault fault);

// Product of the dimensions; only meaningful for an entry that passed check_tensor.
uint64_t tensor_element_count(const Tensor& entry);
