// The engine's folders and the paths below them.
#include "upgrade/EngineLayout.h"

#include "diag/IMException.h"
#include "system/HeldDirectory.h"
#include "upgrade/ReleasePath.h"

namespace ZEPMaintenance {

namespace {

constexpr const wchar_t* kInstallPathPlaceholder = L"{__INSTALL_PATH__}";

} // namespace

EngineLayout::EngineLayout(const Directory& product, const Directory& data)
    : product_(product), data_(data), namedData_(data) {}

EngineLayout EngineLayout::WithEnvironment(const std::wstring& environment) const {
    EngineLayout layout = *this;
    layout.environment_ = environment;
    return layout;
}

EngineLayout EngineLayout::WithDataThrough(const std::wstring& path) const {
    EngineLayout layout = *this;
    layout.data_.SetFullPath(path);
    return layout;
}

Directory EngineLayout::StateRoot() const {
    Directory programData;
    programData.SetSpecialFolder(KnownFolder::ProgramData);
    return Directory(programData.GetFullPath(), L"Z.EP Maintenance2 Engine");
}

std::wstring EngineLayout::SettingsKey() const {
    return std::wstring(kSettingsKey) + L"\\" + environment_;
}

std::wstring EngineLayout::SystemFolder() const {
    Directory system;
    system.SetSpecialFolder(KnownFolder::System);
    return system.GetFullPath();
}

std::wstring EngineLayout::InProduct(const std::wstring& releasePath) const {
    return ProductFolder() + ToPlatformPath(releasePath);
}

std::wstring EngineLayout::WithInstallPath(const std::wstring& text) const {
    const std::wstring placeholder = kInstallPathPlaceholder;
    const std::wstring installPath = ProductFolder();
    std::wstring result = text;
    std::size_t position = result.find(placeholder);
    while (position != std::wstring::npos) {
        result.replace(position, placeholder.size(), installPath);
        // The inserted path is never searched: it may hold the placeholder itself.
        position = result.find(placeholder, position + installPath.size());
    }
    return result;
}

bool HoldDataFolder(const EngineLayout& named, HeldDirectory& held, EngineLayout& through) {
    if (!held.Hold(named.Data())) {
        return false;
    }
    through = named.WithDataThrough(held.GetFullPath());
    return true;
}

void EngineLayout::Require(const Logger& logger, const wchar_t* operation) const {
    if (product_.GetDirname().empty() || data_.GetDirname().empty()) {
        logger.Error(L"%ls: Product or data folder not set. (programDirectory: %ls, dataDirectory: %ls)",
                     operation, product_.GetFullPath(), data_.GetFullPath());
        ThrowIMException(ErrorCode::kInvalidValue);
    }
}

} // namespace ZEPMaintenance
