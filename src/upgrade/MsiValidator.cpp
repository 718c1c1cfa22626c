// The Authenticode signer check of an MSI package, over the platform's signature, name and chain calls.
#include "upgrade/MsiValidator.h"

#include "diag/Log.h"
#include "upgrade/MsiPrimitives.h"

#include <cstdio>
#include <exception>

namespace ZEPMaintenance {

namespace {

constexpr const char* kOidCommonName = "2.5.4.3";
constexpr const char* kOidCountry = "2.5.4.6";

struct StatusText {
    uint32_t status;
    const wchar_t* text;
};

constexpr StatusText kTrustErrorTexts[] = {
    {0x0, L"No error found for this certificate or chain.\n"},
    {0x1, L"This certificate or one of the certificates in the certificate chain is not time-valid."},
    {0x4,
     L"Trust for this certificate or one of the certificates in the certificate chain has been revoked."},
    {0x8,
     L"The certificate or one of the certificates in the certificate chain does not have a valid signature."},
    {0x10, L"The certificate or certificate chain is not valid in its proposed usage."},
    {0x20, L"The certificate or certificate chain is based on an untrusted root."},
    {0x40, L"The revocation status of the certificate or one of thecertificates in the certificate chain is "
           L"unknown."},
    {0x80, L"One of the certificates in the chain was issued by a certification authority that the original "
           L"certificate had certified."},
    {0x10000, L"The certificate chain is not complete."},
    {0x20000, L"A CTL used to create this chain was not time-valid."},
    {0x40000, L"A CTL used to create this chain did not have a valid signature."},
    {0x80000, L"A CTL used to create this chain is not valid for this usage."},
};

constexpr StatusText kTrustInfoTexts[] = {
    {0x0, L"No information status reported."},
    {0x1, L"An exact match issuer certificate has been found for this certificate."},
    {0x2, L"A key match issuer certificate has been found for this certificate."},
    {0x4, L"A name match issuer certificate has been found for this certificate."},
    {0x8, L"This certificate is self-signed."},
    {0x10000, L"The certificate chain created is a complex chain."},
};

template <std::size_t N> const wchar_t* Lookup(const StatusText (&table)[N], uint32_t status) {
    for (const StatusText& row : table) {
        if (row.status == status) {
            return row.text;
        }
    }
    return nullptr;
}

bool Verify(const std::wstring& path) {
    Logger& log = mainLogger();
    log.Debug(L"VerifyMsiAuthenticodeSignature('%ls')", path);

    platform::SignerCertificate signer;
    const uint32_t result =
        platform::GetFileSignatureInformation(path, platform::kMsiInvalidHashIsFatal, signer);
    log.Debug(L"MsiGetFileSignatureInformationW result=0x%08x", result);
    if (result != 0) {
        log.Debug(L"MsiGetFileSignatureInformationW ERROR result=0x%08x '%ls'", result,
                  platform::SystemMessageText(result));
        return false;
    }

    const std::wstring commonName = platform::CertificateNameAttribute(signer, kOidCommonName);
    const std::wstring country = platform::CertificateNameAttribute(signer, kOidCountry);
    log.Debug(L"MSI     : cn='%ls' c='%ls'", commonName, country);
    log.Debug(L"        : cn='%ls' c='%ls'", MsiValidator::HexCodes(commonName),
              MsiValidator::HexCodes(country));

    bool nameMatches = false;
    for (const std::wstring* required : {&kMsiSignerCommonName, &kMsiSignerCommonNameDiacritics}) {
        log.Debug(L"required: cn='%ls' c='%ls'", *required, kMsiSignerCountry);
        log.Debug(L"required: cn='%ls' c='%ls'", MsiValidator::HexCodes(*required),
                  MsiValidator::HexCodes(kMsiSignerCountry));
        nameMatches = nameMatches || commonName == *required;
    }
    if (!nameMatches) {
        log.ErrorText(L"MSI package is not signed by the authorised signer (cn).");
        return false;
    }
    if (country != kMsiSignerCountry) {
        log.ErrorText(L"MSI package is not signed by the authorised signer. (c)");
        return false;
    }
    log.ErrorText(L"MSI package is signed by the authorised signer.");

    platform::ChainEngine engine;
    if (platform::CreateChainEngine(engine) != 0) {
        log.ErrorText(L"The engine creation function failed.");
        return false;
    }
    log.DebugText(L"A chain engine has been created.");

    uint32_t errorStatus = 0;
    uint32_t infoStatus = 0;
    const bool built = platform::BuildSignerChain(signer, errorStatus, infoStatus);
    log.Debug(L"VerifyMsiAuthenticodeSignature() CertGetCertificateChain result=%d", built ? 1 : 0);
    const bool verified = built && errorStatus == 0;
    if (built) {
        if (const wchar_t* text = MsiValidator::TrustErrorText(errorStatus)) {
            if (errorStatus == 0) {
                log.InfoText(text);
            } else {
                log.ErrorText(text);
            }
        }
        if (const wchar_t* text = MsiValidator::TrustInfoText(infoStatus)) {
            log.ErrorText(text);
        }
    }
    engine.Reset();
    log.Debug(L"VerifyMsiAuthenticodeSignature() result=%d. END", verified ? 1 : 0);
    return verified;
}

} // namespace

const wchar_t* MsiValidator::TrustErrorText(uint32_t status) {
    return Lookup(kTrustErrorTexts, status);
}

const wchar_t* MsiValidator::TrustInfoText(uint32_t status) {
    return Lookup(kTrustInfoTexts, status);
}

std::wstring MsiValidator::HexCodes(const std::wstring& text) {
    std::wstring hex;
    for (const wchar_t c : text) {
        char digits[16];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(c));
        for (const char* p = digits; *p != '\0'; ++p) {
            hex.push_back(static_cast<wchar_t>(*p));
        }
    }
    return hex;
}

bool MsiValidator::VerifyMsiAuthenticodeSignature(const std::wstring& path) {
    // A yes or no, never an exception: what cannot be checked is not accepted.
    try {
        return Verify(path);
    } catch (const std::exception&) {
        mainLogger().ErrorText(L"VerifyMsiAuthenticodeSignature() failed unexpectedly.");
    } catch (...) {
        mainLogger().ErrorText(L"VerifyMsiAuthenticodeSignature() failed unexpectedly.");
    }
    mainLogger().Debug(L"VerifyMsiAuthenticodeSignature() result=%d. END", 0);
    return false;
}

} // namespace ZEPMaintenance
