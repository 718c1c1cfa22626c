// Linux side of MsiValidator's primitives: the package read as an OLE compound file (libgsf), its
// Authenticode digest over the streams, the PKCS#7 signature and the chain checked with OpenSSL against
// the trust store below the machine root.
#include "upgrade/MsiPrimitives.h"

#include "base/WinError.h"
#include "base/posix/Descriptor.h"
#include "base/posix/Utf8.h"
#include "system/posix/PosixSupport.h"
#include "upgrade/posix/MsiDigest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <vector>

namespace ZEPMaintenance::platform {

namespace {

// SPC_INDIRECT_DATA_OBJID and SPC_SIPINFO_OBJID, the content type of an Authenticode signature and
// the subject type that names a structured-storage (MSI) subject.
constexpr const char* kSpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
constexpr const char* kSpcSipInfoOid = "1.3.6.1.4.1.311.2.1.30";

// Larger than any signature with its chain and time stamps.
constexpr int64_t kSignatureStreamLimit = 4 * 1024 * 1024;

// The signer and the certificates the signature carries, which its chain may use (the certificate
// context's own store on Windows).
struct Signer {
    X509* certificate = nullptr;
    STACK_OF(X509) * certificates = nullptr;
};

Signer* NativeSigner(const SignerCertificate& signer) {
    return reinterpret_cast<Signer*>(signer.Get());
}

template <class T, void (*release)(T*)> struct Releaser {
    void operator()(T* value) const { release(value); }
};
using Pkcs7Pointer = std::unique_ptr<PKCS7, Releaser<PKCS7, PKCS7_free>>;
using ObjectPointer = std::unique_ptr<ASN1_OBJECT, Releaser<ASN1_OBJECT, ASN1_OBJECT_free>>;
using DigestContextPointer = std::unique_ptr<EVP_MD_CTX, Releaser<EVP_MD_CTX, EVP_MD_CTX_free>>;
using StorePointer = std::unique_ptr<X509_STORE, Releaser<X509_STORE, X509_STORE_free>>;
using StoreContextPointer = std::unique_ptr<X509_STORE_CTX, Releaser<X509_STORE_CTX, X509_STORE_CTX_free>>;

void FreeCertificateStack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}

// One DER element: tag, then its contents.
struct DerElement {
    uint8_t tag = 0;
    const uint8_t* contents = nullptr;
    std::size_t length = 0;
    const uint8_t* begin = nullptr; // the tag
    const uint8_t* end = nullptr;   // past the contents
};

// Reads the element at data (low tag numbers, definite lengths: what DER allows here).
bool ReadDer(const uint8_t* data, const uint8_t* limit, DerElement& element) {
    if (limit - data < 2) {
        return false;
    }
    element.begin = data;
    element.tag = data[0];
    if ((element.tag & 0x1F) == 0x1F) {
        return false;
    }
    std::size_t length = data[1];
    const uint8_t* p = data + 2;
    if (length & 0x80) {
        const std::size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<std::size_t>(limit - p) < count) {
            return false;
        }
        length = 0;
        for (std::size_t i = 0; i < count; ++i) {
            length = length << 8 | *p++;
        }
    }
    if (static_cast<std::size_t>(limit - p) < length) {
        return false;
    }
    element.contents = p;
    element.length = length;
    element.end = p + length;
    return true;
}

bool IsObject(const DerElement& element, const char* oid) {
    if (element.tag != 0x06) {
        return false;
    }
    const unsigned char* p = element.begin;
    const ObjectPointer object(d2i_ASN1_OBJECT(nullptr, &p, element.end - element.begin));
    const ObjectPointer wanted(OBJ_txt2obj(oid, 1));
    return object && wanted && OBJ_cmp(object.get(), wanted.get()) == 0;
}

// SpcIndirectDataContent ::= SEQUENCE { data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }:
// the subject type must be SPC_SIPINFO_OBJID; gives the digest and its algorithm.
bool ParseIndirectData(const uint8_t* der, std::size_t size, const EVP_MD*& digest,
                       std::vector<uint8_t>& value) {
    const uint8_t* const limit = der + size;
    DerElement content, data, type, digestInfo, algorithm, algorithmOid, octets;
    if (!ReadDer(der, limit, content) || content.tag != 0x30 ||
        !ReadDer(content.contents, content.end, data) || data.tag != 0x30 ||
        !ReadDer(data.contents, data.end, type) || !IsObject(type, kSpcSipInfoOid) ||
        !ReadDer(data.end, content.end, digestInfo) || digestInfo.tag != 0x30 ||
        !ReadDer(digestInfo.contents, digestInfo.end, algorithm) || algorithm.tag != 0x30 ||
        !ReadDer(algorithm.contents, algorithm.end, algorithmOid) || algorithmOid.tag != 0x06 ||
        !ReadDer(algorithm.end, digestInfo.end, octets) || octets.tag != 0x04) {
        return false;
    }
    const unsigned char* p = algorithmOid.begin;
    const ObjectPointer object(d2i_ASN1_OBJECT(nullptr, &p, algorithmOid.end - algorithmOid.begin));
    digest = object ? EVP_get_digestbyobj(object.get()) : nullptr;
    value.assign(octets.contents, octets.end);
    return digest != nullptr;
}

bool Digest(const EVP_MD* md, const uint8_t* data, std::size_t size, std::vector<uint8_t>& out) {
    unsigned char buffer[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, buffer, &length, md, nullptr) != 1) {
        return false;
    }
    out.assign(buffer, buffer + length);
    return true;
}

// The signer's signature: the messageDigest attribute over the content (the SpcIndirectDataContent's
// contents without its tag and length, as Authenticode hashes it), the content-type attribute, and the
// signature over the DER of the authenticated attributes.
uint32_t VerifySignerInfo(PKCS7* p7, const DerElement& content, X509*& signerCertificate) {
    STACK_OF(PKCS7_SIGNER_INFO)* infos = PKCS7_get_signer_info(p7);
    if (infos == nullptr || sk_PKCS7_SIGNER_INFO_num(infos) != 1) {
        return kTrustENoSignature;
    }
    PKCS7_SIGNER_INFO* info = sk_PKCS7_SIGNER_INFO_value(infos, 0);
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0);
    if (signers == nullptr) {
        return kTrustENoSignature;
    }
    X509* certificate = sk_X509_value(signers, 0);
    sk_X509_free(signers);
    if (certificate == nullptr || info->auth_attr == nullptr) {
        return kTrustENoSignature;
    }
    const EVP_MD* md = EVP_get_digestbyobj(info->digest_alg->algorithm);
    if (md == nullptr) {
        return kNteBadAlgId;
    }
    ASN1_OCTET_STRING* messageDigest = PKCS7_digest_from_attributes(info->auth_attr);
    std::vector<uint8_t> computed;
    if (messageDigest == nullptr || !Digest(md, content.contents, content.length, computed) ||
        static_cast<std::size_t>(ASN1_STRING_length(messageDigest)) != computed.size() ||
        std::memcmp(ASN1_STRING_get0_data(messageDigest), computed.data(), computed.size()) != 0) {
        return kTrustECertSignature;
    }
    ASN1_TYPE* contentType = PKCS7_get_signed_attribute(info, NID_pkcs9_contentType);
    const ObjectPointer indirectData(OBJ_txt2obj(kSpcIndirectDataOid, 1));
    if (contentType == nullptr || contentType->type != V_ASN1_OBJECT ||
        OBJ_cmp(contentType->value.object, indirectData.get()) != 0) {
        return kTrustECertSignature;
    }
    unsigned char* attributes = nullptr;
    const int attributesLength = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(info->auth_attr), &attributes,
                                               ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (attributesLength <= 0) {
        return kTrustECertSignature;
    }
    const DigestContextPointer context(EVP_MD_CTX_new());
    const bool valid =
        context &&
        EVP_DigestVerifyInit(context.get(), nullptr, md, nullptr, X509_get0_pubkey(certificate)) == 1 &&
        EVP_DigestVerify(context.get(), ASN1_STRING_get0_data(info->enc_digest),
                         static_cast<std::size_t>(ASN1_STRING_length(info->enc_digest)), attributes,
                         static_cast<std::size_t>(attributesLength)) == 1;
    OPENSSL_free(attributes);
    if (!valid) {
        return kTrustECertSignature;
    }
    signerCertificate = certificate;
    return 0;
}

// The Windows chain status bit that stands for an OpenSSL verification error.
uint32_t TrustStatusOf(int error) {
    switch (error) {
    case X509_V_OK:
        return 0;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
        return kTrustIsNotTimeValid;
    case X509_V_ERR_CERT_REVOKED:
        return kTrustIsRevoked;
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
        return kTrustIsNotSignatureValid;
    case X509_V_ERR_INVALID_PURPOSE:
        return kTrustIsNotValidForUsage;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
        return kTrustIsUntrustedRoot;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        return kTrustIsPartialChain;
    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
        return 0x400; // CERT_TRUST_INVALID_BASIC_CONSTRAINTS
    default:
        return 0x100; // CERT_TRUST_INVALID_EXTENSION: whatever else makes the chain unusable
    }
}

// Every error the verification meets, not only the first: Windows reports them all in one status.
int CollectTrustStatus(int ok, X509_STORE_CTX* context) {
    if (!ok) {
        *static_cast<uint32_t*>(X509_STORE_CTX_get_app_data(context)) |=
            TrustStatusOf(X509_STORE_CTX_get_error(context));
    }
    return 1;
}

} // namespace

void SignerCertificateTraits::Close(Value value) noexcept {
    Signer* signer = reinterpret_cast<Signer*>(value);
    X509_free(signer->certificate);
    FreeCertificateStack(signer->certificates);
    delete signer;
}

// The engine configuration only shapes caching on Windows; the chain is built with the default engine.
void ChainEngineTraits::Close(Value) noexcept {}

uint32_t GetFileSignatureInformation(const std::wstring& path, uint32_t flags, SignerCertificate& signer) {
    msi::Package package;
    const uint32_t opened = package.Open(path);
    if (opened != 0) {
        return opened;
    }
    std::vector<uint8_t> signature;
    const uint32_t read = package.ReadSignature(kSignatureStreamLimit, signature);
    if (read != 0) {
        return read;
    }
    const unsigned char* p = signature.data();
    const Pkcs7Pointer p7(d2i_PKCS7(nullptr, &p, static_cast<long>(signature.size())));
    if (!p7) {
        return kCryptEAsn1BadTag;
    }
    const ObjectPointer indirectData(OBJ_txt2obj(kSpcIndirectDataOid, 1));
    if (!PKCS7_type_is_signed(p7.get()) || p7->d.sign->contents == nullptr ||
        OBJ_cmp(p7->d.sign->contents->type, indirectData.get()) != 0 ||
        p7->d.sign->contents->d.other == nullptr || p7->d.sign->contents->d.other->type != V_ASN1_SEQUENCE) {
        return kTrustENoSignature;
    }
    const ASN1_STRING* sequence = p7->d.sign->contents->d.other->value.sequence;
    const uint8_t* der = ASN1_STRING_get0_data(sequence);
    const std::size_t derSize = static_cast<std::size_t>(ASN1_STRING_length(sequence));
    DerElement content;
    const EVP_MD* md = nullptr;
    std::vector<uint8_t> signedDigest;
    if (!ReadDer(der, der + derSize, content) || !ParseIndirectData(der, derSize, md, signedDigest)) {
        return kTrustESubjectFormUnknown;
    }
    X509* certificate = nullptr;
    const uint32_t verified = VerifySignerInfo(p7.get(), content, certificate);
    if (verified != 0) {
        return verified;
    }
    if ((flags & kMsiInvalidHashIsFatal) != 0) {
        std::vector<uint8_t> computed;
        const uint32_t hashed = package.ComputeDigest(md, computed);
        if (hashed != 0) {
            return hashed;
        }
        if (computed != signedDigest) {
            return kTrustEBadDigest;
        }
    }
    auto owned = std::make_unique<Signer>();
    X509_up_ref(certificate);
    owned->certificate = certificate;
    owned->certificates = X509_chain_up_ref(p7->d.sign->cert);
    signer.Reset(reinterpret_cast<uintptr_t>(owned.release()));
    return 0;
}

std::wstring SystemMessageText(uint32_t code) {
    // The system's texts of the codes this side reports, as FormatMessageW gives them.
    struct Row {
        uint32_t code;
        const wchar_t* text;
    };
    static constexpr Row kTexts[] = {
        {kTrustENoSignature, L"No signature was present in the subject.\r\n"},
        {kTrustEBadDigest, L"The digital signature of the object did not verify.\r\n"},
        {kTrustESubjectFormUnknown,
         L"The form specified for the subject is not one supported or known by the specified trust "
         L"provider.\r\n"},
        {kCryptEAsn1BadTag, L"ASN1 bad tag value met.\r\n"},
        {kTrustECertSignature, L"The signature of the certificate cannot be verified.\r\n"},
        {kNteBadAlgId, L"Invalid algorithm specified.\r\n"},
        {HresultFromWin32(WinError::kFileNotFound), L"The system cannot find the file specified.\r\n"},
        {HresultFromWin32(WinError::kPathNotFound), L"The system cannot find the path specified.\r\n"},
        {HresultFromWin32(WinError::kAccessDenied), L"Access is denied.\r\n"},
        {HresultFromWin32(WinError::kCantAccessFile), L"The file cannot be accessed by the system.\r\n"},
        {HresultFromWin32(WinError::kNotEnoughMemory),
         L"Not enough memory resources are available to process this command.\r\n"},
        {HresultFromWin32(WinError::kInvalidName),
         L"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    };
    for (const Row& row : kTexts) {
        if (row.code == code) {
            return row.text;
        }
    }
    return {};
}

std::wstring CertificateNameAttribute(const SignerCertificate& signer, const char* oid) {
    const X509_NAME* subject = X509_get_subject_name(NativeSigner(signer)->certificate);
    const ObjectPointer object(OBJ_txt2obj(oid, 1));
    const int index = object ? X509_NAME_get_index_by_OBJ(subject, object.get(), -1) : -1;
    if (index < 0) {
        return {};
    }
    unsigned char* utf8 = nullptr;
    const int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) {
        return {};
    }
    std::string text(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    text.resize(std::min(text.size(), text.find('\0')));
    return posix::DecodeUtf8(text, posix::InvalidBytes::Replace);
}

uint32_t CreateChainEngine(ChainEngine& engine) {
    engine.Reset(1);
    return 0;
}

bool BuildSignerChain(const SignerCertificate& signer, uint32_t& errorStatus, uint32_t& infoStatus) {
    const Signer* native = NativeSigner(signer);
    const StorePointer store(X509_STORE_new());
    const StoreContextPointer context(X509_STORE_CTX_new());
    if (!store || !context) {
        return false;
    }
    // The machine's trusted roots: a folder of certificates under their subject-hash names.
    X509_STORE_load_path(store.get(), posix::UnderMachineRoot(msi::kTrustStoreFolder).c_str());
    uint32_t status = 0;
    if (X509_STORE_CTX_init(context.get(), store.get(), native->certificate, native->certificates) != 1) {
        return false;
    }
    X509_STORE_CTX_set_app_data(context.get(), &status);
    X509_STORE_CTX_set_verify_cb(context.get(), CollectTrustStatus);
    if (X509_verify_cert(context.get()) < 0) {
        return false;
    }
    errorStatus = status;
    infoStatus = X509_self_signed(native->certificate, 0) == 1 ? kTrustIsSelfSigned : 0;
    return true;
}

std::wstring MsiInstallerPath() {
    // What stands there is the deployment's business: tests put a small program in its place.
    return posix::WidePath(posix::UnderMachineRoot("usr/lib/zepmaintenance/system/msiexec.exe"));
}

} // namespace ZEPMaintenance::platform
