// Heap-owned tensor sets as runtime libraries hand them across the interface: every pointer is its
// own malloc/strdup allocation, so that the receiver can free the set with the standard heap functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "vekai_runtime_interface.h"

namespace vekrt {

// A set of `count` zeroed entries, or null when memory runs out.
VekRuntimeTensors* allocateSet(int32_t id, int32_t count);

// Fills a zeroed entry with copies of name and shape and `size` bytes of data (allocated but left for
// the caller to write when data is null); false when memory runs out, in which case the entry holds
// whatever was allocated so far.
bool fillEntry(VekRuntimeTensor& entry, std::string_view name, int32_t type, std::span<const int64_t> shape,
               const void* data, uint64_t size);

// Frees every entry, the array and the set itself; null is ignored.
void freeSet(VekRuntimeTensors* set);

// Bytes of one element, 0 for codes without a fixed size (strings, unknown codes).
size_t elementSize(int32_t type);

// The entry named `name`, or null.
const VekRuntimeTensor* findEntry(const VekRuntimeTensors* set, std::string_view name);

}  // namespace vekrt
