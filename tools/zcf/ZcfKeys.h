// zcf: signing keys, the public-key blob the program embeds, key files and signed containers.
#pragma once

#include "upgrade/SigningKey.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace zcf {

// A failure the user must see: the message and the tool's exit code.
struct ToolError {
    int exitCode;
    std::string message;
};

inline constexpr int kExitRejected = 1; // a container or data folder that an update would refuse
inline constexpr int kExitUsage = 2;    // bad command line
inline constexpr int kExitInput = 3;    // a file missing, unreadable or malformed; an output not written

// The pass phrase of an encrypted private key, wiped from memory when dropped.
class PassPhrase {
public:
    PassPhrase() = default;
    explicit PassPhrase(std::string text) : text_(std::move(text)), given_(true) {}
    ~PassPhrase();
    PassPhrase(PassPhrase&& other) noexcept;
    PassPhrase& operator=(PassPhrase&& other) noexcept;
    PassPhrase(const PassPhrase&) = delete;
    PassPhrase& operator=(const PassPhrase&) = delete;

    bool Given() const { return given_; }
    const std::string& Text() const { return text_; }

private:
    std::string text_;
    bool given_ = false;
};

// The pass phrase from the first line of a file (--pass-file) or from an environment variable
// (--pass-env), never from the command line; none when neither is named.
PassPhrase ReadPassPhrase(const std::string* passFile, const std::string* passEnv);

// An RSA private key read from PEM, with its public half in the program's form.
class PrivateKey {
public:
    PrivateKey() = default;
    ~PrivateKey();
    PrivateKey(const PrivateKey&) = delete;
    PrivateKey& operator=(const PrivateKey&) = delete;

    static void Generate(PrivateKey& key);
    // An encrypted key (PKCS#8 or the traditional PEM encryption) is decrypted with passPhrase; a
    // pass phrase that does not decrypt it is told apart from a key that is malformed.
    static void Load(const std::string& pemPath, const PassPhrase& passPhrase, PrivateKey& key);
    // PKCS#8 PEM, encrypted with AES-256-CBC under passPhrase when one is given.
    void SavePem(const std::string& path, const PassPhrase& passPhrase) const;

    // The 276-byte PUBLICKEYBLOB: 8-byte blob header, RSAPUBKEY, modulus least significant byte first.
    std::vector<uint8_t> PublicKeyBlob() const;
    ZEPMaintenance::SigningKey Public() const;
    // RSA PKCS#1 v1.5 over the SHA-256 of data, most significant byte first.
    std::vector<uint8_t> Sign(const std::vector<uint8_t>& data) const;

private:
    void* key_ = nullptr; // EVP_PKEY
};

// Upper-case hex SHA-1 of the blob: the key identifier of a container and of a build.
std::string KeyIdOf(const std::vector<uint8_t>& blob);
std::wstring Base64Of(const std::vector<uint8_t>& blob);

// A key file: "KeyId=" and "PublicKey=" lines, '#' comments; what CMake reads for a build.
std::string KeyFileText(const ZEPMaintenance::SigningKey& key);
ZEPMaintenance::SigningKey ReadKeyFile(const std::string& path);

// magic, 20 zero reserved bytes, key id, L, signature, data.
std::vector<uint8_t> BuildContainer(const std::string& keyId, const std::vector<uint8_t>& signature,
                                    const std::vector<uint8_t>& data);

std::vector<uint8_t> ReadWholeFile(const std::string& path);
// A new temporary file beside path holding bytes (synced); Publish renames it over path.
std::string WriteTemporaryBeside(const std::string& path, const std::vector<uint8_t>& bytes);
void Publish(const std::string& temporary, const std::string& path);
// Creates the file; refuses to replace an existing one.
void WriteNewFile(const std::string& path, const std::string& text, unsigned mode);

// "2 (the file does not exist)", "0x80090003 (the key identifier differs)".
std::string DescribeCode(uint32_t code);

// What an object that is not a regular file is, for messages ("a symbolic link", "a FIFO", ...).
const char* ObjectKindName(mode_t mode);

} // namespace zcf
