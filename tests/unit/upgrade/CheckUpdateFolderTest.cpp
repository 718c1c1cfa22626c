// The check of the update folder before anything changes: which listed or unlisted file it names, and
// with which code, when several are wrong at once.
#include "unit/upgrade/CopyNewFilesFixture.h"

namespace ZEPMaintenance {
namespace {

using test::CopyNewFilesTest;

class CheckUpdateFolderTest : public CopyNewFilesTest {
protected:
    int32_t Check(const std::string& upgradeFiles, const std::string& setupFiles) {
        const std::string xml = "<ZEP_UPGRADE version=\"1\"><SetupFolder>setup</SetupFolder><SetupFiles>" +
                                setupFiles + "</SetupFiles><UpgradeFiles>" + upgradeFiles +
                                "</UpgradeFiles></ZEP_UPGRADE>";
        ConfigFile listed;
        EXPECT_TRUE(listed.LoadBuffer(std::vector<uint8_t>(xml.begin(), xml.end())));
        log.Clear();
        return test::CodeOf([&] { checkedBytes = upgrade::CheckUpdateFolder(layout, listed, logger); });
    }
    bool AnyError() const {
        for (const auto& line : log.Lines()) {
            if (line.level == LevelError) {
                return true;
            }
        }
        return false;
    }
    uint64_t checkedBytes = 0;
};

TEST_F(CheckUpdateFolderTest, TheFirstWrongNameInNameOrderIsReportedWithItsListsCode) {
    const std::wstring missing =
        L"CopyNewFiles: A file the manifest lists is not in the update folder; nothing is "
        L"changed. (filename: ";
    const std::wstring unlisted =
        L"CopyNewFiles: A file of the update folder is not in the manifest; nothing is "
        L"changed. (filename: ";
    const struct {
        const char* what;
        std::vector<std::wstring> files; // release paths written into the update folder
        std::string upgradeNames;        // listed, one name a line
        std::string setupNames;
        int32_t code;
        std::wstring line;
    } cases[] = {
        {"all there under other letter cases",
         {L"lib\\a.dll", L"B.DLL", L"setup\\s.exe"},
         "Lib\\A.dll\nb.dll\nB.dll",
         "S.EXE",
         0,
         L""},
        {"system files need no entry", {L"_ZEP_UPGRADE_SYSTEM\\x.dll", L"a.dll"}, "a.dll", "", 0, L""},
        {"the least missing upgrade name",
         {L"m.dll"},
         "z.dll\nm.dll\nC.dll\nb\\a.dll",
         "",
         ErrorCode::kUpgradeFileNotInManifest,
         missing + L"B\\A.DLL)"},
        {"upgrade files before setup files",
         {L"m.dll"},
         "z.dll\nm.dll",
         "a.exe",
         ErrorCode::kUpgradeFileNotInManifest,
         missing + L"Z.DLL)"},
        {"then the least missing setup name",
         {L"m.dll", L"setup\\b.exe"},
         "m.dll",
         "c.exe\nb.exe\na.exe",
         ErrorCode::kSetupFileNotInManifest,
         missing + L"SETUP\\A.EXE)"},
        {"an unlisted file",
         {L"m.dll", L"sub\\n.dll"},
         "m.dll\nn.dll",
         "",
         ErrorCode::kUpgradeFileNotInManifest,
         unlisted + L"sub\\n.dll)"},
        {"an unlisted setup file",
         {L"setup\\n.exe"},
         "setup\\n.exe",
         "",
         ErrorCode::kSetupFileNotInManifest,
         unlisted + L"setup\\n.exe)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(std::filesystem::path(update));
        uint64_t written = 0;
        for (const std::wstring& file : c.files) {
            Write(update, file, "bytes of " + test::WideToUtf8(file));
            written += 9 + file.size();
        }
        const auto entries = [&](const std::string& names) {
            std::string xml;
            for (std::size_t start = 0; start < names.size();) {
                const std::size_t end = std::min(names.find('\n', start), names.size());
                xml += Entry(names.substr(start, end - start), HashOf("any"));
                start = end + 1;
            }
            return xml;
        };
        EXPECT_EQ(Check(entries(c.upgradeNames), entries(c.setupNames)), c.code);
        if (c.code == 0) {
            EXPECT_GE(checkedBytes, written);
            EXPECT_FALSE(AnyError()) << log.Dump();
        } else {
            EXPECT_TRUE(log.Has(LevelError, c.line)) << log.Dump();
        }
    }
}

} // namespace
} // namespace ZEPMaintenance
