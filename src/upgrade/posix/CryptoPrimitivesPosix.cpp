// Linux side of SignedManifestFile's primitives: the container as a descriptor opened without
// following a link, the signature check with OpenSSL over the same public-key blob CryptoAPI imports.
#include "upgrade/CryptoPrimitives.h"

#include "base/WinError.h"
#include "system/Base64.h"
#include "system/posix/PosixSupport.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ZEPMaintenance::platform {

namespace {

// PUBLICKEYBLOB header: bType, bVersion, reserved, aiKeyAlg; then RSAPUBKEY: magic, bitlen, pubexp.
constexpr uint8_t kPublicKeyBlob = 0x06;
constexpr uint8_t kBlobVersion = 2;
constexpr uint32_t kAlgorithmRsaKeyExchange = 0xA400;
constexpr uint32_t kAlgorithmRsaSign = 0x2400;
constexpr uint32_t kRsaPublicMagic = 0x31415352; // "RSA1"
constexpr uint32_t kBlobHeaderSize = 20;

uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

EVP_MD_CTX* HashContext(const CryptHash& hash) {
    return reinterpret_cast<EVP_MD_CTX*>(hash.Get());
}

struct PkeyContextDeleter {
    void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct ParamBuildDeleter {
    void operator()(OSSL_PARAM_BLD* build) const { OSSL_PARAM_BLD_free(build); }
};
struct ParamDeleter {
    void operator()(OSSL_PARAM* params) const { OSSL_PARAM_free(params); }
};
struct BignumDeleter {
    void operator()(BIGNUM* number) const { BN_free(number); }
};

} // namespace

void ContainerFileTraits::Close(Value value) noexcept {
    close(static_cast<int>(value));
}

// The provider stands for the SHA-256 implementation fetched once per check.
void CryptProviderTraits::Close(Value value) noexcept {
    EVP_MD_free(reinterpret_cast<EVP_MD*>(value));
}

void CryptKeyTraits::Close(Value value) noexcept {
    EVP_PKEY_free(reinterpret_cast<EVP_PKEY*>(value));
}

void CryptHashTraits::Close(Value value) noexcept {
    EVP_MD_CTX_free(reinterpret_cast<EVP_MD_CTX*>(value));
}

uint32_t OpenContainerFile(const std::wstring& path, ContainerFile& file) {
    // The data folder is written by an unelevated user: a link is not followed, a FIFO never waited on.
    posix::UniqueFd opened;
    const uint32_t error =
        posix::OpenObject(posix::NativePath(path), O_RDONLY, posix::ObjectKind::File, opened);
    if (error != WinError::kSuccess) {
        return error;
    }
    file.Reset(opened.Release());
    return WinError::kSuccess;
}

uint32_t GetContainerFileSize(const ContainerFile& file, uint32_t& size) {
    struct stat info {};
    if (fstat(static_cast<int>(file.Get()), &info) != 0) {
        return posix::LastWinError();
    }
    size = static_cast<uint32_t>(static_cast<uint64_t>(info.st_size) & 0xFFFFFFFFu);
    return WinError::kSuccess;
}

uint32_t ReadContainerFile(const ContainerFile& file, uint8_t* buffer, uint32_t size, uint32_t& read) {
    // ReadFile on a file fills the buffer unless the file ends; read(2) may stop early.
    read = 0;
    while (read < size) {
        const ssize_t count = ::read(static_cast<int>(file.Get()), buffer + read, size - read);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return posix::LastWinError();
        }
        if (count == 0) {
            break;
        }
        read += static_cast<uint32_t>(count);
    }
    return WinError::kSuccess;
}

uint32_t DecodeBase64Blob(const std::wstring& text, uint8_t* buffer, uint32_t& size) {
    std::vector<uint8_t> bytes;
    if (!DecodeBase64(text, bytes)) {
        return WinError::kInvalidData;
    }
    if (bytes.size() > size) {
        return WinError::kMoreData;
    }
    std::copy(bytes.begin(), bytes.end(), buffer);
    size = static_cast<uint32_t>(bytes.size());
    return WinError::kSuccess;
}

void QueryOsVersion(uint32_t& major, uint32_t& minor) {
    major = 10;
    minor = 0;
}

uint32_t AcquireVerifyContext(const std::wstring& /*providerName*/, uint32_t /*providerType*/,
                              CryptProvider& provider) {
    EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    if (sha256 == nullptr) {
        return WinError::kNotSupported;
    }
    provider.Reset(reinterpret_cast<uintptr_t>(sha256));
    return WinError::kSuccess;
}

uint32_t ImportPublicKeyBlob(const CryptProvider& /*provider*/, const uint8_t* blob, uint32_t size,
                             CryptKey& key) {
    // The checks CryptImportKey makes of a PUBLICKEYBLOB, with its error numbers.
    if (size < kBlobHeaderSize) {
        return kNteBadData;
    }
    if (blob[0] != kPublicKeyBlob) {
        return kNteBadType;
    }
    if (blob[1] != kBlobVersion) {
        return kNteBadVersion;
    }
    const uint32_t algorithm = U32(blob + 4);
    if (algorithm != kAlgorithmRsaKeyExchange && algorithm != kAlgorithmRsaSign) {
        return kNteBadAlgorithm;
    }
    const uint32_t bits = U32(blob + 12);
    const uint32_t exponent = U32(blob + 16);
    if (U32(blob + 8) != kRsaPublicMagic || bits == 0 || bits % 8 != 0 || size < kBlobHeaderSize + bits / 8) {
        return kNteBadData;
    }
    // The blob's modulus is little-endian.
    const std::unique_ptr<BIGNUM, BignumDeleter> modulus(
        BN_lebin2bn(blob + kBlobHeaderSize, static_cast<int>(bits / 8), nullptr));
    const std::unique_ptr<BIGNUM, BignumDeleter> publicExponent(BN_new());
    const std::unique_ptr<OSSL_PARAM_BLD, ParamBuildDeleter> build(OSSL_PARAM_BLD_new());
    if (!modulus || !publicExponent || !build || BN_set_word(publicExponent.get(), exponent) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, modulus.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, publicExponent.get()) != 1) {
        return WinError::kNotEnoughMemory;
    }
    const std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(build.get()));
    const std::unique_ptr<EVP_PKEY_CTX, PkeyContextDeleter> context(
        EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* made = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &made, EVP_PKEY_PUBLIC_KEY, params.get()) != 1) {
        return kNteBadData;
    }
    key.Reset(reinterpret_cast<uintptr_t>(made));
    return WinError::kSuccess;
}

uint32_t CreateSha256Hash(const CryptProvider& provider, CryptHash& hash) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context == nullptr) {
        return WinError::kNotEnoughMemory;
    }
    hash.Reset(reinterpret_cast<uintptr_t>(context));
    return EVP_DigestInit_ex2(context, reinterpret_cast<const EVP_MD*>(provider.Get()), nullptr) == 1
               ? WinError::kSuccess
               : WinError::kInvalidParameter;
}

uint32_t HashBytes(const CryptHash& hash, const uint8_t* data, uint32_t size) {
    return EVP_DigestUpdate(HashContext(hash), data, size) == 1 ? WinError::kSuccess
                                                                : WinError::kInvalidParameter;
}

uint32_t VerifyHashSignature(const CryptHash& hash, const CryptKey& key, const uint8_t* signature,
                             uint32_t size) {
    auto* publicKey = reinterpret_cast<EVP_PKEY*>(key.Get());
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_DigestFinal_ex(HashContext(hash), digest, &digestSize) != 1) {
        return WinError::kInvalidParameter;
    }
    // CryptoAPI refuses a signature that is not exactly one modulus long.
    if (size != static_cast<uint32_t>(EVP_PKEY_get_size(publicKey))) {
        return kNteBadSignature;
    }
    std::vector<uint8_t> bigEndian(signature, signature + size);
    std::reverse(bigEndian.begin(), bigEndian.end());
    const std::unique_ptr<EVP_PKEY_CTX, PkeyContextDeleter> context(EVP_PKEY_CTX_new(publicKey, nullptr));
    if (!context || EVP_PKEY_verify_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1) {
        return WinError::kNotEnoughMemory;
    }
    return EVP_PKEY_verify(context.get(), bigEndian.data(), bigEndian.size(), digest, digestSize) == 1
               ? WinError::kSuccess
               : kNteBadSignature;
}

} // namespace ZEPMaintenance::platform
