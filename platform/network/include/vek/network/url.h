// An absolute http or https URL parsed from text. Text that is not such a URL gives an invalid Url
// instead of an exception; a request made with an invalid Url fails.
#pragma once

#include <string>
#include <string_view>

namespace vek {

class Url {
public:
    Url() = default;
    // Characters that may not stand in a URL as written (spaces, non-ASCII) are percent-encoded;
    // everything else, braces included, is kept as given.
    explicit Url(std::string_view text);

    bool isValid() const { return valid; }
    // Lower-case scheme, "http" or "https".
    const std::string& scheme() const { return schemeText; }
    const std::string& host() const { return hostText; }
    // The explicit port, or the scheme's default.
    int port() const { return portNumber; }
    // The path as sent, beginning with "/".
    const std::string& path() const { return pathText; }
    // Without the "?"; empty when there is none.
    const std::string& query() const { return queryText; }
    // The normalised full text; empty for an invalid Url.
    const std::string& toString() const { return text; }

    // The target of a redirect: `reference` may be absolute or relative to this URL.
    Url resolved(std::string_view reference) const;
    // Same scheme, host (ignoring case) and port: a server that may see this URL's credentials.
    bool sameOrigin(const Url& other) const;

private:
    void parse(std::string_view input, const std::string& base);

    bool valid = false;
    std::string text;
    std::string schemeText;
    std::string hostText;
    int portNumber = 0;
    std::string pathText;
    std::string queryText;
};

}  // namespace vek
