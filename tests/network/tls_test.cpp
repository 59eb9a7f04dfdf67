// The two certificate adapters against an HTTPS server with a self-signed certificate: checked
// connections refuse it, downloads that accept any certificate go through.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <vek/network/http_client.h>

#include "test_server.h"

using network_test::TestServer;
using vek::Url;
using vek::network::http::HttpClient;
namespace ssl = vek::network::ssl;

namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateDeleter {
    void operator()(X509* certificate) const { X509_free(certificate); }
};

// A certificate for 127.0.0.1 that signs itself, so no trust store knows it.
std::unique_ptr<X509, CertificateDeleter> selfSigned(EVP_PKEY* key) {
    std::unique_ptr<X509, CertificateDeleter> certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), 3600);
    X509_set_pubkey(certificate.get(), key);
    X509_NAME* name = X509_get_subject_name(certificate.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"),
                               -1, -1, 0);
    X509_set_issuer_name(certificate.get(), name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate.get(), certificate.get(), nullptr, nullptr, 0);
    if (X509_EXTENSION* altName =
            X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1")) {
        X509_add_ext(certificate.get(), altName, -1);
        X509_EXTENSION_free(altName);
    }
    X509_sign(certificate.get(), key, EVP_sha256());
    return certificate;
}

class Tls : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(key);
        certificate = selfSigned(key.get());
        auto https = std::make_unique<httplib::SSLServer>(certificate.get(), key.get());
        ASSERT_TRUE(https->is_valid());
        server = std::make_unique<TestServer>(std::move(https));
        server->routes().Get("/file", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("secret bytes", "application/octet-stream");
        });
        server->start();
    }

    std::string url() const { return server->origin("https") + "/file"; }

    std::unique_ptr<EVP_PKEY, KeyDeleter> key{EVP_EC_gen("P-256")};
    std::unique_ptr<X509, CertificateDeleter> certificate;
    std::unique_ptr<TestServer> server;
};

TEST_F(Tls, CheckedConnectionRefusesAnUntrustedCertificate) {
    HttpClient client(ssl::kDefaultCertificateCheck);
    EXPECT_FALSE(client.doGet(Url(url())));
    EXPECT_FALSE(client.response().has_value());
}

TEST_F(Tls, AcceptAnyCertificateDownloads) {
    HttpClient client(ssl::kAcceptAnyCertificate);
    ASSERT_TRUE(client.doGet(Url(url())));
    EXPECT_EQ(client.response()->statusLine.statusCode, 200);
    EXPECT_EQ(client.fetchEntireMessageBody(), "secret bytes");
    EXPECT_TRUE(client.hasRequestSucceeded());
}

}  // namespace
