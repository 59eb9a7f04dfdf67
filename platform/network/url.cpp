#include "vek/network/url.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>

namespace vek {

namespace {

struct UrlHandleDeleter {
    void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlHandleDeleter>;

struct CurlTextDeleter {
    void operator()(char* text) const { curl_free(text); }
};

// One part of a parsed URL; empty when the part is absent.
std::string part(CURLU* handle, CURLUPart which, unsigned flags = 0) {
    char* raw = nullptr;
    if (curl_url_get(handle, which, &raw, flags) != CURLUE_OK || raw == nullptr) {
        return {};
    }
    const std::unique_ptr<char, CurlTextDeleter> owned(raw);
    return std::string(raw);
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(
        a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

}  // namespace

Url::Url(std::string_view input) {
    parse(input, {});
}

Url Url::resolved(std::string_view reference) const {
    Url target;
    if (valid) {
        target.parse(reference, text);
    }
    return target;
}

bool Url::sameOrigin(const Url& other) const {
    return valid && other.valid && schemeText == other.schemeText && portNumber == other.portNumber &&
           equalsIgnoringCase(hostText, other.hostText);
}

void Url::parse(std::string_view input, const std::string& base) {
    const UrlHandle handle(curl_url());
    if (!handle || input.find('\0') != std::string_view::npos) {
        return;
    }
    if (!base.empty() && curl_url_set(handle.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) {
        return;
    }
    const std::string inputText(input);
    if (curl_url_set(handle.get(), CURLUPART_URL, inputText.c_str(), CURLU_URLENCODE) != CURLUE_OK) {
        return;
    }
    std::string scheme = part(handle.get(), CURLUPART_SCHEME);
    std::ranges::transform(scheme, scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme != "http" && scheme != "https") {
        return;
    }
    const std::string portText = part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    int portValue = 0;
    const auto [end, error] = std::from_chars(portText.data(), portText.data() + portText.size(), portValue);
    std::string hostValue = part(handle.get(), CURLUPART_HOST);
    if (error != std::errc{} || end != portText.data() + portText.size() || hostValue.empty()) {
        return;
    }
    text = part(handle.get(), CURLUPART_URL);
    schemeText = std::move(scheme);
    hostText = std::move(hostValue);
    portNumber = portValue;
    pathText = part(handle.get(), CURLUPART_PATH);
    queryText = part(handle.get(), CURLUPART_QUERY);
    valid = !text.empty();
}

}  // namespace vek
