#pragma once
// The certificate the loopback servers of the tests present for wss:// and https://.

#include <string>

namespace support {

// A certificate for "localhost" (no IP address in it), generated once per process.
struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
    std::string certificateFile;  // a file holding certificatePem, for SSL_CERT_FILE

    static const TestCertificate& get();
};

}  // namespace support
