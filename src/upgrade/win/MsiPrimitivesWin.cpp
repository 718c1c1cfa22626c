// Windows side of MsiValidator's primitives: the Windows Installer's signature call, taken from msi.dll
// by ordinal, and CryptoAPI's name and chain calls.
#include "upgrade/MsiPrimitives.h"

#include "base/win/WinHeaders.h"

#include <cstddef>
#include <vector>

namespace ZEPMaintenance::platform {

namespace {

// msi.dll exports MsiGetFileSignatureInformationW under this ordinal.
constexpr WORD kMsiGetFileSignatureInformationWOrdinal = 224;

using MsiGetFileSignatureInformationWFunction = HRESULT(WINAPI*)(LPCWSTR, DWORD, PCCERT_CONTEXT*, BYTE*,
                                                                 DWORD*);

// CERT_CHAIN_ENGINE_CONFIG as Windows 8 knows it, whatever version the headers are set for: 52 bytes in
// the 32-bit program.
struct FullChainEngineConfig {
    DWORD cbSize;
    HCERTSTORE hRestrictedRoot;
    HCERTSTORE hRestrictedTrust;
    HCERTSTORE hRestrictedOther;
    DWORD cAdditionalStore;
    HCERTSTORE* rghAdditionalStore;
    DWORD dwFlags;
    DWORD dwUrlRetrievalTimeout;
    DWORD MaximumCachedCertificates;
    DWORD CycleDetectionModulus;
    HCERTSTORE hExclusiveRoot;
    HCERTSTORE hExclusiveTrustedPeople;
    DWORD dwExclusiveFlags;
};
static_assert(sizeof(void*) != 4 || sizeof(FullChainEngineConfig) == 52);

PCCERT_CONTEXT Native(const SignerCertificate& signer) {
    return reinterpret_cast<PCCERT_CONTEXT>(signer.Get());
}

struct LibraryTraits {
    using Value = HMODULE;
    static HMODULE Invalid() noexcept { return nullptr; }
    static void Close(HMODULE module) noexcept { FreeLibrary(module); }
};

} // namespace

void SignerCertificateTraits::Close(Value value) noexcept {
    CertFreeCertificateContext(reinterpret_cast<PCCERT_CONTEXT>(value));
}

void ChainEngineTraits::Close(Value value) noexcept {
    CertFreeCertificateChainEngine(reinterpret_cast<HCERTCHAINENGINE>(value));
}

uint32_t GetFileSignatureInformation(const std::wstring& path, uint32_t flags, SignerCertificate& signer) {
    const UniqueHandle<LibraryTraits> library(LoadLibraryW(L"msi.dll"));
    if (!library) {
        return HresultFromWin32(GetLastError());
    }
    const auto function = reinterpret_cast<MsiGetFileSignatureInformationWFunction>(reinterpret_cast<void*>(
        GetProcAddress(library.Get(), MAKEINTRESOURCEA(kMsiGetFileSignatureInformationWOrdinal))));
    if (function == nullptr) {
        return HresultFromWin32(GetLastError());
    }
    PCCERT_CONTEXT certificate = nullptr;
    const HRESULT result = function(path.c_str(), flags, &certificate, nullptr, nullptr);
    if (certificate != nullptr) {
        signer.Reset(reinterpret_cast<uintptr_t>(certificate));
    }
    return static_cast<uint32_t>(result);
}

std::wstring SystemMessageText(uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0x409, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) {
        text.assign(buffer, length);
    }
    LocalFree(buffer);
    return text;
}

std::wstring CertificateNameAttribute(const SignerCertificate& signer, const char* oid) {
    void* type = const_cast<char*>(oid);
    const DWORD length = CertGetNameStringW(Native(signer), CERT_NAME_ATTR_TYPE, 0, type, nullptr, 0);
    if (length == 0) {
        return {};
    }
    std::vector<wchar_t> buffer(length);
    CertGetNameStringW(Native(signer), CERT_NAME_ATTR_TYPE, 0, type, buffer.data(), length);
    return std::wstring(buffer.data());
}

uint32_t CreateChainEngine(ChainEngine& engine) {
    FullChainEngineConfig config{};
    config.cbSize = sizeof config;
    config.dwFlags = CERT_CHAIN_CACHE_END_CERT;
    HCERTCHAINENGINE created = nullptr;
    if (!CertCreateCertificateChainEngine(reinterpret_cast<PCERT_CHAIN_ENGINE_CONFIG>(&config), &created)) {
        const DWORD error = GetLastError();
        // Windows 7 and Wine know the record without its last field and refuse a size they do not know.
        if (error != static_cast<DWORD>(E_INVALIDARG)) {
            return error;
        }
        config.cbSize = offsetof(FullChainEngineConfig, dwExclusiveFlags);
        if (!CertCreateCertificateChainEngine(reinterpret_cast<PCERT_CHAIN_ENGINE_CONFIG>(&config),
                                              &created)) {
            return GetLastError();
        }
    }
    engine.Reset(reinterpret_cast<uintptr_t>(created));
    return ERROR_SUCCESS;
}

bool BuildSignerChain(const SignerCertificate& signer, uint32_t& errorStatus, uint32_t& infoStatus) {
    CERT_CHAIN_PARA parameters{};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 0;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = nullptr;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(nullptr, Native(signer), nullptr, nullptr, &parameters, 0, nullptr,
                                 &chain)) {
        return false;
    }
    errorStatus = chain->TrustStatus.dwErrorStatus;
    infoStatus = chain->TrustStatus.dwInfoStatus;
    CertFreeCertificateChain(chain);
    return true;
}

std::wstring MsiInstallerPath() {
    return L"c:\\windows\\system32\\msiexec.exe";
}

} // namespace ZEPMaintenance::platform
