#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "utils/tensor_utils.h"

namespace {

struct TypeNameCase {
    const char* name;
    TensorElementType type;
};

TEST(TensorElementTypes, AcceptsExactlyTheListedSpellings) {
    const TypeNameCase cases[] = {
        {"float32", TENSOR_TYPE_FLOAT32},   {"float", TENSOR_TYPE_FLOAT32},
        {"FLOAT", TENSOR_TYPE_FLOAT32},     {"uint8_t", TENSOR_TYPE_UINT8},
        {"UINT8", TENSOR_TYPE_UINT8},       {"int8_t", TENSOR_TYPE_INT8},
        {"INT8", TENSOR_TYPE_INT8},         {"uint16_t", TENSOR_TYPE_UINT16},
        {"UINT16", TENSOR_TYPE_UINT16},     {"int16_t", TENSOR_TYPE_INT16},
        {"INT16", TENSOR_TYPE_INT16},       {"int32_t", TENSOR_TYPE_INT32},
        {"int", TENSOR_TYPE_INT32},         {"INT32", TENSOR_TYPE_INT32},
        {"int64_t", TENSOR_TYPE_INT64},     {"INT64", TENSOR_TYPE_INT64},
        {"bool", TENSOR_TYPE_BOOL},         {"BOOL", TENSOR_TYPE_BOOL},
        {"double", TENSOR_TYPE_DOUBLE},     {"DOUBLE", TENSOR_TYPE_DOUBLE},
        {"uint32_t", TENSOR_TYPE_UINT32},   {"UINT32", TENSOR_TYPE_UINT32},
        {"uint64_t", TENSOR_TYPE_UINT64},   {"UINT64", TENSOR_TYPE_UINT64},
        {"Float", TENSOR_TYPE_UNDEFINED},   {"INT", TENSOR_TYPE_UNDEFINED},
        {"boolean", TENSOR_TYPE_UNDEFINED}, {"", TENSOR_TYPE_UNDEFINED},
        {"float ", TENSOR_TYPE_UNDEFINED},  {"string", TENSOR_TYPE_UNDEFINED},
        {"float16", TENSOR_TYPE_UNDEFINED},
    };
    for (const TypeNameCase& c : cases) {
        EXPECT_EQ(get_tensor_type_from_string(c.name), c.type) << c.name;
    }
}

TEST(TensorElementTypes, SizesFollowTheTable) {
    const std::pair<int32_t, size_t> cases[] = {{-1, 4}, {0, 4},  {1, 4},  {2, 1},  {3, 1},   {4, 2},
                                                {5, 2},  {6, 4},  {7, 8},  {8, 1},  {9, 1},   {10, 4},
                                                {11, 8}, {12, 4}, {13, 8}, {14, 4}, {1000, 4}};
    for (const auto& [type, size] : cases) {
        EXPECT_EQ(get_type_size(type), size) << type;
    }
}

TEST(TensorSets, FreeTensorsReleasesEntriesAndArray) {
    TensorsPtr set = allocate_tensors(3, 2);
    const int32_t shape[] = {2, 3};
    const float values[6] = {1, 2, 3, 4, 5, 6};
    fill_tensor(set->tensors[0], "a", TENSOR_TYPE_FLOAT32, shape, values, sizeof(values));
    fill_tensor(set->tensors[1], "b", TENSOR_TYPE_FLOAT32, shape, nullptr, sizeof(values));
    EXPECT_STREQ(set->tensors[0].name, "a");
    EXPECT_EQ(std::memcmp(set->tensors[0].data, values, sizeof(values)), 0);
    EXPECT_EQ(static_cast<const float*>(set->tensors[1].data)[5], 0.0f);

    free_tensors(set.get());
    EXPECT_EQ(set->count, 0);
    EXPECT_EQ(set->tensors, nullptr);
    EXPECT_EQ(set->id, 3);
}

TEST(TensorSets, FreeTensorsWithZeroCountStillFreesTheArray) {
    auto* set = static_cast<Tensors*>(std::malloc(sizeof(Tensors)));
    set->id = 1;
    set->count = 0;
    set->tensors = static_cast<Tensor*>(std::calloc(4, sizeof(Tensor)));
    free_tensors(set);
    EXPECT_EQ(set->tensors, nullptr);
    EXPECT_EQ(set->count, 0);
    TensorsDeleter()(set);
}

TEST(TensorSets, NullSetIsIgnored) {
    free_tensors(nullptr);
    TensorsDeleter()(nullptr);
}

TEST(TensorSets, EntriesOfUnusableSetsAreEmpty) {
    Tensor entry{};
    Tensors withoutArray{1, 3, nullptr};
    Tensors negativeCount{1, -2, &entry};
    Tensors oneEntry{1, 1, &entry};
    EXPECT_TRUE(tensor_entries(nullptr).empty());
    EXPECT_TRUE(tensor_entries(&withoutArray).empty());
    EXPECT_TRUE(tensor_entries(&negativeCount).empty());
    EXPECT_EQ(tensor_entries(&oneEntry).size(), 1u);
}

struct CheckCase {
    const char* what;
    TensorElementType type;
    std::vector<int32_t> shape;
    int32_t rank;  // -1: the shape's size
    bool withShape;
    bool withData;
    uint64_t size;
    TensorFault expected;
};

TEST(TensorChecks, ShapeTypeAndSizeMustAgree) {
    const CheckCase cases[] = {
        {"float matrix", TENSOR_TYPE_FLOAT32, {2, 3}, -1, true, true, 24, TensorFault::None},
        {"scalar", TENSOR_TYPE_INT64, {}, 0, false, true, 8, TensorFault::None},
        {"uint8 vector", TENSOR_TYPE_UINT8, {5}, -1, true, true, 5, TensorFault::None},
        {"no data", TENSOR_TYPE_FLOAT32, {2, 3}, -1, true, false, 24, TensorFault::NoData},
        {"negative rank", TENSOR_TYPE_FLOAT32, {2, 3}, -3, true, true, 24, TensorFault::NegativeRank},
        {"no shape", TENSOR_TYPE_FLOAT32, {}, 2, false, true, 24, TensorFault::NoShape},
        {"zero dimension", TENSOR_TYPE_FLOAT32, {2, 0}, -1, true, true, 0, TensorFault::NonPositiveDimension},
        {"negative dimension",
         TENSOR_TYPE_FLOAT32,
         {-2, -3},
         -1,
         true,
         true,
         24,
         TensorFault::NonPositiveDimension},
        {"overflowing shape",
         TENSOR_TYPE_FLOAT32,
         {65536, 65536, 65536, 65536},
         -1,
         true,
         true,
         16,
         TensorFault::SizeOverflow},
        {"short data", TENSOR_TYPE_FLOAT32, {2, 3}, -1, true, true, 20, TensorFault::SizeMismatch},
        {"long data", TENSOR_TYPE_FLOAT32, {2, 3}, -1, true, true, 28, TensorFault::SizeMismatch},
        {"element size counts", TENSOR_TYPE_INT64, {2, 3}, -1, true, true, 24, TensorFault::SizeMismatch},
    };
    std::vector<uint8_t> buffer(64);
    for (const CheckCase& c : cases) {
        std::vector<int32_t> shape = c.shape;
        Tensor entry{};
        entry.type = c.type;
        entry.rank = c.rank == -1 ? static_cast<int32_t>(shape.size()) : c.rank;
        entry.shape = c.withShape ? shape.data() : nullptr;
        entry.size = c.size;
        entry.data = c.withData ? buffer.data() : nullptr;
        EXPECT_EQ(check_tensor(entry), c.expected) << c.what;
    }
}

}  // namespace
