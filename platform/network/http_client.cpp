#include "vek/network/http_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>

namespace vek::network::http {

namespace {

using Clock = std::chrono::steady_clock;

// Above this much unread body the transfer pauses until the caller takes it.
constexpr size_t kBodyBufferLimit = 256 * 1024;
// The longest single wait for network events; waits are cut short by pleaseStop() anyway.
constexpr std::chrono::milliseconds kLongestPoll{1000};

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(
        a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

bool carriesCredentials(std::string_view name) {
    return equalsIgnoringCase(name, "Authorization") || equalsIgnoringCase(name, "Proxy-Authorization") ||
           equalsIgnoringCase(name, "Cookie");
}

bool isTokenCharacter(unsigned char c) {
    static constexpr std::string_view kSeparators = "()<>@,;:\\\"/[]?={} \t";
    return c > 32 && c < 127 && kSeparators.find(static_cast<char>(c)) == std::string_view::npos;
}

bool isValidHeader(std::string_view name, std::string_view value) {
    return !name.empty() && std::ranges::all_of(name, isTokenCharacter) &&
           value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// "HTTP/1.1 200 OK" or "HTTP/2 200"; none for any other line.
std::optional<StatusLine> parseStatusLine(std::string_view line) {
    if (!line.starts_with("HTTP/")) {
        return std::nullopt;
    }
    const auto space = line.find(' ');
    if (space == std::string_view::npos || line.size() < space + 4) {
        return std::nullopt;
    }
    const std::string_view code = line.substr(space + 1, 3);
    if (!std::ranges::all_of(code, [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    StatusLine status;
    status.version = std::string(line.substr(0, space));
    status.statusCode = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
    status.reasonPhrase = std::string(trim(line.substr(space + 4)));
    return status;
}

bool isRedirect(int statusCode) {
    return statusCode == 301 || statusCode == 302 || statusCode == 303 || statusCode == 307 ||
           statusCode == 308;
}

}  // namespace

std::string StatusLine::toString() const {
    std::string text = version + " " + std::to_string(statusCode);
    if (!reasonPhrase.empty()) {
        text += " " + reasonPhrase;
    }
    return text;
}

void HttpHeaders::add(std::string name, std::string value) {
    fields.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> HttpHeaders::getHeaderValue(std::string_view name) const {
    const auto found = std::ranges::find_if(
        fields, [&](const auto& field) { return equalsIgnoringCase(field.first, name); });
    if (found == fields.end()) {
        return std::nullopt;
    }
    return found->second;
}

struct HttpClient::Impl {
    struct AdditionalHeader {
        std::string name;
        std::string value;
        HeaderScope scope;
    };

    explicit Impl(ssl::Adapter tlsAdapter) : adapter(tlsAdapter) {
        initialiseCurlOnce();
        multi.reset(curl_multi_init());
    }
    ~Impl() { endTransfer(); }

    bool request(const Url& url, bool post, const std::string& contentType, std::string body);
    bool startTransfer(const Url& target, bool post, const std::string& contentType, bool toOriginalServer);
    void endTransfer();
    void abortTransfer();
    void collectResult();
    void resume();
    template <class Done>
    bool driveUntil(Done done);

    static size_t onHeader(char* data, size_t size, size_t count, void* self);
    static size_t onBody(char* data, size_t size, size_t count, void* self);
    static int onProgress(void* self, curl_off_t downTotal, curl_off_t downNow, curl_off_t upTotal,
                          curl_off_t upNow);

    const ssl::Adapter adapter;
    std::chrono::milliseconds timeout = kDefaultTimeout;
    int maxRedirects = kDefaultMaxRedirects;
    std::vector<AdditionalHeader> additionalHeaders;
    std::atomic<bool> stopRequested{false};
    std::unique_ptr<CURLM, MultiDeleter> multi;

    // The response handed to the caller, once a request's final head has arrived.
    std::optional<Response> head;

    // The transfer in progress: one per request, or per hop of a redirected request.
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, ListDeleter> requestHeaders;
    std::string requestBody;
    Response incomingHead;
    bool headComplete = false;
    std::string buffered;
    bool paused = false;
    bool finished = false;
    bool completed = false;
    Clock::time_point lastActivity;
    curl_off_t downloaded = 0;
    curl_off_t uploaded = 0;
};

bool HttpClient::Impl::request(const Url& url, bool post, const std::string& contentType, std::string body) {
    endTransfer();
    head.reset();
    if (stopRequested.load() || !multi || !url.isValid()) {
        return false;
    }
    requestBody = std::move(body);
    Url target = url;
    int redirectsLeft = maxRedirects;
    for (;;) {
        if (!startTransfer(target, post, contentType, target.sameOrigin(url))) {
            return false;
        }
        if (!driveUntil([this] { return headComplete; })) {
            endTransfer();
            return false;
        }
        const int statusCode = incomingHead.statusLine.statusCode;
        const auto location = incomingHead.headers.getHeaderValue("Location");
        if (!isRedirect(statusCode) || redirectsLeft <= 0 || !location) {
            break;
        }
        Url next = target.resolved(*location);
        if (!next.isValid()) {
            break;
        }
        --redirectsLeft;
        // As browsers do: only 307 and 308 repeat a POST; the others continue with a GET.
        if (post && statusCode != 307 && statusCode != 308) {
            post = false;
            requestBody.clear();
        }
        target = std::move(next);
    }
    head = incomingHead;
    return true;
}

bool HttpClient::Impl::startTransfer(const Url& target, bool post, const std::string& contentType,
                                     bool toOriginalServer) {
    endTransfer();
    easy.reset(curl_easy_init());
    if (!easy) {
        return false;
    }
    curl_slist* list = nullptr;
    const auto append = [&list](const std::string& line) {
        if (curl_slist* extended = curl_slist_append(list, line.c_str())) {
            list = extended;
            return true;
        }
        return false;
    };
    bool listComplete = true;
    for (const auto& header : additionalHeaders) {
        const bool restricted =
            header.scope == HeaderScope::originalServerOnly || carriesCredentials(header.name);
        if ((restricted && !toOriginalServer) || (post && equalsIgnoringCase(header.name, "Content-Type"))) {
            continue;
        }
        // curl sends "Name;" as a header with an empty value, whereas "Name:" would suppress it.
        listComplete &= append(header.value.empty() ? header.name + ";" : header.name + ": " + header.value);
    }
    if (post) {
        listComplete &= append("Content-Type: " + contentType);
    }
    // Bodies are small or already known to the server; waiting for "100 Continue" only adds latency.
    listComplete &= append("Expect:");
    requestHeaders.reset(list);
    if (!listComplete) {
        return false;
    }

    CURL* handle = easy.get();
    curl_easy_setopt(handle, CURLOPT_URL, target.toString().c_str());
    curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    // Requests go straight to the server, whatever proxy the process environment names.
    curl_easy_setopt(handle, CURLOPT_PROXY, "");
    // Redirects are followed here, hop by hop, so that each hop gets only the headers it may see.
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, adapter.verifyCertificate ? 1L : 0L);
    curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, adapter.verifyCertificate ? 2L : 0L);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, requestHeaders.get());
    curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Impl::onBody);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    if (post) {
        curl_easy_setopt(handle, CURLOPT_POST, 1L);
        curl_easy_setopt(handle, CURLOPT_POSTFIELDS, requestBody.data());
        curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(requestBody.size()));
    } else {
        curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
    }

    incomingHead = Response{};
    headComplete = false;
    buffered.clear();
    paused = false;
    finished = false;
    completed = false;
    downloaded = 0;
    uploaded = 0;
    if (curl_multi_add_handle(multi.get(), handle) != CURLM_OK) {
        easy.reset();
        return false;
    }
    return true;
}

void HttpClient::Impl::endTransfer() {
    if (easy) {
        curl_multi_remove_handle(multi.get(), easy.get());
        easy.reset();
    }
    requestHeaders.reset();
    buffered.clear();
    paused = false;
    finished = true;
    completed = false;
}

void HttpClient::Impl::abortTransfer() {
    // Removing the handle closes its connection; what was buffered is no longer a valid prefix to
    // hand out after a failure was reported.
    if (easy) {
        curl_multi_remove_handle(multi.get(), easy.get());
        easy.reset();
    }
    buffered.clear();
    finished = true;
    completed = false;
}

void HttpClient::Impl::collectResult() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == easy.get()) {
            finished = true;
            completed = message->data.result == CURLE_OK;
        }
    }
}

void HttpClient::Impl::resume() {
    if (paused && easy && !finished) {
        paused = false;
        curl_easy_pause(easy.get(), CURLPAUSE_CONT);
    }
}

template <class Done>
bool HttpClient::Impl::driveUntil(Done done) {
    lastActivity = Clock::now();
    for (;;) {
        if (stopRequested.load()) {
            abortTransfer();
            return false;
        }
        int running = 0;
        if (!easy || curl_multi_perform(multi.get(), &running) != CURLM_OK) {
            abortTransfer();
            return false;
        }
        collectResult();
        if (done()) {
            return true;
        }
        if (finished) {
            return false;
        }
        auto wait = kLongestPoll;
        if (timeout.count() > 0) {
            const auto idle =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastActivity);
            if (idle >= timeout) {
                abortTransfer();
                return false;
            }
            wait = std::min(wait, timeout - idle);
        }
        curl_multi_poll(multi.get(), nullptr, 0, static_cast<int>(std::max<long long>(wait.count(), 1)),
                        nullptr);
    }
}

size_t HttpClient::Impl::onHeader(char* data, size_t size, size_t count, void* self) {
    auto& impl = *static_cast<Impl*>(self);
    const size_t length = size * count;
    impl.lastActivity = Clock::now();
    if (impl.headComplete) {
        return length;  // trailers after a chunked body
    }
    std::string_view line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (auto status = parseStatusLine(line)) {
        impl.incomingHead = Response{std::move(*status), {}};
    } else if (line.empty()) {
        // An interim "1xx" head is followed by the real one.
        impl.headComplete = impl.incomingHead.statusLine.statusCode >= 200;
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos && colon > 0) {
        impl.incomingHead.headers.add(std::string(trim(line.substr(0, colon))),
                                      std::string(trim(line.substr(colon + 1))));
    }
    return length;
}

size_t HttpClient::Impl::onBody(char* data, size_t size, size_t count, void* self) {
    auto& impl = *static_cast<Impl*>(self);
    impl.lastActivity = Clock::now();
    if (impl.buffered.size() >= kBodyBufferLimit) {
        impl.paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    impl.buffered.append(data, size * count);
    return size * count;
}

int HttpClient::Impl::onProgress(void* self, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow) {
    auto& impl = *static_cast<Impl*>(self);
    if (downNow != impl.downloaded || upNow != impl.uploaded) {
        impl.downloaded = downNow;
        impl.uploaded = upNow;
        impl.lastActivity = Clock::now();
    }
    return impl.stopRequested.load() ? 1 : 0;
}

HttpClient::HttpClient(ssl::Adapter adapter) : impl(std::make_unique<Impl>(adapter)) {}

HttpClient::~HttpClient() = default;

void HttpClient::setAllTimeouts(std::chrono::milliseconds timeout) {
    impl->timeout = timeout;
}

bool HttpClient::addAdditionalHeader(std::string name, std::string value, HeaderScope scope) {
    if (!isValidHeader(name, value)) {
        return false;
    }
    removeAdditionalHeader(name);
    impl->additionalHeaders.push_back({std::move(name), std::move(value), scope});
    return true;
}

void HttpClient::removeAdditionalHeader(std::string_view name) {
    std::erase_if(impl->additionalHeaders, [&](const Impl::AdditionalHeader& header) {
        return equalsIgnoringCase(header.name, name);
    });
}

void HttpClient::setMaxNumberOfRedirects(int count) {
    impl->maxRedirects = std::max(count, 0);
}

bool HttpClient::doGet(const Url& url) {
    return impl->request(url, false, {}, {});
}

bool HttpClient::doPost(const Url& url, std::string contentType, std::string body) {
    return impl->request(url, true, contentType, std::move(body));
}

const std::optional<Response>& HttpClient::response() const {
    return impl->head;
}

std::optional<std::string> HttpClient::fetchEntireMessageBody() {
    if (!impl->head) {
        return std::nullopt;
    }
    std::string body;
    while (!eof()) {
        body += fetchMessageBodyBuffer();
    }
    if (!impl->completed) {
        return std::nullopt;
    }
    return body;
}

std::string HttpClient::fetchMessageBodyBuffer() {
    if (!impl->head) {
        return {};
    }
    if (impl->buffered.empty() && !impl->finished) {
        impl->resume();
        impl->driveUntil([this] { return !impl->buffered.empty() || impl->finished; });
    }
    std::string chunk;
    chunk.swap(impl->buffered);
    impl->resume();
    return chunk;
}

bool HttpClient::eof() const {
    return !impl->head || (impl->finished && impl->buffered.empty());
}

bool HttpClient::hasRequestSucceeded() const {
    return impl->head.has_value() && impl->finished && impl->completed;
}

void HttpClient::pleaseStop() {
    impl->stopRequested.store(true);
    if (impl->multi) {
        curl_multi_wakeup(impl->multi.get());
    }
}

}  // namespace vek::network::http
