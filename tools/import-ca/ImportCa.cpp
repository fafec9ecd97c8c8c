// import-ca FILE: adds the PEM or DER certificate in FILE to the local machine's Root store.
// Exit code 0 when the store holds it afterwards, 1 otherwise.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/Handle.h"

namespace {

struct CertStoreTraits {
    using Type = HCERTSTORE;
    static Type Empty() noexcept { return nullptr; }
    static void Close(Type h) noexcept { CertCloseStore(h, 0); }
};

bool ReadWhole(const wchar_t* path, std::vector<BYTE>& bytes) {
    Unique<FileHandleTraits> file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 || size.QuadPart > (1 << 20)) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    return ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr) &&
           got == bytes.size();
}

// PEM text becomes DER; anything that is not PEM is taken as DER already.
std::vector<BYTE> ToDer(const std::vector<BYTE>& raw) {
    const std::string text(raw.begin(), raw.end());
    if (text.find("-----BEGIN") == std::string::npos) return raw;
    DWORD length = 0;
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &length, nullptr, nullptr))
        return {};
    std::vector<BYTE> der(length);
    if (!CryptStringToBinaryA(text.c_str(), static_cast<DWORD>(text.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &length, nullptr, nullptr))
        return {};
    der.resize(length);
    return der;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fputs("usage: import-ca CERTIFICATE.pem|.der\n", stderr);
        return 1;
    }
    std::vector<BYTE> raw;
    if (!ReadWhole(argv[1], raw)) {
        std::fputs("import-ca: cannot read the certificate file\n", stderr);
        return 1;
    }
    const std::vector<BYTE> der = ToDer(raw);
    if (der.empty()) {
        std::fputs("import-ca: not a PEM or DER certificate\n", stderr);
        return 1;
    }
    Unique<CertStoreTraits> store(CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                                CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root"));
    if (!store) {
        std::fprintf(stderr, "import-ca: cannot open the Root store (error %lu)\n", GetLastError());
        return 1;
    }
    if (!CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, der.data(),
                                          static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                          nullptr)) {
        std::fprintf(stderr, "import-ca: the store refused the certificate (error %lu)\n", GetLastError());
        return 1;
    }
    return 0;
}
