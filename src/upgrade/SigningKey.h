// The key whose signatures the program accepts: built in at configure time from a key file.
#pragma once

#include <string>

namespace ZEPMaintenance {

// Upper-case hex SHA-1 of the decoded public-key blob, 40 characters; compared byte for byte with
// a container's key identifier.
extern const char SigningKeyId[];
// Base64 of the 276-byte public-key blob (PUBLICKEYBLOB, RSA key exchange, 2048 bits).
extern const wchar_t SigningPublicKey[];
// The file the build took its key from, and whether that is the public development pair.
extern const char SigningKeySource[];
extern const bool SigningKeyIsDevelopment;

// A key as the verification takes it: the built-in one, or a key file's (the release tool).
struct SigningKey {
    std::string keyId;
    std::wstring publicKey;
};

SigningKey BuiltInSigningKey();

} // namespace ZEPMaintenance
