// What tests over TLS do differently per platform: where the fixture's files
// are, and how the test authority becomes trusted by the program's checks.
#pragma once

#include <memory>
#include <string>

namespace zefo::test {

// The fixture folder (from ZEFO_TLS_FIXTURE) as this program opens it, ending
// in a separator; empty when the variable is not set.
std::string TlsFixtureFolder();

// Trusts the certificate in the PEM file for as long as the object lives: the
// OpenSSL trust file, or the Root store of the (Wine) system.
class TrustedAuthority {
  public:
    explicit TrustedAuthority(const std::string& pemPath);
    ~TrustedAuthority();
    TrustedAuthority(const TrustedAuthority&) = delete;
    TrustedAuthority& operator=(const TrustedAuthority&) = delete;
    // Empty when the authority is trusted, otherwise what failed.
    const std::string& error() const { return error_; }

  private:
    struct Added;
    std::unique_ptr<Added> added_;
    std::string error_;
};

}  // namespace zefo::test
