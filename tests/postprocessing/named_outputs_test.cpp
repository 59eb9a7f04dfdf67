#include <gtest/gtest.h>

#include "corvane/vekai_postprocessor_utils.h"

namespace {

struct NamedOutputCase {
    const char* name;
    std::vector<std::string> classes;
};

class NamedOutputClasses : public testing::TestWithParam<NamedOutputCase> {};

TEST_P(NamedOutputClasses, AreReadFromTheOutputName) {
    EXPECT_EQ(Utils::parseNamedOutputClasses(GetParam().name), GetParam().classes) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, NamedOutputClasses,
    testing::Values(NamedOutputCase{"bboxes-format:xyxysc;0:person;1:bicycle;2:car",
                                    {"person", "bicycle", "car"}},
                    NamedOutputCase{"scores-0:cat;1:dog", {"cat", "dog"}},
                    NamedOutputCase{"bboxes-format:xyxysc;0:person;1:car", {"person", "car"}},
                    // An index out of order empties the whole list.
                    NamedOutputCase{"0:person;2:car", {}}, NamedOutputCase{"1:person", {}},
                    NamedOutputCase{"0:a;0:b", {}},
                    // An index that is no number empties it too.
                    NamedOutputCase{"0:a;x:b", {}}, NamedOutputCase{"output0 format:xyxysc", {}},
                    NamedOutputCase{"0:a;:b", {}},
                    // Leading blanks and a sign are read; trailing characters are ignored.
                    NamedOutputCase{" 0:a;+1:b;2x:c", {"a", "b", "c"}}, NamedOutputCase{"-0:zero", {"zero"}},
                    // Empty tokens and tokens without a colon are skipped.
                    NamedOutputCase{";;0:a;;plain;1:b;", {"a", "b"}}, NamedOutputCase{"boxes", {}},
                    NamedOutputCase{"", {}},
                    // Only the first colon separates; the rest belongs to the name, spaces included.
                    NamedOutputCase{"0:traffic light;1:a:b", {"traffic light", "a:b"}},
                    NamedOutputCase{"0:", {""}},
                    // "scores-" is dropped from any token, "bboxes-format" tokens are skipped anywhere.
                    NamedOutputCase{"0:a;scores-1:b;x-bboxes-format:y;2:c", {"a", "b", "c"}},
                    NamedOutputCase{"99999999999999999999:a", {}}));

}  // namespace
