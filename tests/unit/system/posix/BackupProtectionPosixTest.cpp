// Linux side of the backup protection: the sealed DACL against chown, chmod, setfacl, replacement and
// re-permissioned folders, the mode it enforces, and what other users can do to the seal.
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "support/posix/AsNobody.h"
#include "system/Directory.h"
#include "system/Permissions.h"
#include "system/Text.h"
#include "system/posix/PosixSupport.h"

#include <acl/libacl.h>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;
using test::kNobody;
namespace fs = std::filesystem;

std::string Native(const std::wstring& path) {
    return WideToMultiByte(path, kUtf8CodePage);
}

int Shell(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

mode_t ModeOf(const std::wstring& path) {
    struct stat info {};
    EXPECT_EQ(stat(Native(path).c_str(), &info), 0);
    return info.st_mode & 07777;
}

// A product folder copied into a sealed backup, as the update makes it, and its restore.
class SealedBackupTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root: chown and trusted.* attributes";
        }
    }

    void Seal() {
        Directory backup;
        backup.Create(dir.Path(), L"backup");
        Directory(dir.Path(), L"product").CopyContentTo(backup, &backupSet, nullptr, &administrators, false);
        log.Clear();
    }

    // Restores the backup into a fresh folder, checking the backup set or only the owners; the code.
    int Restore(bool checkSet = true, const wchar_t* into = L"restored") {
        Directory restored;
        restored.Create(dir.Path(), into);
        return CodeOf([&] {
            Directory(dir.Path(), L"backup")
                .CopyContentTo(restored, nullptr, checkSet ? &backupSet : nullptr, nullptr, true);
        });
    }

    CapturedLog log;
    test::TempDir dir;
    const std::wstring backupPath = dir.Path() + L"backup/";
    const Permissions backupSet = test::BackupFileSet();
    const CSid administrators = CSid::Administrators();
};

class BackupProtectionTest : public SealedBackupTest {
protected:
    void SetUp() override {
        SealedBackupTest::SetUp();
        const fs::path product = dir.FsPath() / "product";
        fs::create_directories(product / "sub");
        for (const char* name : {"one.dll", "two.exe", "three.txt"}) {
            test::WriteTextFile((product / name).wstring(), std::string("content of ") + name);
        }
        test::WriteTextFile((product / "sub" / "four.cfg").wstring(), "four");
        test::WriteTextFile((product / "sub" / "five.cfg").wstring(), "five");
        Seal();
    }

    // The restore stops at the tampered file: the files listed before it are copied, none after it,
    // and the sub-folder is never reached.
    void ExpectStoppedAtFile(const std::wstring& name) {
        EXPECT_EQ(Restore(), 136);
        EXPECT_TRUE(log.Contains(L"Hack attempt? (filename: " + backupPath + name + L")")) << log.Dump();
        EXPECT_TRUE(log.Contains(L"CopyContentTo: Copy dir failed. Exception occured. (targetPath: " +
                                 dir.Path() + L", targetDirname: restored, exCode: 153"));
        bool before = true;
        Directory backup(dir.Path(), L"backup");
        for (const File& file : backup.GetFiles()) {
            before = before && file.GetFilename() != name;
            EXPECT_EQ(fs::exists(dir.FsPath() / "restored" / fs::path(file.GetFilename())), before)
                << Native(file.GetFilename());
        }
        EXPECT_FALSE(fs::exists(dir.FsPath() / "restored" / "sub"));
    }
};

TEST_F(BackupProtectionTest, UntouchedBackupRestores) {
    EXPECT_EQ(Restore(), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(dir.Path() + L"restored/sub/five.cfg"), "five");
    EXPECT_FALSE(log.Contains(L"Hack attempt?"));
}

TEST_F(BackupProtectionTest, ModeBitsEnforceTheSet) {
    // Administrators full access with root as owner, Users read and execute: rwxr-xr-x, no extra ACL; a
    // file nobody could run before (the fixture's are plain files) gets no execute bit from it.
    EXPECT_EQ(ModeOf(backupPath + L"two.exe"), 0644u);
    EXPECT_EQ(ModeOf(backupPath + L"sub"), 0755u);
    EXPECT_EQ(acl_extended_file(Native(backupPath + L"two.exe").c_str()), 0);

    const std::wstring only = backupPath + L"one.dll";
    Permissions adminsOnly;
    adminsOnly.AddAllowedAce(CSid::Administrators(), AccessMask::kFileAllAccess);
    adminsOnly.SavePermissionsToFile(only);
    EXPECT_EQ(ModeOf(only), 0600u);
    // The program's own owner change keeps the DACL; an owner other than root gets nothing from the
    // Administrators entry.
    Permissions::SetFileOwner(only, SidFromString(L"S-1-22-1-65534"));
    EXPECT_EQ(ModeOf(only), 0000u);
    EXPECT_EQ(Permissions::GetFileOwner(only).Sid(), L"S-1-22-1-65534");
    Permissions kept;
    kept.LoadPermissionsFromFile(only);
    EXPECT_TRUE(kept.EqualPermissions(adminsOnly)) << kept.GetDacl().ToString();
    Permissions::SetFileOwner(only, CSid::Administrators());
    EXPECT_EQ(ModeOf(only), 0600u);
    // A program keeps its execute bits.
    ASSERT_EQ(chmod(Native(only).c_str(), 0700), 0);
    adminsOnly.SavePermissionsToFile(only);
    EXPECT_EQ(ModeOf(only), 0700u);
}

TEST_F(BackupProtectionTest, EveryChangeToASealedFileIsDetected) {
    const struct {
        const wchar_t* name;
        std::function<int(const std::string&)> tamper;
    } cases[] = {
        {L"two.exe", [](const std::string& path) { return chown(path.c_str(), kNobody, gid_t(-1)); }},
        {L"three.txt", [](const std::string& path) { return chmod(path.c_str(), 0775); }},
        {L"one.dll", [](const std::string& path) { return Shell("setfacl -m u:nobody:r '" + path + "'"); }},
        // Even a copy that keeps every attribute, the seal included, is a new file.
        {L"two.exe",
         [](const std::string& path) {
             return Shell("cp -a '" + path + "' '" + path + ".new' && mv -f '" + path + ".new' '" + path +
                          "'");
         }},
        {L"one.dll",
         [this](const std::string& path) { return link(path.c_str(), (dir.FsPath() / "x").c_str()); }},
        // Same size, same inode, owner and mode: only the write itself shows.
        {L"two.exe",
         [this](const std::string& path) {
             // File times advance in clock ticks: the write waits until a file written now gets a later
             // time than the sealed one.
             const fs::path probe = dir.FsPath() / "probe";
             do {
                 test::WriteTextFile(probe.wstring(), "");
             } while (fs::last_write_time(probe) <= fs::last_write_time(path));
             const posix::UniqueFd writer(open(path.c_str(), O_WRONLY | O_CLOEXEC));
             return pwrite(writer.Get(), "CONTENT", 7, 0) == 7 ? 0 : 1;
         }},
        // The link is root's own here, so only reading it as what it is can refuse it: it carries no seal.
        {L"b.exe",
         [this](const std::string& path) {
             return symlink(Native(backupPath + L"one.dll").c_str(), path.c_str());
         }},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        if (i > 0) {
            fs::remove_all(dir.FsPath() / "backup");
            fs::remove_all(dir.FsPath() / "restored");
            std::error_code ignored;
            fs::remove(dir.FsPath() / "x", ignored);
            Seal();
        }
        ASSERT_EQ(cases[i].tamper(Native(backupPath + cases[i].name)), 0);
        ExpectStoppedAtFile(cases[i].name);
    }
}

TEST_F(BackupProtectionTest, RepermissionedSubfolderIsDetected) {
    ASSERT_EQ(chmod(Native(backupPath + L"sub").c_str(), 0777), 0);
    EXPECT_EQ(Restore(), 136);
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Permissions of directory doesn't equals to expected "
                                    L"permissions. Hack attempt? (dirname: " +
                                        backupPath + L"sub/)"))
        << log.Dump();
    // Every file of the top level came before the sub-folder; nothing of the sub-folder was copied.
    EXPECT_TRUE(fs::exists(dir.FsPath() / "restored" / "three.txt"));
    EXPECT_FALSE(fs::exists(dir.FsPath() / "restored" / "sub"));
}

TEST_F(BackupProtectionTest, OwnerCheckAloneCatchesUserOwnedItemsAndNeverFollowsALink) {
    // Without the expected set only the owner is checked: a link is copied as a link, never followed.
    fs::create_symlink(fs::path(Native(backupPath)) / "one.dll", fs::path(Native(backupPath)) / "b.exe");
    EXPECT_EQ(Restore(false, L"owner-only"), 0) << log.Dump();
    const fs::path copied = dir.FsPath() / "owner-only" / "b.exe";
    EXPECT_TRUE(fs::is_symlink(copied));
    EXPECT_EQ(fs::read_symlink(copied), fs::path(Native(backupPath)) / "one.dll");
    fs::remove(fs::path(Native(backupPath)) / "b.exe");

    ASSERT_EQ(chown(Native(backupPath + L"sub").c_str(), kNobody, static_cast<gid_t>(-1)), 0);
    EXPECT_EQ(Restore(false, L"owner-only"), 136);
    EXPECT_TRUE(
        log.Has(LevelError, L"CopyContentTo: Owner of backup subdir is not BA. Hack attempt? (dirname: " +
                                backupPath + L"sub/)"))
        << log.Dump();

    const std::wstring first = Directory(dir.Path(), L"backup").GetFiles().front().GetFullPath();
    ASSERT_EQ(chown(Native(first).c_str(), kNobody, static_cast<gid_t>(-1)), 0);
    log.Clear();
    EXPECT_EQ(Restore(false, L"owner-only"), 136);
    EXPECT_TRUE(
        log.Has(LevelError,
                L"CopyContentTo: Owner of backup file is not BA. Hack attempt? (filename: " + first + L")"))
        << log.Dump();
}

TEST_F(BackupProtectionTest, ReadingSynthesizesFromOwnerModeAndAcl) {
    const std::wstring path = backupPath + L"three.txt";
    ASSERT_EQ(chown(Native(path).c_str(), 1000, 1000), 0);
    ASSERT_EQ(chmod(Native(path).c_str(), 0640), 0);
    ASSERT_EQ(Shell("setfacl -m u:2000:rw '" + Native(path) + "'"), 0);
    Permissions loaded;
    loaded.LoadPermissionsFromFile(path);
    std::vector<std::wstring> sids;
    for (const AccessEntry& entry : loaded.GetDacl().Entries()) {
        sids.push_back(entry.sid.Sid());
    }
    EXPECT_EQ(sids,
              (std::vector<std::wstring>{L"S-1-22-1-1000", L"S-1-22-1-2000", L"S-1-22-2-1000", L"S-1-1-0"}))
        << loaded.GetDacl().ToString();
    EXPECT_EQ(loaded.GetDacl().Entries()[3].mask, 0u);
}

TEST_F(BackupProtectionTest, UnprivilegedUserCannotWriteTheSeal) {
    // The file and its folders are readable by everybody, so only the attribute namespace can refuse.
    const std::string path = Native(backupPath + L"one.dll");
    EXPECT_EQ(test::AsNobody([&path] {
                  const char value = 0;
                  const bool written =
                      setxattr(path.c_str(), "trusted.zepmaintenance.dacl", &value, 1, 0) == 0 ||
                      removexattr(path.c_str(), "trusted.zepmaintenance.dacl") == 0;
                  return written ? 1 : 0;
              }),
              0);
    // Root can, so the attribute is there to write.
    EXPECT_GT(getxattr(path.c_str(), "trusted.zepmaintenance.dacl", nullptr, 0), 0);
    EXPECT_EQ(Restore(), 0) << log.Dump();
}

// A product holding a library's version links and a link to a folder: the backup keeps them as sealed
// links, the restore recreates them, and a link retargeted in the backup is refused as a changed file is.
class ProductLinksTest : public SealedBackupTest {
protected:
    void SetUp() override {
        SealedBackupTest::SetUp();
        const fs::path product = dir.FsPath() / "product";
        fs::create_directories(product / "modules");
        test::WriteTextFile((product / "lib.so.1.2").wstring(), "the library");
        test::WriteTextFile((product / "modules" / "m.so").wstring(), "a module");
        fs::create_symlink("lib.so.1.2", product / "lib.so.1");
        fs::create_symlink("lib.so.1", product / "lib.so");
        fs::create_directory_symlink("modules", product / "plugins");
        fs::create_symlink("/nowhere/at/all", product / "dangling");
        Seal();
    }
};

TEST_F(ProductLinksTest, LinksSurviveTheBackupAndTheRestoreAsLinks) {
    const std::pair<const char*, const char*> links[] = {{"lib.so", "lib.so.1"},
                                                         {"lib.so.1", "lib.so.1.2"},
                                                         {"plugins", "modules"},
                                                         {"dangling", "/nowhere/at/all"}};
    ASSERT_EQ(Restore(), 0) << log.Dump();
    for (const char* copy : {"backup", "restored"}) {
        for (const auto& [name, target] : links) {
            const fs::path link = dir.FsPath() / copy / name;
            EXPECT_TRUE(fs::is_symlink(link)) << copy << "/" << name;
            EXPECT_EQ(fs::read_symlink(link), fs::path(target)) << copy << "/" << name;
        }
        EXPECT_EQ(test::ReadTextFile((dir.FsPath() / copy / "lib.so").wstring()), "the library");
        // The folder behind a link is copied once, as the folder it is, never through the link.
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir.FsPath() / copy / "modules")));
    }
    // In the backup each link carries the backup set and belongs to root, as a file does.
    Permissions sealed;
    sealed.LoadPermissionsFromFile(backupPath + L"lib.so");
    EXPECT_TRUE(sealed.EqualPermissions(backupSet)) << sealed.GetDacl().ToString();
    EXPECT_EQ(Permissions::GetFileOwner(backupPath + L"plugins"), CSid::Administrators());
}

TEST_F(ProductLinksTest, ALinkRetargetedInTheBackupIsRefused) {
    const fs::path link = dir.FsPath() / "backup" / "lib.so.1";
    fs::remove(link);
    fs::create_symlink("/etc/shadow", link);
    EXPECT_EQ(Restore(), 136);
    EXPECT_TRUE(log.Has(LevelError, L"CopyContentTo: Permissions of file doesn't equals to expected "
                                    L"permissions. Hack attempt? (filename: " +
                                        backupPath + L"lib.so.1)"))
        << log.Dump();
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.FsPath() / "restored" / "lib.so.1")));
}

TEST_F(ProductLinksTest, AFifoOrDeviceIsRefusedByName) {
    ASSERT_EQ(mkfifo((dir.FsPath() / "product" / "modules" / "pipe").c_str(), 0600), 0);
    Directory again;
    again.Create(dir.Path(), L"again");
    EXPECT_EQ(CodeOf([&] {
                  Directory(dir.Path(), L"product")
                      .CopyContentTo(again, &backupSet, nullptr, &administrators, false);
              }),
              136);
    EXPECT_EQ(
        log.Missing({{LevelError, L"CopyContentTo: Not a file, folder or symbolic link; not copied. "
                                  L"(filename: " +
                                      dir.Path() + L"product/modules/pipe)"},
                     {LevelWarn, L"ScanDir: Special file found; neither copied nor read. (path: " +
                                     dir.Path() + L"product/, dirname: modules, foundFilename: pipe)"}}),
        L"");
    EXPECT_FALSE(fs::exists(dir.FsPath() / "again" / "modules" / "m.so"));
}

TEST(DirectoryPosixTest, DeleteNeverFollowsLinksOutOfTheTree) {
    CapturedLog log;
    test::TempDir dir;
    const fs::path outside = dir.FsPath() / "outside";
    fs::create_directories(outside / "keep");
    test::WriteTextFile((outside / "keep" / "precious.txt").wstring(), "precious");
    const fs::path tree = dir.FsPath() / "tree";
    fs::create_directories(tree / "inner");
    fs::create_directory_symlink(outside, tree / "inner" / "link-to-folder");
    fs::create_symlink(outside / "keep" / "precious.txt", tree / "link-to-file");
    Directory(dir.Path(), L"tree").Delete(true);
    EXPECT_FALSE(fs::exists(tree));
    EXPECT_EQ(test::ReadTextFile((outside / "keep" / "precious.txt").wstring()), "precious");

    // A scan lists a link to a folder as a file, so no copy descends through it.
    fs::create_directories(tree);
    fs::create_directory_symlink(outside, tree / "link");
    Directory scanned(dir.Path(), L"tree");
    ASSERT_EQ(scanned.GetFiles().size(), 1u);
    EXPECT_EQ(scanned.GetFiles().front().GetFilename(), L"link");
    EXPECT_TRUE(scanned.GetSubdirs().empty());
}

TEST(DirectoryPosixTest, KnownFoldersLieBelowTheMachineRoot) {
    CapturedLog log;
    test::ScopedMachineRoot machine;
    Directory folder;
    EXPECT_EQ(CodeOf([&] { folder.SetSpecialFolder(KnownFolder::System); }), 138);
    EXPECT_TRUE(log.Contains(L"SetSpecialFolder: SHGetKnownFolderPath failed. (hr: ")) << log.Dump();
    fs::create_directories(fs::path(Native(machine.Path())) / "usr" / "lib" / "zepmaintenance" / "system");
    folder.SetSpecialFolder(KnownFolder::ProgramData);
    EXPECT_EQ(folder.GetFullPath(), machine.Path() + L"var/lib/");
    folder.SetSpecialFolder(KnownFolder::System);
    EXPECT_EQ(folder.GetFullPath(), machine.Path() + L"usr/lib/zepmaintenance/system/");
}

} // namespace
} // namespace ZEPMaintenance
