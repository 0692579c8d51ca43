// The throw-away PKI on OpenSSL 3: EC P-256 keys, SHA-256 signatures, X.509 v3 certificates with random
// 128-bit serial numbers. Every step that fails throws a Failure (the step and OpenSSL's reason); the
// OpenSSL objects are owned by unique_ptrs, so nothing leaks on the way out.
#include "certificates.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace doip_tools::tls {
namespace {

namespace fs = std::filesystem;

struct Free {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
    void operator()(X509* p) const { X509_free(p); }
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
    void operator()(BIGNUM* p) const { BN_free(p); }
    void operator()(BIO* p) const { BIO_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

struct Failure {
    std::string text;
};

// Throws `step` with the reason OpenSSL queued for it, and leaves the thread's error queue empty.
[[noreturn]] void fail(const std::string& step) {
    std::string text = step;
    if (const unsigned long code = ERR_get_error()) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    ERR_clear_error();
    throw Failure{text};
}

void check(int result, const std::string& step) {
    if (result <= 0) {
        fail(step);
    }
}

template <typename T>
Owned<T> own(T* object, const std::string& step) {
    if (object == nullptr) {
        fail(step);
    }
    return Owned<T>(object);
}

constexpr long kHour = 60L * 60;
constexpr long kDay = 24 * kHour;

// What goes into one certificate: its common name, its validity (seconds from now) and its extensions
// (in OpenSSL's configuration syntax).
struct Profile {
    std::string common_name;
    long not_before = -kHour;
    long not_after = 30 * kDay;
    std::vector<std::pair<int, std::string>> extensions;
};

struct Issued {
    Owned<X509> cert;
    Owned<EVP_PKEY> key;
};

Profile ca_profile(const std::string& common_name) {
    return {common_name,
            -kHour,
            30 * kDay,
            {{NID_basic_constraints, "critical,CA:TRUE"},
             {NID_key_usage, "critical,keyCertSign,cRLSign"},
             {NID_subject_key_identifier, "hash"}}};
}

Profile leaf_profile(const std::string& common_name, const std::string& usage, const std::string& names) {
    Profile profile{common_name,
                    -kHour,
                    30 * kDay,
                    {{NID_basic_constraints, "CA:FALSE"},
                     {NID_key_usage, "critical,digitalSignature"},
                     {NID_ext_key_usage, usage},
                     {NID_subject_key_identifier, "hash"},
                     {NID_authority_key_identifier, "keyid:always"}}};
    if (!names.empty()) {
        profile.extensions.emplace_back(NID_subject_alt_name, names);
    }
    return profile;
}

// A fresh key and a certificate for it, signed by `issuer` (self-signed when null).
Issued issue(const Profile& profile, const Issued* issuer) {
    Issued made{own(X509_new(), "allocating a certificate"), own(EVP_EC_gen("P-256"), "making a P-256 key")};
    X509* cert = made.cert.get();
    X509* issuer_cert = issuer != nullptr ? issuer->cert.get() : cert;
    EVP_PKEY* issuer_key = issuer != nullptr ? issuer->key.get() : made.key.get();
    const std::string what = " of '" + profile.common_name + "'";

    check(X509_set_version(cert, X509_VERSION_3), "setting the version" + what);
    const Owned<BIGNUM> serial = own(BN_new(), "allocating a serial number");
    check(BN_rand(serial.get(), 128, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY), "drawing a serial number");
    check(BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert)) != nullptr,
          "setting the serial number" + what);
    check(X509_gmtime_adj(X509_getm_notBefore(cert), profile.not_before) != nullptr,
          "setting notBefore" + what);
    check(X509_gmtime_adj(X509_getm_notAfter(cert), profile.not_after) != nullptr, "setting notAfter" + what);
    const auto* name = reinterpret_cast<const unsigned char*>(profile.common_name.c_str());
    check(X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_UTF8, name, -1, -1, 0),
          "setting the common name" + what);
    check(X509_set_issuer_name(cert, X509_get_subject_name(issuer_cert)), "setting the issuer" + what);
    check(X509_set_pubkey(cert, made.key.get()), "setting the public key" + what);

    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer_cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] : profile.extensions) {
        const std::string step = std::string("adding ") + OBJ_nid2sn(nid) + " " + value + what;
        const Owned<X509_EXTENSION> extension =
            own(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()), step);
        check(X509_add_ext(cert, extension.get(), -1), step);
    }
    check(X509_sign(cert, issuer_key, EVP_sha256()), "signing" + what);
    return made;
}

// `path`, emptied for writing. A key's file is made owner-only before anything goes into it.
Owned<BIO> create(const fs::path& path, bool secret) {
    if (secret) {
        std::ofstream(path, std::ios::binary | std::ios::trunc).close();  // made (or emptied) first
        std::error_code error;
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, error);
        if (error) {
            throw Failure{"restricting the permissions of " + path.string() + ": " + error.message()};
        }
    }
    return own(BIO_new_file(path.string().c_str(), "wb"), "creating " + path.string());
}

void save(const Issued& issued, const fs::path& dir, const std::string& cert_file,
          const std::string& key_file) {
    const Owned<BIO> cert = create(dir / cert_file, false);
    check(PEM_write_bio_X509(cert.get(), issued.cert.get()) && BIO_flush(cert.get()), "writing " + cert_file);
    if (!key_file.empty()) {
        const Owned<BIO> key = create(dir / key_file, true);
        const int written =
            PEM_write_bio_PrivateKey(key.get(), issued.key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        check(written && BIO_flush(key.get()), "writing " + key_file);
    }
}

// Four decimal numbers up to 255, separated by dots, and nothing else.
bool is_ipv4(const std::string& text) {
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (i >= text.size() || text[i++] != '.')) {
            return false;
        }
        int value = 0;
        size_t digits = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
            value = value * 10 + (text[i] - '0');
            if (digits == 3 || value > 255) {
                return false;
            }
        }
        if (digits == 0) {
            return false;
        }
    }
    return i == text.size();
}

// Letters, digits, '-', '_' and '.': a host name that cannot upset the subjectAltName syntax.
bool is_host_name(const std::string& text) {
    for (const char c : text) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '-' && c != '_' && c != '.') {
            return false;
        }
    }
    return true;
}

}  // namespace

bool make_certificates(const std::string& dir, const std::string& entity_ip, const std::string& entity_name,
                       std::string* error) {
    if (!is_ipv4(entity_ip)) {
        *error = "the entity address '" + entity_ip + "' is not an IPv4 address";
        return false;
    }
    if (!is_host_name(entity_name)) {
        *error = "the entity name '" + entity_name + "' is not a host name";
        return false;
    }
    std::error_code created;
    fs::create_directories(dir, created);
    if (created) {
        *error = "cannot create the directory " + dir + ": " + created.message();
        return false;
    }
    ERR_clear_error();
    try {
        const CertificateFiles files;
        const fs::path base(dir);
        const std::string entity_cn = entity_name.empty() ? entity_ip : entity_name;
        const std::string entity_names =
            "IP:" + entity_ip + (entity_name.empty() ? "" : ",DNS:" + entity_name);

        const Issued ca = issue(ca_profile("doip test CA"), nullptr);
        save(ca, base, files.ca, "");
        save(issue(leaf_profile(entity_cn, "serverAuth", entity_names), &ca), base, files.entity,
             files.entity_key);
        save(issue(leaf_profile("doip tester", "clientAuth", ""), &ca), base, files.tester, files.tester_key);
        Profile expired = leaf_profile(entity_cn, "serverAuth", entity_names);
        expired.not_before = -30 * kDay;
        expired.not_after = -kDay;
        save(issue(expired, &ca), base, files.expired, files.expired_key);
        save(issue(leaf_profile("other.invalid", "serverAuth", "IP:192.0.2.1,DNS:other.invalid"), &ca), base,
             files.other_address, files.other_address_key);

        const Issued stranger_ca = issue(ca_profile("doip stranger CA"), nullptr);
        save(stranger_ca, base, files.stranger_ca, "");
        save(issue(leaf_profile(entity_cn, "serverAuth", entity_names), &stranger_ca), base, files.stranger,
             files.stranger_key);
        return true;
    } catch (const Failure& failure) {
        *error = failure.text;
        return false;
    }
}

}  // namespace doip_tools::tls
