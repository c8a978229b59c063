#include "support/test_certificate.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace support {

namespace {

std::string pemOf(auto write, auto* object) {
    BIO* bio = BIO_new(BIO_s_mem());
    write(bio, object);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    std::string pem(data, static_cast<std::size_t>(size));
    BIO_free(bio);
    return pem;
}

TestCertificate generateCertificate() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), static_cast<long>(::getpid()));
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 7 * 24 * 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert, cert, nullptr, nullptr, 0);
    for (auto [nid, value] : {std::pair{NID_subject_alt_name, "DNS:localhost"},
                              std::pair{NID_basic_constraints, "critical,CA:TRUE"},
                              std::pair{NID_key_usage, "critical,digitalSignature,keyCertSign"},
                              std::pair{NID_ext_key_usage, "serverAuth"}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(cert, key, EVP_sha256());

    TestCertificate result;
    result.certificatePem = pemOf([](BIO* bio, X509* x) { PEM_write_bio_X509(bio, x); }, cert);
    result.privateKeyPem = pemOf(
        [](BIO* bio, EVP_PKEY* k) { PEM_write_bio_PrivateKey(bio, k, nullptr, nullptr, 0, nullptr, nullptr); }, key);
    X509_free(cert);
    EVP_PKEY_free(key);

    // In the temporary folder (TMPDIR), which scripts/test.sh gives the run of its own.
    std::string path = (std::filesystem::temp_directory_path() / "kestro-test-cert-XXXXXX").string();
    const int fd = ::mkstemp(path.data());
    if (fd < 0) throw std::runtime_error("cannot create the test certificate file");
    if (::write(fd, result.certificatePem.data(), result.certificatePem.size()) !=
        static_cast<ssize_t>(result.certificatePem.size())) {
        ::close(fd);
        throw std::runtime_error("cannot write the test certificate file");
    }
    ::close(fd);
    result.certificateFile = path;
    // The handler runs after the certificate (a static made while this runs) is destroyed, so it
    // removes a copy of the path that is never destroyed.
    static const char* fileToRemove = ::strdup(path.c_str());
    std::atexit([] { std::remove(fileToRemove); });
    return result;
}

}  // namespace

const TestCertificate& TestCertificate::get() {
    static const TestCertificate certificate = generateCertificate();
    return certificate;
}

}  // namespace support
