// Test support for the copy stage: a product folder and a data folder's update folder, a
// manifest written by the test, and what the stage left behind.
#pragma once

#include "base/Platform.h"
#include "diag/MessageTable.h"
#include "support/CapturedLog.h"
#include "support/EngineSupport.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Text.h"
#include "upgrade/ConfigFile.h"
#include "upgrade/CopyNewFiles.h"
#include "upgrade/ReleasePath.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace ZEPMaintenance::test {

namespace fs = std::filesystem;

inline const std::wstring kSep(1, platform::kPathSeparator);

inline std::string WideToUtf8(const std::wstring& text) {
    return WideToMultiByte(text, kUtf8CodePage);
}

inline std::wstring ChildProgram() {
    return GetModuleDirectory() + kSep + Utf8ToWide(ZEP_TEST_CHILD_NAME);
}

inline std::wstring Fixtures() {
    return GetModuleDirectory() + kSep + L"pe-fixtures" + kSep;
}

class CopyNewFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureCryptoProvider();
        data = dir.Path() + L"data" + kSep;
        update = data + L"update" + kSep;
        product = dir.Path() + L"product" + kSep;
        fs::create_directories(fs::path(update));
        fs::create_directories(fs::path(product));
        layout = LayoutOf(product, data);
    }

    // Writes content under a release path (backslashes) below folder.
    static void Write(const std::wstring& folder, const std::wstring& releasePath,
                      const std::string& content) {
        const fs::path path(folder + ToPlatformPath(releasePath));
        fs::create_directories(path.parent_path());
        WriteTextFile(path.wstring(), content);
    }

    std::string HashOf(const std::string& content) {
        WriteTextFile(dir.Path() + L"hashed.bin", content);
        return File(dir.Path(), L"hashed.bin").GetSha1Hash().ToString();
    }

    std::string Sha256Of(const std::string& content) {
        WriteTextFile(dir.Path() + L"hashed.bin", content);
        return File(dir.Path(), L"hashed.bin").GetDigests().sha256.ToString();
    }

    static std::string Entry(const std::string& name, const std::string& hash, const std::string& args = "") {
        return EntryWithSha256(name, hash, "", args);
    }
    static std::string EntryWithSha256(const std::string& name, const std::string& hash,
                                       const std::string& sha256, const std::string& args = "") {
        return "<File hash=\"" + hash + "\"" + (sha256.empty() ? "" : " sha256=\"" + sha256 + "\"") +
               (args.empty() ? "" : " args=\"" + args + "\"") + ">" + name + "</File>";
    }

    void Load(const std::string& upgradeFiles, const std::string& setupFiles = "",
              const std::string& setupFolder = "setup") {
        const std::string xml = "<ZEP_UPGRADE version=\"1\"><SetupFolder>" + setupFolder +
                                "</SetupFolder><SetupFiles>" + setupFiles + "</SetupFiles><UpgradeFiles>" +
                                upgradeFiles + "</UpgradeFiles></ZEP_UPGRADE>";
        ASSERT_TRUE(manifest.LoadBuffer(std::vector<uint8_t>(xml.begin(), xml.end())));
    }

    int32_t Run(CopyKind kind) {
        return CodeOf([&] { upgrade::CopyNewFiles(layout, L"", kind, manifest, progress, logger); });
    }
    int32_t Run() { return Run(CopyKind::Product); }

    // The stage's refusal of a file the manifest does not list with these bytes, logged as an error.
    bool Refused(const wchar_t* list, const std::wstring& name, const std::string& content) {
        return log.Has(LevelError, L"CopyNewFiles: " + std::wstring(list) +
                                       L" soubor nema zaznam v zep_upgrade.xml.zcf. (filename: " + name +
                                       L", hash: " + Utf8ToWide(HashOf(content)) + L")");
    }

    // Every file below the folder, as release paths.
    static std::set<std::wstring> FilesBelow(const std::wstring& folder) {
        std::set<std::wstring> names;
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(folder))) {
            if (!entry.is_directory()) {
                std::wstring name = fs::relative(entry.path(), fs::path(folder)).wstring();
                std::replace(name.begin(), name.end(), platform::kPathSeparator, L'\\');
                names.insert(name);
            }
        }
        return names;
    }

    // The index of the first log line that contains text, or the number of lines.
    std::size_t LineWith(const std::wstring& text) const {
        const auto& lines = log.Lines();
        const auto found = std::find_if(lines.begin(), lines.end(), [&](const CapturedLine& line) {
            return line.message.find(text) != std::wstring::npos;
        });
        return static_cast<std::size_t>(found - lines.begin());
    }

    CapturedLog log;
    // The controller's lines, as the worker writes them.
    Logger logger{L"Maintenance"};
    ScopedMachineRoot machine;
    TempDir dir;
    std::wstring data;
    std::wstring update;
    std::wstring product;
    EngineLayout layout;
    ConfigFile manifest;
    RecordedProgress progress;
};

} // namespace ZEPMaintenance::test
