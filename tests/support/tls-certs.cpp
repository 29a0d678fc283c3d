#include "tls-certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace
{

X509 *NewCert(EVP_PKEY *key, const std::string &cn, long serial)
{
    X509 *cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
    return cert;
}

bool AddExtension(X509 *cert, X509 *issuer, int nid, const std::string &value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (ext == nullptr)
        return false;
    bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

bool WritePem(const std::string &path, X509 *cert, X509 *chain, EVP_PKEY *key)
{
    FILE *fp = fopen(path.c_str(), "w");
    if (fp == nullptr)
        return false;
    bool ok = true;
    if (cert != nullptr)
        ok = ok && PEM_write_X509(fp, cert) == 1;
    if (chain != nullptr)
        ok = ok && PEM_write_X509(fp, chain) == 1;
    if (key != nullptr)
        ok = ok && PEM_write_PrivateKey(fp, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return fclose(fp) == 0 && ok;
}

} // namespace

TlsTestCerts::TlsTestCerts(const std::string &dir)
    : m_dir(dir), m_ca_path(dir + "/ca.pem"), m_ca_key(nullptr), m_ca_cert(nullptr), m_ok(false)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    if (key == nullptr)
        return;
    X509 *cert = NewCert(key, "Aerolith Test CA", 1);
    X509_set_issuer_name(cert, X509_get_subject_name(cert));
    AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign");
    m_ca_key = key;
    m_ca_cert = cert;
    m_ok = X509_sign(cert, key, EVP_sha256()) > 0 && WritePem(m_ca_path, cert, nullptr, nullptr);
}

TlsTestCerts::~TlsTestCerts()
{
    X509_free(static_cast<X509 *>(m_ca_cert));
    EVP_PKEY_free(static_cast<EVP_PKEY *>(m_ca_key));
}

bool TlsTestCerts::issue(const std::string &name, const std::string &cn,
                         const std::vector<std::string> &dns, bool trusted, Leaf &leaf)
{
    static long serial = 100;
    EVP_PKEY *key = EVP_EC_gen("P-256");
    if (key == nullptr)
        return false;
    X509 *ca = static_cast<X509 *>(m_ca_cert);
    X509 *cert = NewCert(key, cn, ++serial);
    X509 *issuer = trusted ? ca : cert;
    EVP_PKEY *signer = trusted ? static_cast<EVP_PKEY *>(m_ca_key) : key;
    X509_set_issuer_name(cert, X509_get_subject_name(issuer));
    bool ok = AddExtension(cert, issuer, NID_basic_constraints, "CA:FALSE");
    if (!dns.empty()) {
        std::string alt;
        for (const std::string &d : dns)
            alt += (alt.empty() ? "DNS:" : ",DNS:") + d;
        ok = ok && AddExtension(cert, issuer, NID_subject_alt_name, alt);
    }
    ok = ok && X509_sign(cert, signer, EVP_sha256()) > 0;
    leaf.cert_path = m_dir + "/" + name + ".crt";
    leaf.key_path = m_dir + "/" + name + ".key";
    ok = ok && WritePem(leaf.cert_path, cert, trusted ? ca : nullptr, nullptr) &&
         WritePem(leaf.key_path, nullptr, nullptr, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return ok;
}
