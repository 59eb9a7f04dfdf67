// Requests and responses of the HTTP client against a loopback server: methods, headers both ways,
// status codes, refused connections, time-outs, truncated bodies and stopping from another thread.
#include <gtest/gtest.h>
#include <vek/network/http_client.h>

#include <future>
#include <mutex>

#include "test_server.h"

using namespace std::chrono_literals;
using network_test::Gate;
using network_test::TestServer;
using vek::Url;
using vek::network::http::HttpClient;
namespace ssl = vek::network::ssl;

namespace {

// Headers of the requests a server received, in order.
class HeaderLog {
public:
    void record(const httplib::Request& request) {
        std::lock_guard lock(mutex);
        requests.push_back(request.headers);
    }
    httplib::Headers last() const {
        std::lock_guard lock(mutex);
        return requests.empty() ? httplib::Headers{} : requests.back();
    }
    size_t count() const {
        std::lock_guard lock(mutex);
        return requests.size();
    }

private:
    mutable std::mutex mutex;
    std::vector<httplib::Headers> requests;
};

std::string headerOf(const httplib::Headers& headers, const std::string& name) {
    const auto found = headers.find(name);
    return found == headers.end() ? "<absent>" : found->second;
}

class HttpClientTest : public testing::Test {
protected:
    void SetUp() override {
        server.routes().Get("/hello", [this](const httplib::Request& request, httplib::Response& response) {
            log.record(request);
            response.set_header("X-Answer", "42");
            response.set_header("X-Empty", "");
            response.set_content("hello world", "text/plain");
        });
        server.routes().Post("/echo", [this](const httplib::Request& request, httplib::Response& response) {
            log.record(request);
            response.set_content(request.get_header_value("Content-Type") + "|" + request.body, "text/plain");
        });
        server.routes().Get(
            R"(/status/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
                response.status = std::stoi(request.matches[1]);
                response.set_content("body of " + std::string(request.matches[1]), "text/plain");
            });
        server.routes().Get("/hang", [this](const httplib::Request&, httplib::Response& response) {
            gate.pass();
            response.set_content("late", "text/plain");
        });
        server.start();
    }

    void TearDown() override { gate.open(); }

    Gate gate;
    HeaderLog log;
    TestServer server;
};

TEST_F(HttpClientTest, GetReturnsHeadAndBody) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    ASSERT_TRUE(client.doGet(Url(server.url("/hello"))));
    const auto response = client.response();
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->statusLine.statusCode, 200);
    EXPECT_EQ(response->statusLine.toString(), "HTTP/1.1 200 OK");
    EXPECT_EQ(response->headers.getHeaderValue("x-answer"), "42");
    EXPECT_EQ(response->headers.getHeaderValue("X-ANSWER"), "42");
    EXPECT_EQ(response->headers.getHeaderValue("x-empty"), "");
    EXPECT_EQ(response->headers.getHeaderValue("Content-Length"), "11");
    EXPECT_EQ(response->headers.getHeaderValue("X-Missing"), std::nullopt);
    EXPECT_EQ(client.fetchEntireMessageBody(), "hello world");
    EXPECT_TRUE(client.eof());
    EXPECT_TRUE(client.hasRequestSucceeded());
}

TEST_F(HttpClientTest, AdditionalHeadersAreSentUntilRemoved) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    EXPECT_TRUE(client.addAdditionalHeader("User-Agent", "VEKAI-Plugin/5.0.42"));
    EXPECT_TRUE(client.addAdditionalHeader("Authorization", "token-1"));
    EXPECT_TRUE(client.addAdditionalHeader("authorization", "token-2"));  // replaces, whatever the case
    ASSERT_TRUE(client.doGet(Url(server.url("/hello"))));
    auto headers = log.last();
    EXPECT_EQ(headerOf(headers, "User-Agent"), "VEKAI-Plugin/5.0.42");
    EXPECT_EQ(headers.count("Authorization"), 1u);
    EXPECT_EQ(headerOf(headers, "Authorization"), "token-2");

    client.removeAdditionalHeader("AUTHORIZATION");
    ASSERT_TRUE(client.doGet(Url(server.url("/hello"))));
    headers = log.last();
    EXPECT_EQ(headerOf(headers, "Authorization"), "<absent>");
    EXPECT_EQ(headerOf(headers, "User-Agent"), "VEKAI-Plugin/5.0.42");
}

TEST_F(HttpClientTest, HeadersThatWouldBreakFramingAreRefused) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    EXPECT_FALSE(client.addAdditionalHeader("X-Split", "a\r\nInjected: yes"));
    EXPECT_FALSE(client.addAdditionalHeader("X-Split", std::string("a\0b", 3)));
    EXPECT_FALSE(client.addAdditionalHeader("Bad Name", "v"));
    EXPECT_FALSE(client.addAdditionalHeader("", "v"));
    ASSERT_TRUE(client.doGet(Url(server.url("/hello"))));
    const auto headers = log.last();
    EXPECT_EQ(headerOf(headers, "Injected"), "<absent>");
    EXPECT_EQ(headerOf(headers, "X-Split"), "<absent>");
}

TEST_F(HttpClientTest, PostSendsContentTypeAndBody) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    client.addAdditionalHeader("Content-Type", "text/ignored");
    const std::string body = R"({"SystemId":"s","ServerId":"{x}","Devices":["a","b"]})";
    ASSERT_TRUE(client.doPost(Url(server.url("/echo")), "application/json", body));
    EXPECT_EQ(client.response()->statusLine.statusCode, 200);
    EXPECT_EQ(client.fetchEntireMessageBody(), "application/json|" + body);
    EXPECT_EQ(headerOf(log.last(), "Expect"), "<absent>");

    // A large body goes out whole too, without waiting for an interim answer.
    const std::string large(3 << 20, 'p');
    ASSERT_TRUE(client.doPost(Url(server.url("/echo")), "application/octet-stream", large));
    EXPECT_EQ(client.fetchEntireMessageBody(), "application/octet-stream|" + large);
}

class StatusCodes : public HttpClientTest, public testing::WithParamInterface<std::pair<int, const char*>> {};

TEST_P(StatusCodes, AreReportedWithTheirBody) {
    const auto [code, line] = GetParam();
    HttpClient client(ssl::kDefaultCertificateCheck);
    ASSERT_TRUE(client.doGet(Url(server.url("/status/" + std::to_string(code)))));
    ASSERT_TRUE(client.response().has_value());
    EXPECT_EQ(client.response()->statusLine.statusCode, code);
    EXPECT_EQ(client.response()->statusLine.toString(), line);
    EXPECT_EQ(client.fetchEntireMessageBody(), "body of " + std::to_string(code));
    EXPECT_TRUE(client.hasRequestSucceeded());
}

INSTANTIATE_TEST_SUITE_P(Codes, StatusCodes,
                         testing::Values(std::pair{201, "HTTP/1.1 201 Created"},
                                         std::pair{401, "HTTP/1.1 401 Unauthorized"},
                                         std::pair{404, "HTTP/1.1 404 Not Found"},
                                         std::pair{500, "HTTP/1.1 500 Internal Server Error"},
                                         std::pair{503, "HTTP/1.1 503 Service Unavailable"}));

TEST_F(HttpClientTest, RefusedConnectionGivesNoResponse) {
    const std::string url = server.url("/hello");
    server.stop();
    HttpClient client(ssl::kDefaultCertificateCheck);
    EXPECT_FALSE(client.doGet(Url(url)));
    EXPECT_FALSE(client.response().has_value());
    EXPECT_EQ(client.fetchEntireMessageBody(), std::nullopt);
    EXPECT_EQ(client.fetchMessageBodyBuffer(), "");
    EXPECT_TRUE(client.eof());
    EXPECT_FALSE(client.hasRequestSucceeded());
    EXPECT_FALSE(client.doPost(Url(url), "application/json", "{}"));
}

TEST_F(HttpClientTest, InvalidUrlFailsWithoutRequest) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    EXPECT_FALSE(client.doGet(Url("no url at all")));
    EXPECT_FALSE(client.doGet(Url()));
    EXPECT_EQ(log.count(), 0u);
}

TEST_F(HttpClientTest, FailedRequestForgetsThePreviousResponse) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    ASSERT_TRUE(client.doGet(Url(server.url("/hello"))));
    EXPECT_FALSE(client.doGet(Url("no url")));
    EXPECT_FALSE(client.response().has_value());
    EXPECT_TRUE(client.eof());
}

// The server holds its answer for 20 s; a client that ignored its time-out would get it and fail.
TEST_F(HttpClientTest, HangingServerTimesOut) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    client.setAllTimeouts(300ms);
    EXPECT_FALSE(client.doGet(Url(server.url("/hang"))));
    EXPECT_FALSE(client.response().has_value());
    EXPECT_TRUE(gate.waitForArrival());
}

TEST_F(HttpClientTest, PleaseStopAbortsABlockedRequestAndLaterOnes) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    client.setAllTimeouts(60s);
    auto stopper = std::async(std::launch::async, [&] {
        gate.waitForArrival();
        client.pleaseStop();
    });
    EXPECT_FALSE(client.doGet(Url(server.url("/hang"))));
    stopper.get();
    EXPECT_FALSE(client.response().has_value());
    EXPECT_FALSE(client.doGet(Url(server.url("/hello"))));
    EXPECT_EQ(log.count(), 0u);
}

TEST_F(HttpClientTest, StopBeforeTheRequestIsNotLost) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    client.pleaseStop();
    EXPECT_FALSE(client.doGet(Url(server.url("/hello"))));
    EXPECT_EQ(log.count(), 0u);
}

// Servers whose body ends early, or stalls at the gate half way through.
class BrokenBodies : public testing::Test {
protected:
    void SetUp() override {
        server.routes().Get("/truncated", [](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(1000, "application/octet-stream",
                                          [](size_t offset, size_t, httplib::DataSink& sink) {
                                              if (offset > 0) {
                                                  return false;  // closes the connection early
                                              }
                                              const std::string half(500, 'x');
                                              return sink.write(half.data(), half.size());
                                          });
        });
        server.routes().Get("/truncated-chunked", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("text/plain", [](size_t offset, httplib::DataSink& sink) {
                if (offset > 0) {
                    return false;
                }
                return sink.write("partial", 7);
            });
        });
        server.routes().Get("/stall", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(1000, "application/octet-stream",
                                          [this](size_t offset, size_t, httplib::DataSink& sink) {
                                              // A client that does not give up gets the whole body.
                                              if (offset > 0) {
                                                  gate.pass();
                                              }
                                              const std::string half(500, 'x');
                                              return sink.write(half.data(), half.size());
                                          });
        });
        server.start();
    }
    void TearDown() override { gate.open(); }

    Gate gate;
    TestServer server;
};

TEST_F(BrokenBodies, TruncatedBodyIsNotSuccess) {
    for (const char* path : {"/truncated", "/truncated-chunked"}) {
        HttpClient client(ssl::kAcceptAnyCertificate);
        ASSERT_TRUE(client.doGet(Url(server.url(path)))) << path;
        EXPECT_EQ(client.response()->statusLine.statusCode, 200);
        EXPECT_EQ(client.fetchEntireMessageBody(), std::nullopt) << path;
        EXPECT_TRUE(client.eof());
        EXPECT_FALSE(client.hasRequestSucceeded()) << path;
    }
}

TEST_F(BrokenBodies, StreamedTruncatedBodyEndsWithoutSuccess) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    ASSERT_TRUE(client.doGet(Url(server.url("/truncated"))));
    size_t received = 0;
    while (!client.eof()) {
        received += client.fetchMessageBodyBuffer().size();
    }
    EXPECT_LE(received, 500u);
    EXPECT_FALSE(client.hasRequestSucceeded());
}

TEST_F(BrokenBodies, StalledBodyTimesOut) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    client.setAllTimeouts(300ms);
    ASSERT_TRUE(client.doGet(Url(server.url("/stall"))));
    EXPECT_EQ(client.fetchEntireMessageBody(), std::nullopt);
    EXPECT_FALSE(client.hasRequestSucceeded());
}

TEST_F(BrokenBodies, PleaseStopAbortsAStalledBody) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    client.setAllTimeouts(60s);
    ASSERT_TRUE(client.doGet(Url(server.url("/stall"))));
    auto stopper = std::async(std::launch::async, [&] {
        gate.waitForArrival();
        client.pleaseStop();
    });
    size_t received = 0;
    while (!client.eof()) {
        received += client.fetchMessageBodyBuffer().size();
    }
    stopper.get();
    EXPECT_LE(received, 500u);
    EXPECT_FALSE(client.hasRequestSucceeded());
}

}  // namespace
