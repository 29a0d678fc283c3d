// Test certificates made on the fly: a CA whose certificate file a client can trust, and
// server certificates either issued by that CA or self-signed (untrusted).
#pragma once

#include <string>
#include <vector>

class TlsTestCerts
{
public:
    // Creates the CA in dir (which must exist and outlive this object).
    explicit TlsTestCerts(const std::string &dir);
    ~TlsTestCerts();
    TlsTestCerts(const TlsTestCerts &) = delete;
    TlsTestCerts &operator=(const TlsTestCerts &) = delete;

    bool ok() const { return m_ok; }
    // PEM file holding the CA certificate.
    const std::string &caPath() const { return m_ca_path; }

    struct Leaf {
        std::string cert_path; // the certificate chain file (leaf first)
        std::string key_path;  // its PEM private key
    };
    // Issues a server certificate with common name cn and DNS subject-alternative names
    // dns, signed by the CA when trusted, self-signed otherwise. Files are named after name.
    bool issue(const std::string &name, const std::string &cn, const std::vector<std::string> &dns,
               bool trusted, Leaf &leaf);

private:
    std::string m_dir;
    std::string m_ca_path;
    void *m_ca_key;  // EVP_PKEY
    void *m_ca_cert; // X509
    bool m_ok;
};
