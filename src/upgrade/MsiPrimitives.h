// Platform primitives of MsiValidator: the package's signer, its name attributes and its chain, one per
// platform call, each returning a Windows error number or HRESULT (0 = success).
#pragma once

#include "base/UniqueHandle.h"

#include <cstdint>
#include <string>

namespace ZEPMaintenance::platform {

// HRESULTs that MsiGetFileSignatureInformationW gives and the Linux side reports in its place.
inline constexpr uint32_t kTrustENoSignature = 0x800B0100u;        // TRUST_E_NOSIGNATURE
inline constexpr uint32_t kTrustEBadDigest = 0x80096010u;          // TRUST_E_BAD_DIGEST
inline constexpr uint32_t kTrustECertSignature = 0x80096004u;      // TRUST_E_CERT_SIGNATURE
inline constexpr uint32_t kTrustESubjectFormUnknown = 0x800B0003u; // TRUST_E_SUBJECT_FORM_UNKNOWN
inline constexpr uint32_t kCryptEAsn1BadTag = 0x8009310Bu;         // CRYPT_E_ASN1_BADTAG
inline constexpr uint32_t kNteBadAlgId = 0x80090008u;              // NTE_BAD_ALGID
// HRESULT_FROM_WIN32.
constexpr uint32_t HresultFromWin32(uint32_t error) {
    return error == 0 || (error & 0x80000000u) != 0 ? error : (error & 0xFFFFu) | 0x80070000u;
}

// MSI_INVALID_HASH_IS_FATAL.
inline constexpr uint32_t kMsiInvalidHashIsFatal = 1;

// CERT_TRUST_* error and information bits of a chain's trust status.
inline constexpr uint32_t kTrustIsNotTimeValid = 0x1;
inline constexpr uint32_t kTrustIsRevoked = 0x4;
inline constexpr uint32_t kTrustIsNotSignatureValid = 0x8;
inline constexpr uint32_t kTrustIsNotValidForUsage = 0x10;
inline constexpr uint32_t kTrustIsUntrustedRoot = 0x20;
inline constexpr uint32_t kTrustIsCyclic = 0x80;
inline constexpr uint32_t kTrustIsPartialChain = 0x10000;
inline constexpr uint32_t kTrustHasExactMatchIssuer = 0x1;
inline constexpr uint32_t kTrustHasKeyMatchIssuer = 0x2;
inline constexpr uint32_t kTrustHasNameMatchIssuer = 0x4;
inline constexpr uint32_t kTrustIsSelfSigned = 0x8;

// The signer's certificate context (with the store of the signature's certificates), and a chain engine.
struct SignerCertificateTraits {
    using Value = uintptr_t;
    static Value Invalid() noexcept { return 0; }
    static void Close(Value value) noexcept;
};
using SignerCertificate = UniqueHandle<SignerCertificateTraits>;
struct ChainEngineTraits {
    using Value = uintptr_t;
    static Value Invalid() noexcept { return 0; }
    static void Close(Value value) noexcept;
};
using ChainEngine = UniqueHandle<ChainEngineTraits>;

// MsiGetFileSignatureInformationW(path, flags, &certificate, no hash buffer): the signer of a package
// whose signature is valid and, with kMsiInvalidHashIsFatal, whose content has the signed digest.
[[nodiscard]] uint32_t GetFileSignatureInformation(const std::wstring& path, uint32_t flags,
                                                   SignerCertificate& signer);
// FormatMessageW(ALLOCATE_BUFFER | FROM_SYSTEM | IGNORE_INSERTS, code, language 0x409): the system's
// text of code; empty when it has none.
std::wstring SystemMessageText(uint32_t code);
// CertGetNameStringW(CERT_NAME_ATTR_TYPE, oid), asked for the length, then filled; cut at the first NUL.
// Empty when the certificate has no such attribute.
std::wstring CertificateNameAttribute(const SignerCertificate& signer, const char* oid);
// CertCreateCertificateChainEngine with the 52-byte configuration: no stores, CERT_CHAIN_CACHE_END_CERT,
// default time-out and cache sizes.
[[nodiscard]] uint32_t CreateChainEngine(ChainEngine& engine);
// CertGetCertificateChain with the default engine, the current time, the signer's own store, no usage
// (AND of nothing) and flags 0; the chain's trust status, then CertFreeCertificateChain. False when no
// chain was built.
[[nodiscard]] bool BuildSignerChain(const SignerCertificate& signer, uint32_t& errorStatus,
                                    uint32_t& infoStatus);

// The Windows Installer's program: the fixed "c:\windows\system32\msiexec.exe" on Windows, not taken
// from the system; on Linux msiexec.exe in the System folder stand-in.
std::wstring MsiInstallerPath();

} // namespace ZEPMaintenance::platform
