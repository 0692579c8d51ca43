// The throw-away PKI of make_certificates(), read back and judged by OpenSSL itself: which chain verifies
// against which CA and why not, for which purpose, which names each certificate carries, and that every key
// belongs to its certificate and is kept from other users.
#ifdef DOIP_WITH_TLS

#include "certificates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace doip_e2e {
namespace {

namespace fs = std::filesystem;

struct Free {
    void operator()(X509* p) const { X509_free(p); }
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509_STORE* p) const { X509_STORE_free(p); }
    void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

struct TempDir {
    fs::path path =
        fs::temp_directory_path() /
        ("doip-certs-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    ~TempDir() { fs::remove_all(path); }
};

Owned<X509> read_cert(const fs::path& file) {
    const Owned<BIO> bio(BIO_new_file(file.string().c_str(), "r"));
    return Owned<X509>(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

Owned<EVP_PKEY> read_key(const fs::path& file) {
    const Owned<BIO> bio(BIO_new_file(file.string().c_str(), "r"));
    return Owned<EVP_PKEY>(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr);
}

// X509_V_OK, or why `cert` does not verify for `purpose` with `ca` as the only trusted certificate.
int verify(X509* ca, X509* cert, int purpose) {
    const Owned<X509_STORE> store(X509_STORE_new());
    const Owned<X509_STORE_CTX> context(X509_STORE_CTX_new());
    EXPECT_EQ(X509_STORE_add_cert(store.get(), ca), 1);
    EXPECT_EQ(X509_STORE_CTX_init(context.get(), store.get(), cert, nullptr), 1);
    EXPECT_EQ(X509_STORE_CTX_set_purpose(context.get(), purpose), 1);
    return X509_verify_cert(context.get()) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(context.get());
}

TEST(Certificates, EachCertificateVerifiesOrFailsForItsReason) {
    const TempDir dir;
    const doip_tools::tls::CertificateFiles f;
    std::string error;
    ASSERT_TRUE(doip_tools::tls::make_certificates(dir.path.string(), "127.0.0.1", "entity.test", &error))
        << error;

    const struct {
        std::string cert, key, trusted;
        int purpose, error;
        bool entity_names;  // subjectAltName IP 127.0.0.1 and DNS entity.test
    } rows[] = {
        {f.entity, f.entity_key, f.ca, X509_PURPOSE_SSL_SERVER, X509_V_OK, true},
        {f.tester, f.tester_key, f.ca, X509_PURPOSE_SSL_CLIENT, X509_V_OK, false},
        {f.tester, f.tester_key, f.ca, X509_PURPOSE_SSL_SERVER, X509_V_ERR_INVALID_PURPOSE, false},
        {f.entity, f.entity_key, f.ca, X509_PURPOSE_SSL_CLIENT, X509_V_ERR_INVALID_PURPOSE, true},
        {f.expired, f.expired_key, f.ca, X509_PURPOSE_SSL_SERVER, X509_V_ERR_CERT_HAS_EXPIRED, true},
        {f.other_address, f.other_address_key, f.ca, X509_PURPOSE_SSL_SERVER, X509_V_OK, false},
        {f.stranger, f.stranger_key, f.ca, X509_PURPOSE_SSL_SERVER,
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, true},
        {f.stranger, f.stranger_key, f.stranger_ca, X509_PURPOSE_SSL_SERVER, X509_V_OK, true},
        {f.entity, f.entity_key, f.stranger_ca, X509_PURPOSE_SSL_SERVER,
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cert + " against " + row.trusted);
        const Owned<X509> ca = read_cert(dir.path / row.trusted);
        const Owned<X509> cert = read_cert(dir.path / row.cert);
        const Owned<EVP_PKEY> key = read_key(dir.path / row.key);
        ASSERT_TRUE(ca && cert && key);
        EXPECT_EQ(verify(ca.get(), cert.get(), row.purpose), row.error);
        EXPECT_EQ(X509_check_ip_asc(cert.get(), "127.0.0.1", 0), row.entity_names ? 1 : 0);
        EXPECT_EQ(X509_check_host(cert.get(), "entity.test", 0, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT, nullptr),
                  row.entity_names ? 1 : 0);
        EXPECT_EQ(X509_check_private_key(cert.get(), key.get()), 1);
        const fs::perms key_perms = fs::status(dir.path / row.key).permissions();
        EXPECT_EQ(key_perms & (fs::perms::group_all | fs::perms::others_all), fs::perms::none);
    }
    const Owned<X509> other = read_cert(dir.path / f.other_address);
    EXPECT_EQ(X509_check_ip_asc(other.get(), "192.0.2.1", 0), 1);
    // Each key is its own: the entity's key does not sign for the stranger's certificate.
    EXPECT_EQ(X509_check_private_key(read_cert(dir.path / f.stranger).get(),
                                     read_key(dir.path / f.entity_key).get()),
              0);
}

TEST(Certificates, NoNameMeansTheAddressOnlyAndABadAddressIsRefused) {
    const TempDir dir;
    std::string error;
    ASSERT_TRUE(
        doip_tools::tls::make_certificates((dir.path / "made" / "here").string(), "10.0.0.7", "", &error))
        << error;
    const Owned<X509> entity = read_cert(dir.path / "made" / "here" / "entity.pem");
    ASSERT_TRUE(entity);
    // Without a DNS entry the host check falls back to the common name: the address.
    EXPECT_EQ(X509_check_host(entity.get(), "10.0.0.7", 0, 0, nullptr), 1);
    EXPECT_EQ(X509_check_ip_asc(entity.get(), "10.0.0.7", 0), 1);

    for (const char* bad :
         {"", "127.0.0", "127.0.0.1x", "256.0.0.1", "1.2.3.4.5", "::1", "1..2.3", "0001.2.3.4"}) {
        error.clear();
        EXPECT_FALSE(doip_tools::tls::make_certificates((dir.path / "bad").string(), bad, "x", &error))
            << bad;
        EXPECT_NE(error.find("'" + std::string(bad) + "'"), std::string::npos) << error;
    }
    EXPECT_FALSE(
        doip_tools::tls::make_certificates((dir.path / "bad").string(), "127.0.0.1", "a,DNS:b", &error));
    EXPECT_FALSE(fs::exists(dir.path / "bad" / "ca.pem"));
    // A common name over 64 characters: OpenSSL refuses it, says why, and its error queue is left empty.
    EXPECT_FALSE(doip_tools::tls::make_certificates((dir.path / "long").string(), "127.0.0.1",
                                                    std::string(65, 'n'), &error));
    EXPECT_NE(error.find("string too long"), std::string::npos) << error;
    EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
}  // namespace doip_e2e

#endif
