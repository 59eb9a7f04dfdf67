// How raw output decoders find their tensors in a runtime's output set and make sure an entry can be
// read in full before touching its data; every refusal is logged under the decoder's tag.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>

#include "utils/tensor_utils.h"

// Class counts above this come from a misread layout rather than from a real model.
inline constexpr int64_t kRawMaxClasses = 4096;

struct RawMatrixShape {
    int32_t rows;
    int32_t cols;
};

// Index of the first entry whose name contains the first of `names`; the next name is tried only
// when no entry matches the previous one. -1 when nothing matches.
int rawFindTensorByName(const Tensors* raw, std::initializer_list<const char*> names);

// Index of the first 32-bit float entry with data, or -1.
int rawFindFloatTensorWithData(const Tensors* raw);

bool rawIsFloat(const Tensor& entry);

// A [1, rows, cols] float entry with a readable shape: what the shape-based tensor scans look for.
std::optional<RawMatrixShape> rawBatchOfOneFloatMatrix(const Tensor& entry);

// [rows, cols] or [1, rows, cols]; none for any other shape.
std::optional<RawMatrixShape> rawMatrixShape(const Tensor& entry);

// [n] or [1, n]; none for any other shape.
std::optional<int32_t> rawVectorLength(const Tensor& entry);

// Logs and refuses an entry whose shape, element type and data size do not agree.
bool rawTensorReadable(const Tensor& entry, const char* tag, const char* role);

// Logs and refuses an entry holding fewer than `needed` elements.
bool rawTensorHolds(const Tensor& entry, uint64_t needed, const char* tag, const char* role);

// Logs and refuses a class count outside 1..kRawMaxClasses.
bool rawClassCountUsable(int64_t classes, const char* tag);
