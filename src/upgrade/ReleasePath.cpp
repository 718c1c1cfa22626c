// Paths a release engineer writes: the platform's separator, and the check that keeps them inside.
#include "upgrade/ReleasePath.h"

#include "base/Platform.h"
#include "system/Text.h"

#include <algorithm>

namespace ZEPMaintenance {

namespace {

bool IsSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// Windows drops trailing dots and blanks from a component, so "..." and ". ." may walk up as ".." does.
bool IsDotsAndBlanks(const std::wstring& component) {
    return !component.empty() && component.find_first_not_of(L". ") == std::wstring::npos;
}

} // namespace

std::wstring ToPlatformPath(const std::wstring& releasePath) {
    std::wstring path = releasePath;
    std::replace_if(path.begin(), path.end(), IsSeparator, platform::kPathSeparator);
    return path;
}

bool IsInsideFolder(const std::wstring& releasePath) {
    if (releasePath.empty() || IsSeparator(releasePath.front()) ||
        releasePath.find(L':') != std::wstring::npos || releasePath.find(L'\0') != std::wstring::npos) {
        return false;
    }
    bool namesSomething = false;
    std::size_t start = 0;
    while (start <= releasePath.size()) {
        const auto end = std::find_if(releasePath.begin() + static_cast<std::ptrdiff_t>(start),
                                      releasePath.end(), IsSeparator);
        const std::wstring component(releasePath.begin() + static_cast<std::ptrdiff_t>(start), end);
        if (component != L"." && IsDotsAndBlanks(component)) {
            return false;
        }
        if (!component.empty() && component != L".") {
            namesSomething = true;
        }
        start = static_cast<std::size_t>(end - releasePath.begin()) + 1;
    }
    return namesSomething;
}

std::wstring ReleasePathKey(const std::wstring& releasePath, bool ignoreCase) {
    std::wstring key;
    std::size_t start = 0;
    while (start <= releasePath.size()) {
        const auto end = std::find_if(releasePath.begin() + static_cast<std::ptrdiff_t>(start),
                                      releasePath.end(), IsSeparator);
        std::wstring component(releasePath.begin() + static_cast<std::ptrdiff_t>(start), end);
        if (ignoreCase && component != L".") {
            while (!component.empty() && (component.back() == L'.' || component.back() == L' ')) {
                component.pop_back();
            }
            component = ToUpper(component);
        }
        if (!component.empty() && component != L".") {
            key += (key.empty() ? L"" : L"\\") + component;
        }
        start = static_cast<std::size_t>(end - releasePath.begin()) + 1;
    }
    return key;
}

} // namespace ZEPMaintenance
