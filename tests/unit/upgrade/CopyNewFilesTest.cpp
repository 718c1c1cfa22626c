// The copy stage: the passes and their order, the manifest checks that stop an update, system files by
// version, setup programs in manifest order, and files swapped after their check.
#include "unit/upgrade/CopyNewFilesFixture.h"

#include <chrono>
#include <thread>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;
using test::ChildProgram;
using test::CodeOf;
using test::CopyNewFilesTest;
using test::Fixtures;
using test::kSep;
using test::WideToUtf8;

TEST_F(CopyNewFilesTest, ListedFilesAndFoldersAreInstalledUnderTheirOwnNames) {
    Write(update, L"a.txt", "a");
    Write(update, L"sub\\b.txt", "b");
    Write(update, L"sub\\deeper\\c.txt", "c");
    Write(update, L"._ZEP_UPGRADE_delete", "delete list");
    Write(update, L"zep_upgrade.xml.zcf", "container");
    fs::create_directories(fs::path(update + L"empty"));
    Write(product, L"a.txt", "old");
    Write(product, L"sub\\kept.txt", "kept");
    // Names compare without regard to case; the file keeps the name it has in the update folder.
    Load(Entry("a.txt", HashOf("a")) + Entry("SUB\\B.TXT", HashOf("b")) +
         Entry("sub\\deeper\\c.txt", HashOf("c")));

    ASSERT_EQ(Run(), 0) << log.Dump();
    EXPECT_EQ(FilesBelow(product),
              (std::set<std::wstring>{L"a.txt", L"sub\\b.txt", L"sub\\deeper\\c.txt", L"sub\\kept.txt"}));
    EXPECT_EQ(test::ReadTextFile(product + L"a.txt"), "a");
    EXPECT_EQ(test::ReadTextFile(product + ToPlatformPath(L"sub\\deeper\\c.txt")), "c");
    // Only the folders on the way to a listed file are made: an empty one is signed by nothing.
    EXPECT_FALSE(fs::exists(fs::path(product + L"empty")));
    EXPECT_EQ(progress.Reports(), 0u);
}

TEST_F(CopyNewFilesTest, AnUnlistedOrAlteredFileStopsTheUpdateAndNothingAfterItIsCopied) {
    for (const wchar_t* name : {L"f1.txt", L"f2.txt", L"f3.txt", L"f4.txt"}) {
        Write(update, name, WideToUtf8(name));
    }
    Write(update, L"sub\\s.txt", "s");
    Directory scan;
    scan.SetFullPath(update);
    std::vector<std::wstring> order;
    for (const File& file : scan.GetFiles()) {
        order.push_back(file.GetFilename());
    }
    ASSERT_EQ(order.size(), 4u);
    // The second file in scan order is listed under the hash of other bytes.
    std::string entries = Entry("sub\\s.txt", HashOf("s"));
    for (const std::wstring& name : order) {
        entries += Entry(WideToUtf8(name), HashOf(name == order[1] ? "other" : WideToUtf8(name)));
    }
    Load(entries);

    EXPECT_EQ(Run(), 143);
    EXPECT_TRUE(Refused(L"Upgrade", order[1], WideToUtf8(order[1]))) << log.Dump();
    // Sub-folders come first; then the files in scan order up to the one refused.
    EXPECT_EQ(FilesBelow(product), (std::set<std::wstring>{L"sub\\s.txt", order[0]}));

    // The names skipped at the top are files like any other in a sub-folder.
    fs::remove_all(fs::path(update));
    Write(update, L"sub\\zep_upgrade.xml.zcf", "container");
    EXPECT_EQ(Run(), 143);
    EXPECT_TRUE(log.Contains(L"(filename: sub\\zep_upgrade.xml.zcf, hash: ")) << log.Dump();
}

// A listed SHA-1 with another SHA-256 is refused exactly as an altered file: the same line and code.
TEST_F(CopyNewFilesTest, AFileWhoseSha256DiffersIsRefusedAsAnAlteredOne) {
    Write(update, L"b.txt", "b");
    Load(EntryWithSha256("b.txt", HashOf("b"), Sha256Of("other")));
    EXPECT_EQ(Run(), 143);
    EXPECT_TRUE(Refused(L"Upgrade", L"b.txt", "b")) << log.Dump();
    EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{});

    // An entry that has the file's SHA-256 lets it in.
    Load(EntryWithSha256("B.TXT", HashOf("b"), Sha256Of("b")));
    ASSERT_EQ(Run(), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(product + L"b.txt"), "b");

    fs::remove_all(fs::path(update));
    Write(update, L"setup\\s.exe", "s");
    log.Clear();
    Load("", EntryWithSha256("s.exe", HashOf("s"), Sha256Of("other")));
    EXPECT_EQ(Run(), 142);
    EXPECT_TRUE(Refused(L"Setup", L"s.exe", "s")) << log.Dump();
    EXPECT_EQ(progress.Reports(), 0u);
}

TEST_F(CopyNewFilesTest, ALowerCaseSpecialNameIsAnOrdinaryFolder) {
    Write(update, L"_zep_upgrade_system\\x.dll", "x");
    Load(Entry("_zep_upgrade_system\\x.dll", HashOf("x")));
    ASSERT_EQ(Run(), 0) << log.Dump();
    EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{L"_zep_upgrade_system\\x.dll"});
}

// The setup programs are copies of the test child; each records its arguments when it runs.
class SetupProgramTest : public CopyNewFilesTest {
protected:
    void SetUp() override {
        CopyNewFilesTest::SetUp();
        hash = File(GetModuleDirectory() + kSep, Utf8ToWide(ZEP_TEST_CHILD_NAME)).GetSha1Hash().ToString();
        fs::create_directories(fs::path(update + L"setup"));
        for (const wchar_t* name : {L"A.exe", L"B.exe"}) {
            fs::copy_file(fs::path(ChildProgram()), fs::path(update + L"setup" + kSep + name));
        }
    }

    std::string HashOfFile(const std::wstring& path) const {
        File file;
        file.SetFullPath(path);
        return file.GetSha1Hash().ToString();
    }

    std::string Records(const std::string& name, const std::string& more = "") const {
        return "--record &quot;{__INSTALL_PATH__}ran" + name + ".txt&quot;" + more;
    }

    bool Ran(const std::wstring& name) const {
        return fs::exists(fs::path(product + L"ran" + name + L".txt"));
    }

    std::string hash;
    std::size_t linesAtPause = 0;
};

TEST_F(SetupProgramTest, SetupProgramsRunInManifestOrderFromTheProductFolder) {
    Write(update, L"a.txt", "a");
    // B is listed first; C is listed but absent and so not run.
    progress.onReport = [this] { linesAtPause = log.Lines().size(); };
    Load(Entry("a.txt", HashOf("a")), Entry("B.exe", hash, Records("B")) +
                                          Entry("C.exe", hash, Records("C")) +
                                          Entry("A.exe", hash, Records("A")));

    ASSERT_EQ(Run(), 0) << log.Dump();
    EXPECT_TRUE(Ran(L"A"));
    EXPECT_TRUE(Ran(L"B"));
    EXPECT_FALSE(Ran(L"C"));
    const std::wstring setup = product + L"setup" + kSep;
    const std::size_t startB = LineWith(L"CopyNewFiles: Starting setup file. (file: " + setup +
                                        L"B.exe, arguments: "
                                        L"--record \"" +
                                        product + L"ranB.txt\")");
    const std::size_t startA = LineWith(L"CopyNewFiles: Starting setup file. (file: " + setup + L"A.exe");
    EXPECT_LT(startB, startA) << log.Dump();
    EXPECT_LT(startA, log.Lines().size());
    // GUI text 10 once, before the first start.
    EXPECT_EQ(progress.Reports(), 1u);
    EXPECT_LE(linesAtPause, startB);
    EXPECT_EQ(HashOfFile(setup + L"A.exe"), hash);
    EXPECT_EQ(HashOfFile(setup + L"B.exe"), hash);
    EXPECT_EQ(test::ReadTextFile(product + L"a.txt"), "a");
}

TEST_F(SetupProgramTest, AFailingSetupProgramStopsTheUpdate) {
    Load("", Entry("B.exe", hash, Records("B", " --exit 3")) + Entry("A.exe", hash, Records("A")));
    EXPECT_EQ(Run(), 144);
    EXPECT_TRUE(
        log.Has(LevelError, L"CopyNewFiles: Exit code of setup file is not 0 (filename: B.exe, exitCode: 3)"))
        << log.Dump();
    EXPECT_TRUE(Ran(L"B"));
    EXPECT_FALSE(Ran(L"A"));
}

TEST_F(SetupProgramTest, ASetupFileNotListedStopsTheUpdateBeforeAnythingRuns) {
    Write(update, L"setup\\X.exe", "not listed");
    Load("", Entry("A.exe", hash, Records("A")) + Entry("B.exe", hash, Records("B")));
    EXPECT_EQ(Run(), 142);
    EXPECT_TRUE(Refused(L"Setup", L"X.exe", "not listed")) << log.Dump();
    EXPECT_FALSE(Ran(L"A"));
    EXPECT_FALSE(Ran(L"B"));
    EXPECT_EQ(progress.Reports(), 0u);
    EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{});
}

// What runs is the copy that was checked: a program swapped in the update folder after the check (here
// while the status text is on its way to the dialog) is neither run nor kept.
TEST_F(SetupProgramTest, ASetupProgramSwappedAfterItsCheckIsNeverRun) {
    Load("", Entry("A.exe", hash, Records("A")));
    fs::remove(fs::path(update + L"setup" + kSep + L"B.exe"));
    progress.onReport = [this] {
        const std::wstring swapped = update + L"setup" + kSep + L"A.exe";
        fs::remove(fs::path(swapped));
        Write(update, L"setup\\A.exe", "MZ not the program that was checked");
        fs::permissions(fs::path(swapped), fs::perms(0755));
    };
    ASSERT_EQ(Run(), 0) << log.Dump();
    EXPECT_EQ(progress.Reports(), 1u);
    EXPECT_TRUE(Ran(L"A"));
    EXPECT_EQ(HashOfFile(product + L"setup" + kSep + L"A.exe"), hash);
}

TEST_F(SetupProgramTest, ASetupFolderMustNameAFolderInsideTheProductFolder) {
    Load("", "", "..");
    EXPECT_EQ(Run(CopyKind::Setup), 100);
    EXPECT_TRUE(log.Contains(L"CopyNewFiles: Setup folder does not name a folder inside the update folder. "
                             L"(setupFolder: ..)"))
        << log.Dump();
}

// System files: PE images whose file version is patched into a copy of the fixture.
class SystemFileTest : public CopyNewFilesTest {
protected:
    void SetUp() override {
        CopyNewFilesTest::SetUp();
        image = test::ReadTextFile(Fixtures() + L"version64.dll");
        if (image.empty()) {
            GTEST_SKIP() << "PE fixtures were not built (no Windows cross toolchain)";
        }
        if (test::ScopedMachineRoot::IsScratch()) {
            fs::create_directories(fs::path(MachineSystemFolder()));
        }
        Directory system;
        system.SetSpecialFolder(KnownFolder::System);
        systemFolder = system.GetFullPath();
        // Names of this run only: on Windows the system folder is the machine's own.
        prefix = L"zepcopy" + std::to_wstring(platform::CurrentProcessId()) + L"-";
    }

    void TearDown() override {
        for (const std::wstring& name : installed) {
            std::error_code ignored;
            fs::remove(fs::path(systemFolder + name), ignored);
        }
    }

    static std::wstring MachineSystemFolder() {
        const char* root = std::getenv("ZEP_MACHINE_ROOT");
        return Utf8ToWide(root != nullptr ? root : "") + L"/usr/lib/zepmaintenance/system/";
    }

    // The fixture with the given file version in its fixed file information.
    std::string Image(uint16_t major, uint16_t minor, uint16_t build, uint16_t revision) const {
        std::string bytes = image;
        const char signature[] = {'\xBD', '\x04', '\xEF', '\xFE'};
        const std::size_t at = bytes.find(std::string(signature, 4));
        EXPECT_NE(at, std::string::npos);
        const uint32_t versions[] = {static_cast<uint32_t>(major) << 16 | minor,
                                     static_cast<uint32_t>(build) << 16 | revision};
        for (int i = 0; i < 2; ++i) {
            for (int b = 0; b < 4; ++b) {
                bytes[at + 8 + 4 * i + b] = static_cast<char>(versions[i] >> (8 * b) & 0xFF);
            }
        }
        return bytes;
    }

    void Install(const std::wstring& name, const std::string& bytes) {
        installed.push_back(name);
        test::WriteTextFile(systemFolder + name, bytes);
    }

    std::string image;
    std::wstring systemFolder;
    std::wstring prefix;
    std::vector<std::wstring> installed;
};

TEST_F(SystemFileTest, SpecialFoldersGoToTheSystemFolderWhenTheScanReachesThem) {
    const std::wstring plain = prefix + L"plain.dll";
    const std::wstring server = prefix + L"server.dll";
    Install(plain, Image(1, 0, 0, 0));
    Install(server, Image(1, 0, 0, 0));
    Write(update, L"_ZEP_UPGRADE_SYSTEM\\" + plain, Image(1, 0, 0, 1));
    Write(update, L"_ZEP_UPGRADE_SYSTEM_COM\\" + server, Image(2, 0, 0, 0));
    Write(update, L"a.txt", "a");
    if (test::ScopedMachineRoot::IsScratch()) {
        // The deployment's program of that name: here one that records how it was started.
        const std::wstring record = dir.Path() + L"registered.txt";
        Install(L"regsvr32.exe", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + WideToUtf8(record) + "'\n");
        fs::permissions(fs::path(systemFolder + L"regsvr32.exe"), fs::perms(0755));
    }
    Load(Entry("_ZEP_UPGRADE_SYSTEM\\" + WideToUtf8(plain), HashOf(Image(1, 0, 0, 1))) +
         Entry("_ZEP_UPGRADE_SYSTEM_COM\\" + WideToUtf8(server), HashOf(Image(2, 0, 0, 0))) +
         Entry("a.txt", HashOf("a")));

    ASSERT_EQ(Run(), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(systemFolder + plain), Image(1, 0, 0, 1));
    EXPECT_EQ(test::ReadTextFile(systemFolder + server), Image(2, 0, 0, 0));
    EXPECT_EQ(FilesBelow(product), std::set<std::wstring>{L"a.txt"});
    EXPECT_TRUE(log.Contains(L"Start: Process started. (file: " + systemFolder +
                             L"regsvr32.exe, parameters: /s " + systemFolder + server +
                             L", directory: , runAsAdmin: 0)"))
        << log.Dump();
    EXPECT_EQ(std::count_if(log.Lines().begin(), log.Lines().end(),
                            [](const test::CapturedLine& line) {
                                return line.message.find(L"Start: Process started.") != std::wstring::npos;
                            }),
              1);
    if (test::ScopedMachineRoot::IsScratch()) {
        // Not awaited by the copy stage: it may still be on its way.
        const fs::path record(dir.Path() + L"registered.txt");
        const auto recorded = [&] {
            std::error_code error;
            return fs::exists(record, error) && fs::file_size(record, error) > 0;
        };
        for (int waited = 0; waited < 500 && !recorded(); ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(test::ReadTextFile(record.wstring()), "/s\n" + WideToUtf8(systemFolder + server) + "\n");
    }
}

TEST_F(SystemFileTest, SystemFilesGoByTheVersionOfTheCheckedCopy) {
    const std::wstring name = prefix + L"lib.dll";
    const auto runSystemPass = [this] { return Run(CopyKind::System); };
    // Equal versions: neither copied nor checked against the manifest.
    Install(name, Image(3, 1, 0, 0) + "installed");
    Write(update, L"_ZEP_UPGRADE_SYSTEM\\" + name, Image(3, 1, 0, 0));
    Load("");
    EXPECT_EQ(runSystemPass(), 0) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(systemFolder + name), Image(3, 1, 0, 0) + "installed");

    // Newer but not listed.
    Write(update, L"_ZEP_UPGRADE_SYSTEM\\" + name, Image(3, 2, 0, 0));
    EXPECT_EQ(runSystemPass(), 143);
    EXPECT_TRUE(Refused(L"Upgrade", L"_ZEP_UPGRADE_SYSTEM\\" + name, Image(3, 2, 0, 0))) << log.Dump();
    EXPECT_EQ(test::ReadTextFile(systemFolder + name), Image(3, 1, 0, 0) + "installed");

    // A new file without a version resource.
    Write(update, L"_ZEP_UPGRADE_SYSTEM\\" + name, test::ReadTextFile(Fixtures() + L"noversion64.dll"));
    EXPECT_EQ(runSystemPass(), 130);

    // No installed counterpart.
    fs::remove(fs::path(systemFolder + name));
    Write(update, L"_ZEP_UPGRADE_SYSTEM\\" + name, Image(3, 2, 0, 0));
    Load(Entry("_ZEP_UPGRADE_SYSTEM\\" + WideToUtf8(name), HashOf(Image(3, 2, 0, 0))));
    EXPECT_EQ(runSystemPass(), 130);
    EXPECT_TRUE(log.Has(LevelError, L"GetVersion: GetFileVersionInfoSizeW returned 0. (filename: " + name +
                                        L", path: " + systemFolder + L")."))
        << log.Dump();
    // Nothing of the refused copies is left in the system folder.
    for (const auto& entry : fs::directory_iterator(fs::path(systemFolder))) {
        EXPECT_EQ(entry.path().filename().wstring().find(L".zep-copy-"), std::wstring::npos);
    }
}

} // namespace
} // namespace ZEPMaintenance
