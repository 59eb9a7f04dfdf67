// How the HTTP client treats a server's TLS certificate. A client is built with one of the two
// adapters below and applies it to every HTTPS connection it makes, redirects included.
#pragma once

namespace vek::network::ssl {

struct Adapter {
    // Whether the certificate chain and the host name are checked against the system's trust store.
    bool verifyCertificate = true;
};

inline constexpr Adapter kDefaultCertificateCheck{true};
// For downloads whose content is authenticated by other means (checksums, authenticated encryption).
inline constexpr Adapter kAcceptAnyCertificate{false};

}  // namespace vek::network::ssl
