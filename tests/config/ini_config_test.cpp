#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vek/kit/ini_config.h>

#include <algorithm>
#include <ostream>

#include "config_test_support.h"

namespace {

using configtest::ConfigDir;
using configtest::EnvOverride;
using ::testing::HasSubstr;

constexpr const char* kFileName = "reader_test.ini";

// A small configuration with one key of each type, registered the way plugins do.
struct SampleConfig : vek::kit::IniConfig {
    SampleConfig() : IniConfig(kFileName) {
        flag = regBoolParam(&flag, false, "flag", "A switch.");
        name = regStringParam(&name, "default name", "name", "A text.");
        count = regIntParam(&count, 7, "count", "A number.");
    }
    bool flag;
    const char* name;
    int count;
};

TEST(IniConfigDirectory, ExplicitDirectoryWins) {
    EnvOverride dir("VEK_CONFIG_DIR", "/srv/vek/config");
    EnvOverride home("HOME", "/home/operator");
    EXPECT_EQ(vek::kit::IniConfig::configDirectory(), "/srv/vek/config");
    EXPECT_EQ(SampleConfig().filePath(), std::filesystem::path("/srv/vek/config") / kFileName);
}

TEST(IniConfigDirectory, EmptyOrMissingDirectoryFallsBackToHome) {
    EnvOverride home("HOME", "/home/operator");
    for (const char* value : {static_cast<const char*>(""), static_cast<const char*>(nullptr)}) {
        EnvOverride dir("VEK_CONFIG_DIR", value);
        EXPECT_EQ(vek::kit::IniConfig::configDirectory(), "/home/operator/.config/vek");
    }
}

TEST(IniConfigReload, MissingFileKeepsDefaultsAndWritesNothing) {
    ConfigDir dir;
    SampleConfig config;
    EXPECT_FALSE(config.flag);
    EXPECT_STREQ(config.name, "default name");
    EXPECT_EQ(config.count, 7);

    ::testing::internal::CaptureStderr();
    config.reload();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_FALSE(config.flag);
    EXPECT_STREQ(config.name, "default name");
    EXPECT_EQ(config.count, 7);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path));
}

TEST(IniConfigReload, RegistrationsKeepOrderAndDefaults) {
    SampleConfig config;
    const std::vector<vek::kit::IniConfig::Registration> registered = config.registrations();
    ASSERT_EQ(registered.size(), 3u);
    EXPECT_EQ(registered[0].name, "flag");
    EXPECT_EQ(registered[0].defaultText, "false");
    EXPECT_EQ(registered[1].name, "name");
    EXPECT_EQ(registered[1].defaultText, "default name");
    EXPECT_EQ(registered[2].name, "count");
    EXPECT_EQ(registered[2].description, "A number.");
    EXPECT_EQ(registered[2].defaultText, "7");
}

class IniConfigLayoutTest : public ::testing::TestWithParam<const char*> {};

TEST_P(IniConfigLayoutTest, FileValuesReplaceDefaults) {
    ConfigDir dir;
    dir.write(kFileName, GetParam());
    SampleConfig config;
    ::testing::internal::CaptureStderr();
    config.reload();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(config.flag);
    EXPECT_STREQ(config.name, "https://cloud.example:8443");
    EXPECT_EQ(config.count, -42);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, IniConfigLayoutTest,
    ::testing::Values(
        "flag=true\nname=https://cloud.example:8443\ncount=-42\n",
        "; comment\n[general]\nflag = yes\nname = https://cloud.example:8443\n\n[limits]\ncount = -42\n",
        "# quoted text and unknown keys\nunknown=3\nname=\"https://cloud.example:8443\"\nFLAG=On\n"
        "Count=-42"));

struct BoolCase {
    const char* text;
    bool expected;
};

std::ostream& operator<<(std::ostream& out, const BoolCase& c) {
    return out << '"' << c.text << '"';
}

class IniConfigBoolTest : public ::testing::TestWithParam<BoolCase> {};

TEST_P(IniConfigBoolTest, AcceptsTheUsualSpellings) {
    ConfigDir dir;
    dir.write(kFileName, std::string("flag=") + GetParam().text + "\n");
    SampleConfig config;
    config.flag = !GetParam().expected;
    config.reload();
    EXPECT_EQ(config.flag, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Spellings, IniConfigBoolTest,
                         ::testing::Values(BoolCase{"true", true}, BoolCase{"TRUE", true},
                                           BoolCase{"1", true}, BoolCase{"yes", true}, BoolCase{"On", true},
                                           BoolCase{"false", false}, BoolCase{"False", false},
                                           BoolCase{"0", false}, BoolCase{"NO", false},
                                           BoolCase{"off", false}));

struct IntCase {
    const char* text;
    int expected;
};

std::ostream& operator<<(std::ostream& out, const IntCase& c) {
    return out << '"' << c.text << '"';
}

class IniConfigIntTest : public ::testing::TestWithParam<IntCase> {};

TEST_P(IniConfigIntTest, AcceptsWholeDecimalNumbersInRange) {
    ConfigDir dir;
    dir.write(kFileName, std::string("count=") + GetParam().text + "\n");
    SampleConfig config;
    config.reload();
    EXPECT_EQ(config.count, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Numbers, IniConfigIntTest,
                         ::testing::Values(IntCase{"0", 0}, IntCase{"+15", 15}, IntCase{"-3", -3},
                                           IntCase{"5000", 5000}, IntCase{"2147483647", 2147483647},
                                           IntCase{"-2147483648", -2147483647 - 1}));

struct BadCase {
    const char* key;
    const char* value;
};

std::ostream& operator<<(std::ostream& out, const BadCase& c) {
    return out << c.key << "=\"" << c.value << '"';
}

class IniConfigBadValueTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(IniConfigBadValueTest, KeepsTheDefaultAndNamesKeyAndValueOnce) {
    ConfigDir dir;
    dir.write(kFileName, std::string(GetParam().key) + "=" + GetParam().value + "\n");
    SampleConfig config;
    ::testing::internal::CaptureStderr();
    config.reload();
    const std::string error = ::testing::internal::GetCapturedStderr();

    EXPECT_FALSE(config.flag);
    EXPECT_EQ(config.count, 7);
    EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 1) << error;
    EXPECT_THAT(error, HasSubstr(GetParam().key));
    EXPECT_THAT(error, HasSubstr(std::string("\"") + GetParam().value + "\""));
}

INSTANTIATE_TEST_SUITE_P(Values, IniConfigBadValueTest,
                         ::testing::Values(BadCase{"flag", "maybe"}, BadCase{"flag", "2"},
                                           BadCase{"flag", ""}, BadCase{"count", "12abc"},
                                           BadCase{"count", ""}, BadCase{"count", "1.5"},
                                           BadCase{"count", "0x10"}, BadCase{"count", "2147483648"},
                                           BadCase{"count", "-2147483649"},
                                           BadCase{"count", "99999999999999999999"}));

TEST(IniConfigText, ValuesStayValidForTheObjectsLifetime) {
    ConfigDir dir;
    std::string callerDefault = "caller's buffer";
    struct Config : vek::kit::IniConfig {
        explicit Config(const std::string& defaultText) : IniConfig(kFileName) {
            text = regStringParam(&text, defaultText.c_str(), "text", "A text.");
        }
        const char* text;
    } config(callerDefault);
    const char* fromDefault = config.text;
    callerDefault.assign(64, '#');

    dir.write(kFileName, "text=first value\n");
    config.reload();
    const char* fromFirstLoad = config.text;
    dir.write(kFileName, "text=second value\n");
    config.reload();

    EXPECT_STREQ(fromDefault, "caller's buffer");
    EXPECT_STREQ(fromFirstLoad, "first value");
    EXPECT_STREQ(config.text, "second value");
}

TEST(IniConfigText, EmptyValueIsAnEmptyText) {
    ConfigDir dir;
    dir.write(kFileName, "name=\n");
    SampleConfig config;
    config.reload();
    ASSERT_NE(config.name, nullptr);
    EXPECT_STREQ(config.name, "");
}

}  // namespace
