// An HTTP/1.1 client on libcurl for the cloud API and file downloads: one request at a time, a
// response head first, then the body whole or chunk by chunk so that large files never sit in memory.
#pragma once

#include <vek/network/ssl.h>
#include <vek/network/url.h>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vek::network::http {

struct StatusLine {
    std::string version;  // as the server wrote it, e.g. "HTTP/1.1"
    int statusCode = 0;
    std::string reasonPhrase;

    // "HTTP/1.1 404 Not Found"; without the reason phrase when the server sent none.
    std::string toString() const;
};

class HttpHeaders {
public:
    void add(std::string name, std::string value);
    // The value of the first header of that name, compared ignoring case; none when absent.
    std::optional<std::string> getHeaderValue(std::string_view name) const;
    // In the order received.
    const std::vector<std::pair<std::string, std::string>>& entries() const { return fields; }

private:
    std::vector<std::pair<std::string, std::string>> fields;
};

struct Response {
    StatusLine statusLine;
    HttpHeaders headers;
};

// Which servers an additional header may reach when a request is redirected.
enum class HeaderScope {
    anyServer,
    // Only servers of the request's original scheme, host and port. "Authorization",
    // "Proxy-Authorization" and "Cookie" are always treated this way.
    originalServerOnly,
};

// Used from one thread, except pleaseStop(), which any thread may call at any time while the client
// exists. No call throws.
class HttpClient {
public:
    // Covers connecting, sending and waiting for the next bytes of the response, each time anew.
    static constexpr std::chrono::milliseconds kDefaultTimeout{30000};
    static constexpr int kDefaultMaxRedirects = 5;

    explicit HttpClient(ssl::Adapter adapter);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    void setAllTimeouts(std::chrono::milliseconds timeout);
    // Sent with every following request, replacing an earlier header of the same name. False, and
    // nothing changes, for an empty name or a name or value that could break the request's framing.
    bool addAdditionalHeader(std::string name, std::string value, HeaderScope scope = HeaderScope::anyServer);
    void removeAdditionalHeader(std::string_view name);
    // Redirects followed before a redirect answer is handed to the caller as the response; 0 hands
    // every redirect over.
    void setMaxNumberOfRedirects(int count);

    // Sends the request and waits for the response head; the body is read by the calls below. False
    // when no response head was obtained (refused, timed out, stopped, invalid URL). A new request
    // abandons the body of the previous one.
    bool doGet(const Url& url);
    bool doPost(const Url& url, std::string contentType, std::string body);

    // The head of the last request's response; refers into the client until the next request.
    const std::optional<Response>& response() const;
    // The rest of the body; none when there is no response or the body did not arrive whole.
    std::optional<std::string> fetchEntireMessageBody();
    // The next piece of the body, waiting for it when none is buffered; empty at the end of the body
    // or on failure. A bounded amount is buffered however slowly the caller reads.
    std::string fetchMessageBodyBuffer();
    // No more body will come.
    bool eof() const;
    // The whole response arrived: the head and, once eof(), the complete body.
    bool hasRequestSucceeded() const;

    // Aborts the request in progress (its blocked call returns failure within a few milliseconds) and
    // makes every later request fail at once, so a stop that races with the start of a request is
    // never lost.
    void pleaseStop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace vek::network::http
