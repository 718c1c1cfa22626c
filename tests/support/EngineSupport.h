// Test support for the engine without a controller: a layout made from two folder paths, and the
// progress the engine reported.
#pragma once

#include "system/Directory.h"
#include "upgrade/EngineLayout.h"
#include "upgrade/Progress.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ZEPMaintenance::test {

inline EngineLayout LayoutOf(const std::wstring& productFolder, const std::wstring& dataFolder) {
    Directory product;
    Directory data;
    product.SetFullPath(productFolder);
    data.SetFullPath(dataFolder);
    return EngineLayout(product, data);
}

// A folder of the layout as a filesystem path without a trailing separator.
inline std::filesystem::path PathOf(const Directory& folder) {
    return std::filesystem::path(folder.GetPath()) / folder.GetDirname();
}

// Every report in order: a status text as (SetStatus, its row), any other message with its text.
class RecordedProgress : public Progress {
public:
    void ShowText(GuiText text) override {
        texts.push_back(text);
        Reported();
    }
    void Send(GuiMessageId id, const std::wstring& text) override {
        messages.emplace_back(id, text);
        Reported();
    }
    std::size_t Reports() const { return texts.size() + messages.size(); }

    std::vector<GuiText> texts;
    std::vector<std::pair<GuiMessageId, std::wstring>> messages;
    // Called after each report, where the worker would pause for the loader.
    std::function<void()> onReport;

private:
    void Reported() {
        if (onReport) {
            onReport();
        }
    }
};

} // namespace ZEPMaintenance::test
