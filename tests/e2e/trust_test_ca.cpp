// Trusts the end-to-end tests' certificate authority for the current user:
// adds the DER certificate in the given file to the user's Root store, so that
// WinHTTP accepts the loopback server's certificate that it signed. The tests
// run it in their own Wine prefix only. On real Windows the system asks the
// user to confirm; there it is not meant to run.
//
//   pelbrook_trust_ca CERTIFICATE.der     exit code 0 once the store holds it

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: pelbrook_trust_ca CERTIFICATE.der\n", stderr);
        return 2;
    }
    std::vector<BYTE> der;
    if (FILE* file = _wfopen(argv[1], L"rb")) {
        BYTE buffer[4096];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
            der.insert(der.end(), buffer, buffer + got);
        }
        std::fclose(file);
    }
    if (der.empty()) {
        std::fputs("pelbrook_trust_ca: cannot read the certificate\n", stderr);
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (store == nullptr) {
        std::fprintf(stderr, "pelbrook_trust_ca: cannot open the Root store (error %lu)\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(
        store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "pelbrook_trust_ca: the Root store refused the certificate (error %lu)\n", error);
        return 1;
    }
    return 0;
}
