#include <windows.h>

#include <wincrypt.h>

#include <cstdlib>
#include <string>

#include "common/temp_dir.h"
#include "common/trusted_authority.h"

namespace zefo::test {

struct TrustedAuthority::Added {
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT certificate = nullptr;
    ~Added() {
        // Deleting frees the context too.
        if (certificate && CertDeleteCertificateFromStore(certificate))
            CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
        if (store)
            CertCloseStore(store, 0);
    }
};

// The fixture runs on the Linux side; Wine shows its root as drive Z:.
std::string TlsFixtureFolder() {
    const char* folder = std::getenv("ZEFO_TLS_FIXTURE");
    return folder && *folder == '/' ? "Z:" + std::string(folder) + "/" : std::string();
}

// The machine's Root store (the current user's would ask for a confirmation on
// Windows). The registry store writes its changes only when committed, and the
// chain engine reads the registry.
TrustedAuthority::TrustedAuthority(const std::string& pemPath) : added_(std::make_unique<Added>()) {
    const std::string pem = ReadFileBytes(pemPath);
    DWORD size = 0;
    if (pem.empty() || !CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             nullptr, &size, nullptr, nullptr)) {
        error_ = pemPath + " holds no certificate";
        return;
    }
    std::string der(size, '\0');
    CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                         reinterpret_cast<BYTE*>(der.data()), &size, nullptr, nullptr);
    added_->store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!added_->store) {
        error_ = "the Root store cannot be opened: " + std::to_string(GetLastError());
        return;
    }
    if (!CertAddEncodedCertificateToStore(added_->store, X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()),
                                          size, CERT_STORE_ADD_REPLACE_EXISTING, &added_->certificate) ||
        !CertControlStore(added_->store, 0, CERT_STORE_CTRL_COMMIT, nullptr))
        error_ = "the authority cannot be added to the Root store: " + std::to_string(GetLastError());
}

TrustedAuthority::~TrustedAuthority() = default;

}  // namespace zefo::test
