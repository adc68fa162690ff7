// A throwaway certificate authority and a server certificate it signed,
// made at run time, for HTTPS tests against servers on this machine.
#pragma once

#include <string>

namespace zem_test {

struct TestCa {
    std::string folder;       // holds the three files below
    std::string ca_cert;      // PEM: the CA certificate to trust (SSL_CERT_FILE)
    std::string server_cert;  // PEM: for "localhost", DNS:localhost and IP:127.0.0.1
    std::string server_key;   // PEM: the server certificate's private key
};

// Makes a fresh CA and a server certificate signed by it in a new folder
// under $ZEM_TEST_TMP (or /tmp). Every call makes a different CA. False
// when OpenSSL or the file system fails; *ca is then untouched.
bool make_test_ca(TestCa* ca);

// Deletes the folder and its files.
void remove_test_ca(const TestCa& ca);

}  // namespace zem_test
