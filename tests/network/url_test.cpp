// Parsing URLs from text, resolving redirect targets and telling servers apart.
#include <gtest/gtest.h>
#include <vek/network/url.h>

namespace {

struct ParseCase {
    const char* text;
    bool valid;
    const char* scheme;
    const char* host;
    int port;
    const char* path;
    const char* query;
};

void PrintTo(const ParseCase& c, std::ostream* out) {
    *out << '"' << c.text << '"';
}

class UrlParse : public testing::TestWithParam<ParseCase> {};

TEST_P(UrlParse, SplitsIntoParts) {
    const ParseCase& expected = GetParam();
    const vek::Url url(expected.text);
    ASSERT_EQ(url.isValid(), expected.valid) << expected.text;
    if (!expected.valid) {
        EXPECT_EQ(url.toString(), "");
        return;
    }
    EXPECT_EQ(url.scheme(), expected.scheme);
    EXPECT_EQ(url.host(), expected.host);
    EXPECT_EQ(url.port(), expected.port);
    EXPECT_EQ(url.path(), expected.path);
    EXPECT_EQ(url.query(), expected.query);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, UrlParse,
    testing::Values(ParseCase{"http://127.0.0.1:8080/system/{s1}/device/{d-1}/available-pipelines", true,
                              "http", "127.0.0.1", 8080, "/system/{s1}/device/{d-1}/available-pipelines", ""},
                    ParseCase{"https://cloud.example/api", true, "https", "cloud.example", 443, "/api", ""},
                    ParseCase{"HTTP://Host.Example", true, "http", "Host.Example", 80, "/", ""},
                    ParseCase{"http://h/models/file.bin?sig=a&x=1#part", true, "http", "h", 80,
                              "/models/file.bin", "sig=a&x=1"},
                    ParseCase{"http://h/a b/c", true, "http", "h", 80, "/a%20b/c", ""},
                    ParseCase{"ftp://h/file", false, "", "", 0, "", ""},
                    ParseCase{"/relative/path", false, "", "", 0, "", ""},
                    ParseCase{"", false, "", "", 0, "", ""},
                    ParseCase{"http://h:99999/", false, "", "", 0, "", ""},
                    ParseCase{"not a url", false, "", "", 0, "", ""}));

TEST(Url, DefaultIsInvalid) {
    EXPECT_FALSE(vek::Url().isValid());
}

TEST(Url, ResolvesRedirectTargets) {
    const vek::Url base("http://127.0.0.1:9000/models/m1/file.bin?x=1");
    EXPECT_EQ(base.resolved("/storage/m1").toString(), "http://127.0.0.1:9000/storage/m1");
    EXPECT_EQ(base.resolved("other.bin").toString(), "http://127.0.0.1:9000/models/m1/other.bin");
    EXPECT_EQ(base.resolved("http://127.0.0.1:9001/elsewhere").toString(), "http://127.0.0.1:9001/elsewhere");
    EXPECT_FALSE(base.resolved("ftp://127.0.0.1/file").isValid());
    EXPECT_FALSE(vek::Url().resolved("/path").isValid());
}

TEST(Url, SameOriginComparesSchemeHostAndPort) {
    const vek::Url original("http://Cloud.Example:8080/a");
    EXPECT_TRUE(original.sameOrigin(vek::Url("http://cloud.example:8080/b?c")));
    EXPECT_FALSE(original.sameOrigin(vek::Url("http://cloud.example:8081/a")));
    EXPECT_FALSE(original.sameOrigin(vek::Url("https://cloud.example:8080/a")));
    EXPECT_FALSE(original.sameOrigin(vek::Url("http://storage.example:8080/a")));
    EXPECT_FALSE(original.sameOrigin(vek::Url()));
    EXPECT_TRUE(vek::Url("http://h/").sameOrigin(vek::Url("http://h:80/x")));
}

}  // namespace
