// The post-upgrade programs: each installed program is checked against the manifest, by its SHA-256 too
// where the manifest gives one, before it runs.
#include "unit/upgrade/CopyNewFilesFixture.h"

#include "upgrade/HostUpdate.h"

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;
using test::ChildProgram;
using test::CodeOf;

// The program is a copy of the test child in the product folder, as the copy stage left it.
class PostUpgradeActionsTest : public test::CopyNewFilesTest {
protected:
    void SetUp() override {
        CopyNewFilesTest::SetUp();
        fs::copy_file(fs::path(ChildProgram()), fs::path(product + L"run.exe"));
        File child;
        child.SetFullPath(ChildProgram());
        digests = child.GetDigests();
    }

    int32_t RunPrograms(const std::string& upgradeSha256, const std::string& runFileSha256) {
        const std::string xml = std::string("<ZEP_UPGRADE version=\"1\"><UpgradeFiles>") +
                                EntryWithSha256("run.exe", digests.sha1.ToString(), upgradeSha256) +
                                "</UpgradeFiles><PostUpgradeActions><RunFile args=\"--record "
                                "&quot;{__INSTALL_PATH__}ran.txt&quot;\"" +
                                (runFileSha256.empty() ? "" : " sha256=\"" + runFileSha256 + "\"") +
                                ">run.exe</RunFile></PostUpgradeActions></ZEP_UPGRADE>";
        ConfigFile loaded;
        EXPECT_TRUE(loaded.LoadBuffer(std::vector<uint8_t>(xml.begin(), xml.end())));
        return CodeOf([&] { upgrade::RunPostUpgradeActions(layout, loaded, progress, logger); });
    }

    bool Ran() const { return fs::exists(fs::path(product + L"ran.txt")); }

    FileDigests digests;
};

TEST_F(PostUpgradeActionsTest, AProgramWhoseSha256DiffersIsRefusedAsOneWhoseSha1Does) {
    const std::string right = digests.sha256.ToString();
    const std::string other = Sha256Of("other");
    const struct {
        std::string upgradeSha256;
        std::string runFileSha256;
    } refused[] = {{other, ""}, {"", other}, {right, other}};
    for (const auto& c : refused) {
        log.Clear();
        EXPECT_EQ(RunPrograms(c.upgradeSha256, c.runFileSha256), 142);
        EXPECT_TRUE(log.Has(LevelError, L"CopyNewFiles: Hash PostUpgradeAction doesn't correspond to "
                                        L"zep_upgrade.xml.zcf. (filename: run.exe, hash: " +
                                            Utf8ToWide(digests.sha1.ToString()) + L")"))
            << log.Dump();
        EXPECT_FALSE(Ran());
    }

    // Both digests right, or no SHA-256 at all as before: it runs.
    for (const auto& [upgradeSha256, runFileSha256] :
         {std::pair<std::string, std::string>{right, right}, {"", ""}}) {
        fs::remove(fs::path(product + L"ran.txt"));
        EXPECT_EQ(RunPrograms(upgradeSha256, runFileSha256), 0) << log.Dump();
        EXPECT_TRUE(Ran());
    }
}

} // namespace
} // namespace ZEPMaintenance
