#include <cstdlib>

#include "common/environment.h"
#include "common/temp_dir.h"
#include "common/trusted_authority.h"

namespace zefo::test {

struct TrustedAuthority::Added {};

std::string TlsFixtureFolder() {
    const char* folder = std::getenv("ZEFO_TLS_FIXTURE");
    return folder && *folder ? std::string(folder) + "/" : std::string();
}

// OpenSSL reads the variable each time a TLS context takes the default paths.
TrustedAuthority::TrustedAuthority(const std::string& pemPath) {
    if (!FileExists(pemPath))
        error_ = pemPath + " is missing";
    SetEnvironment("SSL_CERT_FILE", pemPath);
}

TrustedAuthority::~TrustedAuthority() {
    unsetenv("SSL_CERT_FILE");
}

}  // namespace zefo::test
