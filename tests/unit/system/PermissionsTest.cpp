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

// The backup set's two entries with one thing changed: its entries in another order, a missing entry, a
// mask, a type, and the inheritance flags, which are not compared.
TEST(PermissionsTest, ComparisonReportsTheFirstDifference) {
    CapturedLog log;
    const CSid users = CSid::Users();
    const CSid admins = CSid::Administrators();
    const uint32_t read = AccessMask::kFileReadAndExecute;
    const uint32_t all = AccessMask::kFileAllAccess;
    const struct {
        std::vector<AccessEntry> entries;
        const wchar_t* line;
    } cases[] = {
        {{{admins, all, 0, 0x03}, {users, read, 0, 0x03}}, nullptr},
        {{{users, read, 0, 0x03}, {admins, all, 0, 0x03}},
         L"EqualPermissions: SID differs. (index: 0, sidThis: S-1-5-32-545, sidOther: S-1-5-32-544)"},
        {{{admins, all, 0, 0x03}}, L"EqualPermissions: AceCount differs"},
        {{{admins, all, 0, 0x03}, {users, all, 0, 0x03}},
         L"EqualPermissions: Mask differs. (index: 1, maskThis: 2032127, maskOther: 1179817)"},
        {{{admins, all, 0, 0x03}, {users, read, kAccessDeniedAceType, 0x03}},
         L"EqualPermissions: Type differs. (index: 1, typeThis: 1, typeOther: 0)"},
        {{{admins, all, 0, kInheritedAce}, {users, read, 0, 0}}, nullptr},
    };
    for (const auto& c : cases) {
        Dacl dacl;
        for (const AccessEntry& entry : c.entries) {
            ASSERT_EQ(dacl.AddEntry(entry), 0u);
        }
        log.Clear();
        EXPECT_EQ(Permissions(dacl).EqualPermissions(test::BackupFileSet()), c.line == nullptr)
            << dacl.ToString();
        if (c.line != nullptr) {
            EXPECT_TRUE(log.Has(LevelError, c.line)) << log.Dump();
        } else {
            EXPECT_TRUE(log.Lines().empty()) << log.Dump();
        }
    }
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

TEST_F(FilePermissionsTest, WrittenSetsAndOwnersReadBack) {
    const Permissions expected = test::BackupFileSet();
    for (const std::wstring& item : {path, dir.Path()}) {
        expected.SavePermissionsToFile(item);
        Permissions loaded;
        loaded.LoadPermissionsFromFile(item);
        EXPECT_TRUE(loaded.EqualPermissions(expected)) << log.Dump();
        EXPECT_EQ(loaded.GetDacl().GetAceCount(), 2u);
    }
    Permissions::SetFileOwner(path, CSid::Administrators());
    EXPECT_EQ(Permissions::GetFileOwner(path).Sid(), L"S-1-5-32-544");
    EXPECT_EQ(
        log.Missing(
            {{LevelInfo, L"SavePermissionsToFile: Saving permissions to file. (filename: " + path + L")"},
             {LevelInfo,
              L"LoadPermissionsFromFile: Loading permissions from file. (filename: " + path + L")"},
             {LevelInfo, L"Permissions::SetFileOwner: Setting owner of file. (filename: " + path + L")"},
             {LevelInfo, L"Permissions::GetFileOwner: Loading owner from file. (filename: " + path + L")"}}),
        L"");

    // A null DACL comes back as one, with no entries.
    Permissions(Dacl::Null()).SavePermissionsToFile(path);
    Permissions loaded;
    loaded.LoadPermissionsFromFile(path);
    EXPECT_TRUE(loaded.GetDacl().IsNull());
    EXPECT_EQ(loaded.GetDacl().GetAceCount(), 0u);
    EXPECT_FALSE(loaded.EqualPermissions(expected));
}

TEST_F(FilePermissionsTest, OtherOrderAndUnstampedFilesCompareUnequal) {
    Permissions reversed;
    reversed.AddAllowedAce(CSid::Users(), AccessMask::kFileReadAndExecute);
    reversed.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    reversed.SavePermissionsToFile(path);
    Permissions loaded;
    loaded.LoadPermissionsFromFile(path);
    EXPECT_EQ(loaded.GetDacl().ToString(), reversed.GetDacl().ToString());

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

TEST(PermissionsFailureTest, MissingObjectsFailWithTheirCodes) {
    CapturedLog log;
    test::TempDir dir;
    const std::wstring missing = dir.Path() + L"missing.txt";
    Permissions loaded = test::BackupFileSet();
    EXPECT_EQ(CodeOf([&] { loaded.LoadPermissionsFromFile(missing); }), 127);
    EXPECT_TRUE(loaded.EqualPermissions(test::BackupFileSet()));
    EXPECT_EQ(CodeOf([&] { test::BackupFileSet().SavePermissionsToFile(missing); }), 128);
    EXPECT_EQ(CodeOf([&] { Permissions::GetFileOwner(missing); }), 154);
    EXPECT_EQ(CodeOf([&] { Permissions::SetFileOwner(missing, CSid::Administrators()); }), 155);
    for (const wchar_t* line :
         {L"LoadPermissionsFromFile: GetNamedSecurityInfo", L"SavePermissionsToFile: SetNamedSecurityInfo",
          L"Permissions::GetFileOwner: GetNamedSecurityInfo",
          L"Permissions::SetFileOwner: SetNamedSecurityInfo"}) {
        EXPECT_TRUE(log.Contains(line + std::wstring(L" failed. (ret: 2, lastError: "))) << log.Dump();
    }
}

} // namespace
} // namespace ZEPMaintenance
