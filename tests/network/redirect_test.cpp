// Redirects: the limit, the method kept or changed, and credentials that never reach another server.
#include <gtest/gtest.h>
#include <vek/network/http_client.h>

#include <atomic>
#include <mutex>

#include "test_server.h"

using network_test::TestServer;
using vek::Url;
using vek::network::http::HeaderScope;
using vek::network::http::HttpClient;
namespace ssl = vek::network::ssl;

namespace {

class RedirectTest : public testing::Test {
protected:
    void SetUp() override {
        other.routes().Get("/target", [this](const httplib::Request& request, httplib::Response& response) {
            remember(request);
            response.set_content("other server", "text/plain");
        });
        other.start();

        auto& routes = origin.routes();
        routes.Get("/to-other", [this](const httplib::Request& request, httplib::Response& response) {
            remember(request);
            response.set_redirect(other.url("/target"), 307);
        });
        routes.Get("/to-self", [](const httplib::Request&, httplib::Response& response) {
            response.set_redirect("/target", 302);
        });
        routes.Get("/target", [this](const httplib::Request& request, httplib::Response& response) {
            remember(request);
            response.set_content("same server", "text/plain");
        });
        routes.Get(R"(/chain/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
            ++chainHits;
            const int left = std::stoi(request.matches[1]);
            if (left == 0) {
                response.set_content("end", "text/plain");
            } else {
                response.set_redirect("/chain/" + std::to_string(left - 1), 307);
                response.set_content("redirect body", "text/plain");
            }
        });
        for (int code : {301, 303, 307, 308}) {
            routes.Post("/post-" + std::to_string(code),
                        [code](const httplib::Request&, httplib::Response& response) {
                            response.set_redirect("/echo", code);
                        });
        }
        const auto echo = [](const httplib::Request& request, httplib::Response& response) {
            response.set_content(request.method + ":" + request.body, "text/plain");
        };
        routes.Get("/echo", echo);
        routes.Post("/echo", echo);
        origin.start();
    }

    void remember(const httplib::Request& request) {
        std::lock_guard lock(mutex);
        received[request.path] = request.headers;
    }
    std::string headerAt(const std::string& path, const std::string& name) {
        std::lock_guard lock(mutex);
        const auto& headers = received[path];
        const auto found = headers.find(name);
        return found == headers.end() ? "<absent>" : found->second;
    }

    static void addCredentials(HttpClient& client) {
        client.addAdditionalHeader("Authorization", "secret-token");
        client.addAdditionalHeader("Cookie", "session=1");
        client.addAdditionalHeader("X-Signed", "sig", HeaderScope::originalServerOnly);
        client.addAdditionalHeader("User-Agent", "VEKAI-Plugin/5.0.42");
    }

    std::mutex mutex;
    std::map<std::string, httplib::Headers> received;
    std::atomic<int> chainHits{0};
    TestServer other;
    TestServer origin;
};

TEST_F(RedirectTest, CredentialsStayWithTheOriginalServer) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    addCredentials(client);
    ASSERT_TRUE(client.doGet(Url(origin.url("/to-other"))));
    EXPECT_EQ(client.response()->statusLine.statusCode, 200);
    EXPECT_EQ(client.fetchEntireMessageBody(), "other server");

    EXPECT_EQ(headerAt("/to-other", "Authorization"), "secret-token");
    EXPECT_EQ(headerAt("/to-other", "X-Signed"), "sig");
    // The other server differs only in its port.
    EXPECT_EQ(headerAt("/target", "Authorization"), "<absent>");
    EXPECT_EQ(headerAt("/target", "Cookie"), "<absent>");
    EXPECT_EQ(headerAt("/target", "X-Signed"), "<absent>");
    EXPECT_EQ(headerAt("/target", "User-Agent"), "VEKAI-Plugin/5.0.42");
}

TEST_F(RedirectTest, RelativeRedirectOnTheSameServerKeepsCredentials) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    addCredentials(client);
    ASSERT_TRUE(client.doGet(Url(origin.url("/to-self"))));
    EXPECT_EQ(client.fetchEntireMessageBody(), "same server");
    EXPECT_EQ(headerAt("/target", "Authorization"), "secret-token");
    EXPECT_EQ(headerAt("/target", "X-Signed"), "sig");
}

// The download flow: take the redirect answer, drop the token, then follow the location.
TEST_F(RedirectTest, RedirectHandedOverWithoutFollowing) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    addCredentials(client);
    client.setMaxNumberOfRedirects(0);
    ASSERT_TRUE(client.doGet(Url(origin.url("/to-other"))));
    ASSERT_EQ(client.response()->statusLine.statusCode, 307);
    const auto location = client.response()->headers.getHeaderValue("location");
    ASSERT_EQ(location, other.url("/target"));
    EXPECT_EQ(headerAt("/target", "User-Agent"), "<absent>");

    client.removeAdditionalHeader("Authorization");
    client.setMaxNumberOfRedirects(10);
    ASSERT_TRUE(client.doGet(Url(*location)));
    EXPECT_EQ(client.fetchEntireMessageBody(), "other server");
    EXPECT_EQ(headerAt("/target", "Authorization"), "<absent>");
}

struct LimitCase {
    int limit;  // negative: the client's default
    int chainLength;
    int expectedStatus;
    int expectedHits;
};

void PrintTo(const LimitCase& c, std::ostream* out) {
    *out << "limit " << c.limit << ", chain of " << c.chainLength;
}

class RedirectLimit : public RedirectTest, public testing::WithParamInterface<LimitCase> {};

TEST_P(RedirectLimit, FollowsAtMostTheLimit) {
    const LimitCase& c = GetParam();
    HttpClient client(ssl::kAcceptAnyCertificate);
    if (c.limit >= 0) {
        client.setMaxNumberOfRedirects(c.limit);
    }
    ASSERT_TRUE(client.doGet(Url(origin.url("/chain/" + std::to_string(c.chainLength)))));
    EXPECT_EQ(client.response()->statusLine.statusCode, c.expectedStatus);
    EXPECT_EQ(client.fetchEntireMessageBody(), c.expectedStatus == 200 ? "end" : "redirect body");
    EXPECT_TRUE(client.hasRequestSucceeded());
    EXPECT_EQ(chainHits.load(), c.expectedHits);
}

INSTANTIATE_TEST_SUITE_P(Limits, RedirectLimit,
                         testing::Values(LimitCase{0, 3, 307, 1}, LimitCase{2, 3, 307, 3},
                                         LimitCase{3, 3, 200, 4}, LimitCase{10, 3, 200, 4},
                                         LimitCase{-1, HttpClient::kDefaultMaxRedirects, 200,
                                                   HttpClient::kDefaultMaxRedirects + 1},
                                         LimitCase{-1, HttpClient::kDefaultMaxRedirects + 1, 307,
                                                   HttpClient::kDefaultMaxRedirects + 1}));

TEST_F(RedirectTest, PostIsRepeatedOnlyFor307And308) {
    for (const auto& [code, expected] : {std::pair{307, "POST:payload"}, std::pair{308, "POST:payload"},
                                         std::pair{303, "GET:"}, std::pair{301, "GET:"}}) {
        HttpClient client(ssl::kAcceptAnyCertificate);
        ASSERT_TRUE(client.doPost(Url(origin.url("/post-" + std::to_string(code))), "text/plain", "payload"));
        EXPECT_EQ(client.fetchEntireMessageBody(), expected) << code;
    }
}

}  // namespace
