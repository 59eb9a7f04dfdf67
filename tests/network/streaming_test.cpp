// Streaming a large body chunk by chunk: every byte arrives in order, and however slowly the caller
// reads, the client never holds more than a bounded piece of the body.
#include <gtest/gtest.h>
#include <vek/network/http_client.h>

#include <algorithm>
#include <thread>

#include "test_server.h"

using network_test::TestServer;
using vek::Url;
using vek::network::http::HttpClient;
namespace ssl = vek::network::ssl;

namespace {

constexpr size_t kLargeBody = 50u << 20;
constexpr size_t kChunkedBody = 8u << 20;
// Far below the body sizes: a client holding the whole body, or most of it, exceeds it.
constexpr size_t kMaxPiece = 512u << 10;

char patternAt(size_t offset) {
    return static_cast<char>(offset % 251);
}

bool providePattern(size_t offset, size_t total, httplib::DataSink& sink) {
    std::string piece(std::min<size_t>(64u << 10, total - offset), '\0');
    for (size_t i = 0; i < piece.size(); ++i) {
        piece[i] = patternAt(offset + i);
    }
    return sink.write(piece.data(), piece.size());
}

class Streaming : public testing::Test {
protected:
    void SetUp() override {
        server.routes().Get("/large", [](const httplib::Request&, httplib::Response& response) {
            response.set_content_provider(kLargeBody, "application/octet-stream",
                                          [](size_t offset, size_t, httplib::DataSink& sink) {
                                              return providePattern(offset, kLargeBody, sink);
                                          });
        });
        server.routes().Get("/chunked", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("application/octet-stream",
                                                  [](size_t offset, httplib::DataSink& sink) {
                                                      if (offset == kChunkedBody) {
                                                          sink.done();
                                                          return true;
                                                      }
                                                      return providePattern(offset, kChunkedBody, sink);
                                                  });
        });
        server.start();
    }

    // Reads the body piece by piece, checking content and piece size; returns the byte count.
    static size_t readAll(HttpClient& client, bool slowReader) {
        size_t received = 0;
        size_t largestPiece = 0;
        int pieces = 0;
        while (!client.eof()) {
            const std::string piece = client.fetchMessageBodyBuffer();
            for (size_t i = 0; i < piece.size(); ++i) {
                if (piece[i] != patternAt(received + i)) {
                    ADD_FAILURE() << "wrong byte at offset " << received + i;
                    return received;
                }
            }
            received += piece.size();
            largestPiece = std::max(largestPiece, piece.size());
            // Give the sender time to fill every buffer between client and server.
            if (slowReader && ++pieces % 64 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        EXPECT_LE(largestPiece, kMaxPiece);
        return received;
    }

    TestServer server;
};

TEST_F(Streaming, FiftyMegabytesInBoundedPieces) {
    for (bool slowReader : {false, true}) {
        HttpClient client(ssl::kAcceptAnyCertificate);
        ASSERT_TRUE(client.doGet(Url(server.url("/large"))));
        EXPECT_EQ(client.response()->headers.getHeaderValue("Content-Length"), std::to_string(kLargeBody));
        EXPECT_EQ(readAll(client, slowReader), kLargeBody);
        EXPECT_TRUE(client.hasRequestSucceeded());
    }
}

TEST_F(Streaming, ChunkedBodyOfUnknownLength) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    ASSERT_TRUE(client.doGet(Url(server.url("/chunked"))));
    EXPECT_EQ(client.response()->headers.getHeaderValue("Content-Length"), std::nullopt);
    EXPECT_EQ(readAll(client, true), kChunkedBody);
    EXPECT_TRUE(client.hasRequestSucceeded());
}

TEST_F(Streaming, NewRequestAbandonsAnUnreadBody) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    ASSERT_TRUE(client.doGet(Url(server.url("/large"))));
    EXPECT_FALSE(client.fetchMessageBodyBuffer().empty());
    ASSERT_TRUE(client.doGet(Url(server.url("/chunked"))));
    EXPECT_EQ(readAll(client, false), kChunkedBody);
    EXPECT_TRUE(client.hasRequestSucceeded());
}

}  // namespace
