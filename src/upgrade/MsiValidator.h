// The Authenticode signer check of an MSI package: the authorised signer's name and country, and a chain
// without trust errors.
#pragma once

#include <cstdint>
#include <string>

namespace ZEPMaintenance {

// The authorised signer: one of two spellings of its common name, and its country.
inline const std::wstring kMsiSignerCommonName = L"Orvanta Signing, a.s.";
inline const std::wstring kMsiSignerCommonNameDiacritics = L"Orv\u00E1nta Signing, a.s.";
inline const std::wstring kMsiSignerCountry = L"CZ";

class MsiValidator {
public:
    // True when the package's signature is valid, its signer is the authorised one and the signer's
    // chain has no trust error; otherwise false, explained in the main log. Never throws.
    static bool VerifyMsiAuthenticodeSignature(const std::wstring& path);

    // The texts logged for a chain's trust error status and information status, looked up as whole
    // values; null for a value that matches no row.
    static const wchar_t* TrustErrorText(uint32_t status);
    static const wchar_t* TrustInfoText(uint32_t status);
    // Each character's code in lower-case hexadecimal, at least two digits, no separators.
    static std::wstring HexCodes(const std::wstring& text);
};

} // namespace ZEPMaintenance
