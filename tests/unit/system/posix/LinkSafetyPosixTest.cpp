// Linux side of the file wrappers against planted symbolic links, special files and writers that kept
// a descriptor: nothing is stamped, copied over or hashed through them.
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "support/posix/AsNobody.h"
#include "system/Directory.h"
#include "system/File.h"
#include "system/Permissions.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;
namespace fs = std::filesystem;

using test::kNobody;

struct stat LinkStatus(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
}

class LinkSafetyTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureCryptoProvider();
        fs::create_directories(outside / "folder");
        test::WriteTextFile((outside / "precious.txt").wstring(), "precious");
        fs::create_directories(dir.FsPath() / "source" / "sub");
        test::WriteTextFile((dir.FsPath() / "source" / "a.dll").wstring(), "new a");
        test::WriteTextFile((dir.FsPath() / "source" / "sub" / "b.dll").wstring(), "new b");
        fs::create_directories(dir.FsPath() / "target");
    }

    // The file and folder the planted links point to are as they were.
    void ExpectOutsideUntouched(uid_t owner) {
        EXPECT_EQ(test::ReadTextFile((outside / "precious.txt").wstring()), "precious");
        const struct stat file = LinkStatus(outside / "precious.txt");
        EXPECT_EQ(file.st_mode & 07777, 0644u);
        EXPECT_EQ(file.st_uid, owner);
        EXPECT_LT(getxattr((outside / "precious.txt").c_str(), "trusted.zepmaintenance.dacl", nullptr, 0), 0);
        EXPECT_EQ(LinkStatus(outside / "folder").st_mode & 07777, 0755u);
        EXPECT_TRUE(fs::is_empty(outside / "folder"));
    }

    CapturedLog log;
    test::TempDir dir;
    const fs::path outside = dir.FsPath() / "outside";
    const std::wstring target = dir.Path() + L"target/";
};

TEST_F(LinkSafetyTest, CopyReplacesAPlantedLinkInsteadOfWritingThroughIt) {
    fs::permissions(outside / "precious.txt", fs::perms(0644));
    fs::create_symlink(outside / "precious.txt", dir.FsPath() / "target" / "a.dll");
    File(dir.Path() + L"source/", L"a.dll").CopyTo(target, L"");
    EXPECT_TRUE(S_ISREG(LinkStatus(dir.FsPath() / "target" / "a.dll").st_mode));
    EXPECT_EQ(test::ReadTextFile(target + L"a.dll"), "new a");
    ExpectOutsideUntouched(geteuid());
}

TEST_F(LinkSafetyTest, FoldersAreNeverReachedThroughALink) {
    fs::create_directory_symlink(outside / "folder", dir.FsPath() / "target" / "sub");
    Directory linked(target, L"sub");
    EXPECT_FALSE(linked.Exists());
    EXPECT_EQ(CodeOf([&] { Directory().Create(target, L"sub"); }), 134);
    EXPECT_TRUE(log.Has(LevelError, L"Create: CreateDirectoryW failed. (path: " + target +
                                        L", dirname: sub, lastError: 267)"))
        << log.Dump();
    EXPECT_EQ(CodeOf([&] { linked.ScanDir(); }), 135);
    // A dangling link is no folder either.
    fs::create_directory_symlink(dir.FsPath() / "nowhere", dir.FsPath() / "target" / "dangling");
    EXPECT_EQ(CodeOf([&] { Directory().Create(target, L"dangling"); }), 134);
    EXPECT_FALSE(fs::exists(dir.FsPath() / "nowhere"));
}

TEST_F(LinkSafetyTest, StampingSealsLinksThemselvesAndLeavesTheirTargets) {
    if (const char* reason = test::FileDaclSkipReason()) {
        GTEST_SKIP() << reason;
    }
    ASSERT_EQ(chown((outside / "precious.txt").c_str(), kNobody, kNobody), 0);
    fs::permissions(outside / "precious.txt", fs::perms(0644));
    fs::permissions(outside / "folder", fs::perms(0755));
    const fs::path fileLink = dir.FsPath() / "target" / "a.dll";
    fs::create_symlink(outside / "precious.txt", fileLink);
    fs::create_directory_symlink(outside / "folder", dir.FsPath() / "target" / "sub");

    // A link is stamped itself; asked for as a folder (a trailing '/'), it is refused.
    const Permissions backupSet = test::BackupFileSet();
    ASSERT_EQ(lchown(fileLink.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(CodeOf([&] { backupSet.SavePermissionsToFile(fileLink.wstring()); }), 0);
    EXPECT_EQ(CodeOf([&] { Permissions::SetFileOwner(fileLink.wstring(), CSid::Administrators()); }), 0);
    EXPECT_EQ(LinkStatus(fileLink).st_uid, 0u);
    EXPECT_EQ(CodeOf([&] { backupSet.SavePermissionsToFile(target + L"sub/"); }), 128);
    EXPECT_EQ(CodeOf([&] { Permissions::SetFileOwner(target + L"sub/", CSid::Administrators()); }), 155);
    ExpectOutsideUntouched(kNobody);

    // The protected copy replaces the file link and stops at the folder link.
    Directory source(dir.Path(), L"source");
    Directory into(dir.Path(), L"target");
    const CSid administrators = CSid::Administrators();
    EXPECT_EQ(CodeOf([&] { source.CopyContentTo(into, &backupSet, nullptr, &administrators, false); }), 136);
    ExpectOutsideUntouched(kNobody);
    const struct stat copied = LinkStatus(fileLink);
    EXPECT_TRUE(S_ISREG(copied.st_mode));
    EXPECT_EQ(copied.st_uid, 0u);
    EXPECT_EQ(test::ReadTextFile(fileLink.wstring()), "new a");
}

TEST_F(LinkSafetyTest, WriterHoldingTheOldTargetCannotReachTheCopy) {
    const fs::path held = dir.FsPath() / "target" / "a.dll";
    test::WriteTextFile(held.wstring(), "old content of a");
    fs::permissions(held, fs::perms(0666));
    fs::permissions(dir.FsPath() / "source" / "a.dll", fs::perms(0666));
    posix::UniqueFd writer(open(held.c_str(), O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(writer);

    const Permissions backupSet = test::BackupFileSet();
    const CSid administrators = CSid::Administrators();
    const bool stamp = test::FileDaclSkipReason() == nullptr;
    Directory into(dir.Path(), L"target");
    Directory(dir.Path(), L"source")
        .CopyContentTo(into, stamp ? &backupSet : nullptr, nullptr, stamp ? &administrators : nullptr, false);
    EXPECT_EQ(write(writer.Get(), "EVIL", 4), 4);
    writer.Reset();

    EXPECT_EQ(test::ReadTextFile(held.wstring()), "new a");
    // The copy never lets others write to it, whatever the source allowed.
    EXPECT_EQ(LinkStatus(held).st_mode & 022, 0u);
    if (stamp) {
        Permissions loaded;
        loaded.LoadPermissionsFromFile(held.wstring());
        EXPECT_TRUE(loaded.EqualPermissions(backupSet)) << loaded.GetDacl().ToString();
    }
}

TEST_F(LinkSafetyTest, SpecialFilesAreNeitherHashedNorCopied) {
    fs::create_symlink("/dev/zero", dir.FsPath() / "zero-link");
    ASSERT_EQ(mkfifo((dir.FsPath() / "fifo").c_str(), 0666), 0);
    const File zeroLink(dir.Path(), L"zero-link");
    const File fifo(dir.Path(), L"fifo");
    const std::function<bool()> checks[] = {
        [&] { return CodeOf([&] { zeroLink.GetSha1Hash(); }) == 116; },
        [&] { return CodeOf([&] { File(L"/dev/", L"zero").GetSha1Hash(); }) == 116; },
        [&] { return CodeOf([&] { fifo.GetSha1Hash(); }) == 116; },
        [&] { return CodeOf([&] { fifo.CopyTo(target, L""); }) == 131; },
        // Copied as the link it is, never by reading what it points to.
        [&] { return CodeOf([&] { zeroLink.CopyTo(target, L""); }) == 0; },
        [&] { return !zeroLink.Exists() && !fifo.Exists(); },
    };
    // Each in a process of its own: a call that blocks on the FIFO or reads the device without end fails
    // by the time limit instead of hanging the test.
    for (std::size_t i = 0; i < std::size(checks); ++i) {
        test::ForkedStep check([&] { return checks[i]() ? 0 : 1; }, test::ForkedStep::User::Same);
        EXPECT_EQ(check.Wait(std::chrono::seconds(10)), 0) << "check " << i << " (103: it did not return)";
    }
    std::vector<fs::path> copied;
    for (const auto& entry : fs::directory_iterator(dir.FsPath() / "target")) {
        copied.push_back(entry.path().filename());
    }
    EXPECT_EQ(copied, std::vector<fs::path>{"zero-link"});
    EXPECT_EQ(fs::read_symlink(dir.FsPath() / "target" / "zero-link"), fs::path("/dev/zero"));
}

TEST_F(LinkSafetyTest, AFifoGetsNeitherDaclNorOwnerAndBothNumbersNameTheRefusal) {
    const std::wstring fifo = dir.Path() + L"fifo";
    ASSERT_EQ(mkfifo((dir.FsPath() / "fifo").c_str(), 0666), 0);
    // Each right after a failed call of its own, whose error must not show in the line.
    EXPECT_FALSE(File(dir.Path(), L"missing.txt").Exists());
    EXPECT_EQ(CodeOf([&] { test::BackupFileSet().SavePermissionsToFile(fifo); }), 128);
    EXPECT_TRUE(
        log.Has(LevelError, L"SavePermissionsToFile: SetNamedSecurityInfo failed. (ret: 5, lastError: 5)"))
        << log.Dump();
    EXPECT_FALSE(File(dir.Path(), L"missing.txt").Exists());
    EXPECT_EQ(CodeOf([&] { Permissions::SetFileOwner(fifo, CSid::Administrators()); }), 155);
    EXPECT_TRUE(log.Has(LevelError,
                        L"Permissions::SetFileOwner: SetNamedSecurityInfo failed. (ret: 5, lastError: 5)"))
        << log.Dump();
}

TEST_F(LinkSafetyTest, CopyOntoAHardLinkOfItselfFails) {
    const fs::path source = dir.FsPath() / "source" / "a.dll";
    fs::create_hard_link(source, dir.FsPath() / "target" / "a.dll");
    EXPECT_EQ(CodeOf([&] { File(dir.Path() + L"source/", L"a.dll").CopyTo(target, L""); }), 131);
    EXPECT_TRUE(log.Contains(L"lastError: 32)")) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(source.wstring()), "new a");
    EXPECT_EQ(LinkStatus(source).st_nlink, 2u);
}

} // namespace
} // namespace ZEPMaintenance
