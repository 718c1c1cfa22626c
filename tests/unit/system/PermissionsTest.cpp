// Permissions and Dacl: the binary and text forms, comparison lines, file DACLs and owners.
#include "system/Permissions.h"

#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Text.h"

#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;

using test::CodeOf;

TEST(DaclTest, BinaryFormIsThePlatformAclLayout) {
    Dacl dacl;
    ASSERT_EQ(dacl.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess, 0x03), 0u);
    const std::vector<uint8_t> expected = {
        0x02, 0x00, 0x20, 0x00, 0x01, 0x00, 0x00, 0x00, // revision, size, count
        0x00, 0x03, 0x18, 0x00, 0xFF, 0x01, 0x1F, 0x00, // allowed, OI|CI, mask
        0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00}; // BA
    EXPECT_EQ(dacl.ToAclBytes(), expected);

    ASSERT_EQ(dacl.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute, 0x03), 0u);
    const std::vector<uint8_t> bytes = dacl.ToAclBytes();
    Dacl parsed;
    ASSERT_TRUE(Dacl::FromAclBytes(bytes.data(), bytes.size(), parsed));
    EXPECT_EQ(parsed.ToString(), L"D:(A;OICI;0x1f01ff;;;S-1-5-32-544)(A;OICI;0x1200a9;;;S-1-5-32-545)");
    EXPECT_EQ(Dacl::Null().ToString(), L"D:NO_ACCESS_CONTROL");
    EXPECT_TRUE(Dacl::Null().ToAclBytes().empty());

    // Truncated lists and entries that run past the list are rejected.
    Dacl rejected;
    EXPECT_FALSE(Dacl::FromAclBytes(bytes.data(), bytes.size() - 1, rejected));
    std::vector<uint8_t> overlong = bytes;
    overlong[4] = 3;
    EXPECT_FALSE(Dacl::FromAclBytes(overlong.data(), overlong.size(), rejected));
    EXPECT_FALSE(Dacl::FromAclBytes(nullptr, 0, rejected));
}

TEST(PermissionsTest, InvalidSidIsRefusedWith129) {
    CapturedLog log;
    Permissions permissions;
    EXPECT_EQ(CodeOf([&] { permissions.AddAllowedAce(CSid(), AccessMask::kFileAllAccess); }), 129);
    EXPECT_TRUE(log.Has(LevelError, L"AddAllowedAce: AddAllowedAce failed. (lastError: 1337)")) << log.Dump();
    EXPECT_EQ(permissions.GetDacl().GetAceCount(), 0u);
}

TEST(PermissionsTest, ComparisonReportsTheFirstDifference) {
    CapturedLog log;
    const Permissions expected = test::BackupFileSet();
    EXPECT_TRUE(test::BackupFileSet().EqualPermissions(expected));
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();

    Permissions reversed;
    reversed.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    reversed.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    EXPECT_FALSE(reversed.EqualPermissions(expected));
    EXPECT_TRUE(log.Has(LevelError,
                        L"EqualPermissions: SID differs. (index: 0, sidThis: S-1-5-32-545, sidOther: "
                        L"S-1-5-32-544)"))
        << log.Dump();

    Permissions shorter;
    shorter.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    EXPECT_FALSE(shorter.EqualPermissions(expected));
    EXPECT_TRUE(log.Has(LevelError, L"EqualPermissions: AceCount differs"));

    Permissions writable;
    writable.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    writable.AddAllowedAce(CSid::Users(), AccessMask::kFileAllAccess);
    EXPECT_FALSE(writable.EqualPermissions(expected));
    EXPECT_TRUE(log.Has(LevelError,
                        L"EqualPermissions: Mask differs. (index: 1, maskThis: 2032127, maskOther: "
                        L"1179817)"))
        << log.Dump();

    Dacl denying;
    denying.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess, 0x03);
    denying.AddEntry(AccessEntry{CSid::Users(), AccessMask::kFileReadAndExecute, kAccessDeniedAceType, 0x03});
    EXPECT_FALSE(Permissions(denying).EqualPermissions(expected));
    EXPECT_TRUE(
        log.Has(LevelError, L"EqualPermissions: Type differs. (index: 1, typeThis: 1, typeOther: 0)"));

    // Inheritance flags are not part of the comparison.
    Dacl inherited;
    inherited.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess, kInheritedAce);
    inherited.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute, 0);
    EXPECT_TRUE(Permissions(inherited).EqualPermissions(expected));
}

TEST(PermissionsTest, SecurityAttributesCarryACopyOfTheDacl) {
    auto permissions = std::make_unique<Permissions>(test::BackupFileSet());
    const std::unique_ptr<SecurityAttributes> attributes = permissions->GetSecurityAttributes();
    permissions.reset();
    EXPECT_EQ(attributes->GetDacl().ToString(),
              L"D:(A;OICI;0x1f01ff;;;S-1-5-32-544)(A;OICI;0x1200a9;;;S-1-5-32-545)");
}

class FilePermissionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* reason = test::FileDaclSkipReason()) {
            GTEST_SKIP() << reason;
        }
        path = dir.Path() + L"item.txt";
        test::WriteTextFile(path, "content");
    }
    CapturedLog log;
    test::TempDir dir;
    std::wstring path;
};

TEST_F(FilePermissionsTest, WrittenBackupSetReadsBackEqual) {
    const Permissions expected = test::BackupFileSet();
    expected.SavePermissionsToFile(path);
    EXPECT_TRUE(
        log.Has(LevelInfo, L"SavePermissionsToFile: Saving permissions to file. (filename: " + path + L")"));
    Permissions loaded;
    loaded.LoadPermissionsFromFile(path);
    EXPECT_TRUE(log.Has(LevelInfo, L"LoadPermissionsFromFile: Loading permissions from file. (filename: " +
                                       path + L")"));
    EXPECT_TRUE(loaded.EqualPermissions(test::BackupFileSet())) << log.Dump();
    EXPECT_EQ(loaded.GetDacl().GetAceCount(), 2u);

    // The same for a folder.
    Permissions folder;
    expected.SavePermissionsToFile(dir.Path());
    folder.LoadPermissionsFromFile(dir.Path());
    EXPECT_TRUE(folder.EqualPermissions(expected)) << log.Dump();
}

TEST_F(FilePermissionsTest, OtherOrderAndUnstampedFilesCompareUnequal) {
    Permissions reversed;
    reversed.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    reversed.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    reversed.SavePermissionsToFile(path);
    Permissions loaded;
    loaded.LoadPermissionsFromFile(path);
    EXPECT_FALSE(loaded.EqualPermissions(test::BackupFileSet()));
    EXPECT_TRUE(log.Has(LevelError,
                        L"EqualPermissions: SID differs. (index: 0, sidThis: S-1-5-32-545, sidOther: "
                        L"S-1-5-32-544)"))
        << log.Dump();

    // A file that only carries what it got when it was made (inherited or from its mode) never equals the
    // set.
    const std::wstring fresh = dir.Path() + L"fresh.txt";
    test::WriteTextFile(fresh, "fresh");
    Permissions unstamped;
    unstamped.LoadPermissionsFromFile(fresh);
    log.Clear();
    EXPECT_FALSE(unstamped.EqualPermissions(test::BackupFileSet()));
    EXPECT_TRUE(log.Has(LevelError, L"EqualPermissions: AceCount differs")) << unstamped.GetDacl().ToString();
}

TEST_F(FilePermissionsTest, NullDaclLoadsWithoutEntries) {
    Permissions(Dacl::Null()).SavePermissionsToFile(path);
    Permissions loaded;
    loaded.LoadPermissionsFromFile(path);
    EXPECT_TRUE(loaded.GetDacl().IsNull());
    EXPECT_EQ(loaded.GetDacl().GetAceCount(), 0u);
    EXPECT_FALSE(loaded.EqualPermissions(test::BackupFileSet()));
}

TEST_F(FilePermissionsTest, OwnerAdministratorsReadsBack) {
    Permissions::SetFileOwner(path, CSid::Administrators());
    EXPECT_TRUE(
        log.Has(LevelInfo, L"Permissions::SetFileOwner: Setting owner of file. (filename: " + path + L")"));
    EXPECT_EQ(Permissions::GetFileOwner(path).Sid(), L"S-1-5-32-544");
    EXPECT_TRUE(
        log.Has(LevelInfo, L"Permissions::GetFileOwner: Loading owner from file. (filename: " + path + L")"));
}

TEST(PermissionsFailureTest, MissingObjectsFailWithTheirCodes) {
    CapturedLog log;
    test::TempDir dir;
    const std::wstring missing = dir.Path() + L"missing.txt";
    Permissions loaded = test::BackupFileSet();
    EXPECT_EQ(CodeOf([&] { loaded.LoadPermissionsFromFile(missing); }), 127);
    EXPECT_TRUE(log.Contains(L"LoadPermissionsFromFile: GetNamedSecurityInfo failed. (ret: 2, lastError: "))
        << log.Dump();
    EXPECT_TRUE(loaded.EqualPermissions(test::BackupFileSet()));

    EXPECT_EQ(CodeOf([&] { test::BackupFileSet().SavePermissionsToFile(missing); }), 128);
    EXPECT_TRUE(log.Contains(L"SavePermissionsToFile: SetNamedSecurityInfo failed. (ret: 2, lastError: "));

    EXPECT_EQ(CodeOf([&] { Permissions::GetFileOwner(missing); }), 154);
    EXPECT_TRUE(
        log.Contains(L"Permissions::GetFileOwner: GetNamedSecurityInfo failed. (ret: 2, lastError: "));

    EXPECT_EQ(CodeOf([&] { Permissions::SetFileOwner(missing, CSid::Administrators()); }), 155);
    EXPECT_TRUE(
        log.Contains(L"Permissions::SetFileOwner: SetNamedSecurityInfo failed. (ret: 2, lastError: "));
}

} // namespace
} // namespace ZEPMaintenance
