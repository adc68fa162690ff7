// zem-trust-test-ca: adds a PEM certificate to the machine's "ROOT" store.
//
// The Wine end-to-end tests run it once in their throwaway Wine prefix so
// that WinINet trusts the certificate nginx presents, made by the tests' own
// CA. The programs themselves always verify certificates; this is how a
// test makes its CA one they trust, as an administrator would on Windows.
//
// usage: zem-trust-test-ca <ca.pem>   exit code 0 when the certificate is in
// the store, 1 with a line on standard error otherwise.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>

namespace {

// The whole file, or false when it cannot be read.
bool read_file(const char* path, std::string* text) {
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return false;
    std::string whole;
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) whole.append(buffer, got);
    const bool read_through = ferror(file) == 0;
    fclose(file);
    if (!read_through) return false;
    *text = whole;
    return true;
}

// The first certificate of a PEM text in DER form, or false.
bool der_from_pem(const std::string& pem, std::string* der) {
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
        return false;
    }
    std::string bytes(size, '\0');
    if (!CryptStringToBinaryA(pem.c_str(), 0, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&bytes[0]), &size,
                              nullptr, nullptr)) {
        return false;
    }
    bytes.resize(size);
    *der = bytes;
    return true;
}

int fail(const char* what) {
    fprintf(stderr, "zem-trust-test-ca: %s (error %lu)\n", what, GetLastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: zem-trust-test-ca <ca.pem>\n");
        return 1;
    }
    std::string pem;
    if (!read_file(argv[1], &pem)) return fail("cannot read the certificate file");
    std::string der;
    if (!der_from_pem(pem, &der)) return fail("no PEM certificate in the file");

    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (store == nullptr) return fail("cannot open the ROOT store");
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                        reinterpret_cast<const BYTE*>(der.data()),
                                                        static_cast<DWORD>(der.size()),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        SetLastError(error);
        return fail("cannot add the certificate to the ROOT store");
    }
    return 0;
}
