// The manifest model: what LoadBuffer accepts and logs, the name and hash rules of the three queries,
// LoadZCFFile over a signed container, and the actions DeleteFile elements become.
#include "upgrade/ConfigFile.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/DevelopmentKey.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;

constexpr char kHashA[] = "3F786850E387550FDAB836ED7E6DC881DE23001B";
constexpr char kHashB[] = "89E6C98D92887913CADF06B2ADB97F26CDE4849B";

std::vector<uint8_t> Utf8Bytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Digests with this SHA-1 and no SHA-256, which only entries without one accept.
FileDigests HashOf(const char* text) {
    FileDigests digests;
    digests.sha1.LoadFromString(text);
    return digests;
}

constexpr char kSha256A[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr char kSha256AUpper[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
constexpr char kSha256B[] = "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";

FileDigests DigestsOf(const char* sha1, const char* sha256) {
    FileDigests digests = HashOf(sha1);
    digests.sha256.LoadFromString(sha256);
    return digests;
}

// A <File> element; extra attributes go after the hash as they stand.
std::string FileElement(const char* hash, const std::string& name, const std::string& extra = "") {
    return std::string("<File hash=\"") + hash + "\"" + extra + ">" + name + "</File>";
}

std::string Manifest(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ZEP_UPGRADE version=\"2.0\">" + body +
           "</ZEP_UPGRADE>";
}

class ConfigFileTest : public ::testing::Test {
protected:
    bool Load(const std::string& xml) { return manifest.LoadBuffer(Utf8Bytes(xml)); }

    CapturedLog log; // before the manifest, so that its logger records
    ConfigFile manifest;
};

TEST_F(ConfigFileTest, FullManifestFillsEveryListInDocumentOrderAndLogsEachEntry) {
    ASSERT_TRUE(Load(Manifest(
        "<SetupFolder>setup</SetupFolder><PreUpgradeActions><DeleteFile>bin\\old.dll</DeleteFile>"
        "<DeleteFile>b.txt</DeleteFile></PreUpgradeActions><SetupFiles>" +
        FileElement(kHashB, "tool.exe", " args=\"/q\"") + FileElement(kHashA, "b.exe") +
        "</SetupFiles><UpgradeFiles>" + FileElement(kHashA, "a.dll") +
        FileElement(kHashB, "sub\\b.dll", " args=\"ignored\"") +
        "</UpgradeFiles><PostUpgradeActions><RunFile args=\"-x\">a.dll</RunFile></PostUpgradeActions>"
        "<RunAfterUpgrade>app.exe</RunAfterUpgrade>")));
    EXPECT_TRUE(manifest.IsLoaded());
    EXPECT_EQ(manifest.GetVersion(), L"2.0");
    EXPECT_EQ(manifest.GetSetupFolder(), L"setup");
    EXPECT_EQ(manifest.GetRunAfterUpgrade(), L"app.exe");
    const auto setup = manifest.GetSetupFiles();
    ASSERT_EQ(setup.size(), 2u);
    EXPECT_EQ(setup[0].fileName, L"tool.exe");
    EXPECT_EQ(setup[0].args, L"/q");
    EXPECT_EQ(setup[0].hash.ToString(), kHashB);
    EXPECT_EQ(setup[1].args, L"");
    const auto upgrade = manifest.GetUpgradeFiles();
    ASSERT_EQ(upgrade.size(), 2u);
    EXPECT_EQ(upgrade[1].fileName, L"sub\\b.dll");
    EXPECT_EQ(upgrade[1].args, L"");
    const auto post = manifest.GetPostUpgradeActions();
    ASSERT_EQ(post.size(), 1u);
    EXPECT_EQ(post[0].args, L"-x");
    EXPECT_EQ(post[0].hash.ToString(), "");
    auto& actions = manifest.GetPreUpgradeActions();
    ASSERT_EQ(actions.size(), 2u);
    EXPECT_EQ(dynamic_cast<DeleteFileAction&>(*actions[0]).GetFilePath(), L"bin\\old.dll");
    EXPECT_EQ(actions[0]->GetContext(), nullptr);

    const std::vector<std::wstring> expected = {
        L"LoadBuffer: Parsed PreUpgradeAction-DeleteFile (filepath: bin\\old.dll)",
        L"LoadBuffer: Parsed PreUpgradeAction-DeleteFile (filepath: b.txt)",
        L"LoadBuffer: Parsed SetupFile (filename: tool.exe, hash: " + Utf8ToWide(kHashB) + L", args: /q)",
        L"LoadBuffer: Parsed SetupFile (filename: b.exe, hash: " + Utf8ToWide(kHashA) + L", args: )",
        L"LoadBuffer: Parsed UpgradeFile (filename: a.dll, hash: " + Utf8ToWide(kHashA) + L")",
        L"LoadBuffer: Parsed UpgradeFile (filename: sub\\b.dll, hash: " + Utf8ToWide(kHashB) + L")",
        L"LoadBuffer: Parsed PostUpgradeAction (filename: a.dll, args: -x)",
        L"LoadBuffer: Parsed RunAfterUpgrade (filename: app.exe)",
    };
    std::vector<std::wstring> messages;
    for (const auto& line : log.Lines()) {
        EXPECT_EQ(line.level, LevelInfo) << log.Dump();
        EXPECT_EQ(line.category, L"ZEPMaintenance.ConfigFile");
        messages.push_back(line.message);
    }
    EXPECT_EQ(messages, expected);
}

TEST_F(ConfigFileTest, RejectedDocumentsAndTheirLines) {
    struct Case {
        std::string xml;
        const wchar_t* line;
    };
    const Case cases[] = {
        {"<ZEP_UPGRADE version=\"1\"><SetupFolder>a</ZEP_UPGRADE>", L"LoadBuffer: Parse XML failed."},
        {"", L"LoadBuffer: Parse XML failed."},
        {"\xFF\xFE<\x00", L"LoadBuffer: Parse XML failed."},
        {"<zep_upgrade version=\"1\"/>", L"LoadBuffer: Root node doesn't contain element ZEP_UPGRADE."},
        {"<Other><ZEP_UPGRADE version=\"1\"/></Other>",
         L"LoadBuffer: Root node doesn't contain element ZEP_UPGRADE."},
        {"<ZEP_UPGRADE Version=\"1\"/>", L"LoadBuffer: ZEP_UPGRADE doesn't containt attribute version."},
    };
    for (const Case& c : cases) {
        log.Clear();
        ConfigFile rejected;
        EXPECT_FALSE(rejected.LoadBuffer(Utf8Bytes(c.xml))) << c.xml;
        EXPECT_FALSE(rejected.IsLoaded());
        EXPECT_TRUE(log.Has(LevelError, c.line)) << c.xml << "\n" << log.Dump();
    }
}

TEST_F(ConfigFileTest, NothingIsFoundBeforeADocumentAndAnEmptyRootIsAccepted) {
    EXPECT_FALSE(manifest.IsLoaded());
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"", FileDigests()));
    EXPECT_EQ(manifest.FindSetupFile(L"", FileDigests()), nullptr);
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"", FileDigests()));
    ASSERT_TRUE(Load("<ZEP_UPGRADE version=\"\"/>"));
    EXPECT_TRUE(manifest.IsLoaded());
    EXPECT_EQ(manifest.GetVersion(), L"");
    EXPECT_TRUE(manifest.GetSetupFiles().empty());
    EXPECT_TRUE(manifest.GetUpgradeFiles().empty());
    EXPECT_TRUE(manifest.GetPostUpgradeActions().empty());
    EXPECT_TRUE(manifest.GetPreUpgradeActions().empty());
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST_F(ConfigFileTest, MalformedHashEscapesAndLeavesTheManifestUnloaded) {
    const std::string good = std::string("<File hash=\"") + kHashA + "\">a.dll</File>";
    EXPECT_EQ(CodeOf([&] {
                  Load(Manifest("<UpgradeFiles>" + good + "<File hash=\"abc\">b.dll</File></UpgradeFiles>"));
              }),
              100);
    EXPECT_TRUE(
        log.Has(LevelError, L"LoadFromString:  Incorrect SHA-1 hash length. (expected: 40, actual: 3)"))
        << log.Dump();
    EXPECT_FALSE(manifest.IsLoaded());
    // The entry before the bad one is in the list, yet nothing is found.
    EXPECT_EQ(manifest.GetUpgradeFiles().size(), 1u);
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"a.dll", HashOf(kHashA)));

    ConfigFile badChar;
    std::string hash = kHashA;
    hash[5] = 'g';
    EXPECT_EQ(CodeOf([&] {
                  badChar.LoadBuffer(Utf8Bytes(
                      Manifest("<SetupFiles><File hash=\"" + hash + "\">s.exe</File></SetupFiles>")));
              }),
              100);
    EXPECT_FALSE(badChar.IsLoaded());
    EXPECT_EQ(badChar.FindSetupFile(L"s.exe", HashOf(kHashA)), nullptr);
    // A hash with a character the ANSI code page cannot hold is refused too.
    ConfigFile wide;
    EXPECT_EQ(CodeOf([&] {
                  wide.LoadBuffer(Utf8Bytes(
                      Manifest("<UpgradeFiles><File hash=\"3F786850E387550FDAB836ED7E6DC881DE2300\xC4\x8D\">"
                               "a</File></UpgradeFiles>")));
              }),
              100);
}

TEST_F(ConfigFileTest, FilesWithoutHashAreSkippedSilently) {
    ASSERT_TRUE(Load(Manifest("<SetupFiles><File>nohash.exe</File>" + FileElement(kHashA, "s.exe") +
                              "</SetupFiles><UpgradeFiles><File>x.dll</File></UpgradeFiles>")));
    ASSERT_EQ(manifest.GetSetupFiles().size(), 1u);
    EXPECT_EQ(manifest.GetSetupFiles()[0].fileName, L"s.exe");
    EXPECT_TRUE(manifest.GetUpgradeFiles().empty());
    EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
}

TEST_F(ConfigFileTest, FirstElementRulesAndVerbatimText) {
    ASSERT_TRUE(
        Load(Manifest("<SetupFolder>first</SetupFolder><SetupFolder>second</SetupFolder><UpgradeFiles>" +
                      FileElement(kHashA, " a.dll") + "<Other hash=\"" + kHashA + "\">o.dll</Other>" +
                      FileElement(kHashB, "<![CDATA[c&d.dll]]>") + FileElement(kHashB, "x&amp;y&#x10D;.dll") +
                      FileElement(kHashB, "<b/>after.dll") + "<File hash=\"" + kHashB +
                      "\"/></UpgradeFiles><UpgradeFiles>" + FileElement(kHashA, "second.dll") +
                      "</UpgradeFiles><RunAfterUpgrade></RunAfterUpgrade>")));
    EXPECT_EQ(manifest.GetSetupFolder(), L"first");
    const auto upgrade = manifest.GetUpgradeFiles();
    ASSERT_EQ(upgrade.size(), 5u);
    EXPECT_EQ(upgrade[0].fileName, L" a.dll");
    EXPECT_EQ(upgrade[1].fileName, L"c&d.dll");
    EXPECT_EQ(upgrade[2].fileName, L"x&y\u010D.dll");
    EXPECT_EQ(upgrade[3].fileName, L"after.dll");
    EXPECT_EQ(upgrade[4].fileName, L"");
    // No trimming: the leading blank keeps a.dll unlisted.
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"a.dll", HashOf(kHashA)));
    EXPECT_TRUE(manifest.CheckUpgradeFile(L" a.dll", HashOf(kHashA)));
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"second.dll", HashOf(kHashA)));
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"o.dll", HashOf(kHashA)));
    EXPECT_TRUE(log.Has(LevelInfo, L"LoadBuffer: Parsed RunAfterUpgrade (filename: )")) << log.Dump();
}

TEST_F(ConfigFileTest, EncodingComesFromTheByteOrderMark) {
    const std::wstring text = L"<ZEP_UPGRADE version=\"\u010D\"/>";
    std::vector<uint8_t> utf16 = {0xFF, 0xFE};
    for (const wchar_t c : text) {
        utf16.push_back(static_cast<uint8_t>(c & 0xFF));
        utf16.push_back(static_cast<uint8_t>((c >> 8) & 0xFF));
    }
    ASSERT_TRUE(manifest.LoadBuffer(utf16));
    EXPECT_EQ(manifest.GetVersion(), L"\u010D");
}

TEST_F(ConfigFileTest, NamesCompareUpperCasedAndHashesByTheirDigits) {
    std::string lower = kHashA;
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    ASSERT_TRUE(Load(
        Manifest("<UpgradeFiles><File hash=\"" + lower + "\">Sub\\Ab\xC4\x8D.DLL</File></UpgradeFiles>")));
    EXPECT_TRUE(manifest.CheckUpgradeFile(L"sub\\ab\u010D.dll", HashOf(kHashA)));
    EXPECT_TRUE(manifest.CheckUpgradeFile(L"SUB\\AB\u010C.DLL", HashOf(lower.c_str())));
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"sub\\ab\u010D.dll", HashOf(kHashB)));
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"sub/ab\u010D.dll", HashOf(kHashA)));

    // The first setup entry of that name and digests; upgrade and setup lists are apart.
    ConfigFile setup;
    ASSERT_TRUE(
        setup.LoadBuffer(Utf8Bytes(Manifest("<SetupFiles>" + FileElement(kHashA, "t.exe", " args=\"1\"") +
                                            FileElement(kHashB, "T.EXE", " args=\"2\"") +
                                            FileElement(kHashB, "t.exe", " args=\"3\"") + "</SetupFiles>"))));
    ASSERT_NE(setup.FindSetupFile(L"t.exe", HashOf(kHashB)), nullptr);
    EXPECT_EQ(setup.FindSetupFile(L"t.exe", HashOf(kHashB))->args, L"2");
    EXPECT_EQ(setup.FindSetupFile(L"t.exe", HashOf(kHashA))->args, L"1");
    EXPECT_EQ(setup.FindSetupFile(L"u.exe", HashOf(kHashA)), nullptr);
    EXPECT_FALSE(setup.CheckUpgradeFile(L"t.exe", HashOf(kHashA)));
}

TEST_F(ConfigFileTest, PostUpgradeProgramMustBeAnUpgradeOrASetupFileOfTheUpdate) {
    ASSERT_TRUE(Load(Manifest("<SetupFolder>setup</SetupFolder><SetupFiles>" +
                              FileElement(kHashA, "tool.exe") + "</SetupFiles><UpgradeFiles>" +
                              FileElement(kHashB, "bin\\run.exe") + FileElement(kHashA, "other.exe") +
                              "</UpgradeFiles><PostUpgradeActions><RunFile>BIN\\RUN.EXE</RunFile>"
                              "</PostUpgradeActions>")));
    log.Clear();
    EXPECT_TRUE(manifest.CheckPostUpgradeAction(L"bin\\run.exe", HashOf(kHashB)));
    EXPECT_TRUE(log.Has(LevelInfo,
                        L"CheckPostUpgradeAction: Comparing with upgrade file (filenameA: BIN\\RUN.EXE, "
                        L"filenameB: BIN\\RUN.EXE)"))
        << log.Dump();
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"bin\\run.exe", HashOf(kHashA)));

    // The setup file, named by the setup folder, a backslash and its name, in any letter case.
    log.Clear();
    EXPECT_TRUE(manifest.CheckPostUpgradeAction(L"Setup\\TOOL.EXE", HashOf(kHashA)));
    EXPECT_TRUE(
        log.Has(LevelInfo, L"CheckPostUpgradeAction: Comparing with setup file (filenameA: SETUP\\TOOL.EXE, "
                           L"filenameB: SETUP\\TOOL.EXE, hashA: " +
                               Utf8ToWide(kHashA) + L", hashB: " + Utf8ToWide(kHashA) + L")"))
        << log.Dump();
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"setup\\tool.exe", HashOf(kHashB)));
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"tool.exe", HashOf(kHashA)));
    // An upgrade file that is not a RunFile entry is not a post-upgrade program.
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"other.exe", HashOf(kHashA)));
}

TEST_F(ConfigFileTest, MalformedSha256EscapesAndLeavesTheManifestUnloaded) {
    const std::string good =
        std::string("<File hash=\"") + kHashA + "\" sha256=\"" + kSha256A + "\">a.dll</File>";
    const std::string valid = kSha256A;
    const struct {
        std::string list;
        std::string element;
        std::string sha256;
    } cases[] = {
        {"UpgradeFiles", "File", valid.substr(1)},
        {"UpgradeFiles", "File", valid + "0"},
        {"UpgradeFiles", "File", ""},
        {"SetupFiles", "File", valid.substr(0, 63) + "g"},
        // A character outside ASCII that a code page might map to a digit.
        {"SetupFiles", "File", valid.substr(1) + "\xEF\xBC\x91"},
        {"PostUpgradeActions", "RunFile", valid.substr(0, 40)},
    };
    for (const auto& c : cases) {
        log.Clear();
        ConfigFile rejected;
        const std::string bad = "<" + c.element +
                                (c.element == "File" ? std::string(" hash=\"") + kHashB + "\"" : "") +
                                " sha256=\"" + c.sha256 + "\">b.dll</" + c.element + ">";
        // In one list the good entry comes first and is kept, as before a malformed hash.
        const std::string xml =
            Manifest(c.list == "UpgradeFiles" ? "<UpgradeFiles>" + good + bad + "</UpgradeFiles>"
                                              : "<UpgradeFiles>" + good + "</UpgradeFiles><" + c.list + ">" +
                                                    bad + "</" + c.list + ">");
        EXPECT_EQ(CodeOf([&] { rejected.LoadBuffer(Utf8Bytes(xml)); }), 100) << xml;
        EXPECT_TRUE(log.Has(LevelError, L"LoadBuffer: Incorrect SHA-256 hash. (filename: b.dll, sha256: " +
                                            Utf8ToWide(c.sha256) + L")"))
            << xml << "\n"
            << log.Dump();
        EXPECT_FALSE(rejected.IsLoaded());
        EXPECT_FALSE(rejected.CheckUpgradeFile(L"a.dll", DigestsOf(kHashA, kSha256A)));
    }
}

// The SHA-256 binds where an entry carries one: the right SHA-1 alone is then not enough, in each query.
TEST_F(ConfigFileTest, AnEntryWithSha256MatchesOnlyBothDigests) {
    const auto sha256 = [](const char* digest) { return std::string(" sha256=\"") + digest + "\""; };
    ASSERT_TRUE(Load(Manifest(
        "<SetupFolder>setup</SetupFolder><SetupFiles>" +
        FileElement(kHashA, "t.exe", sha256(kSha256B) + " args=\"wrong\"") +
        FileElement(kHashA, "t.exe", sha256(kSha256A) + " args=\"right\"") + "</SetupFiles><UpgradeFiles>" +
        FileElement(kHashA, "a.dll", sha256(kSha256AUpper)) + FileElement(kHashB, "old.dll") +
        FileElement(kHashB, "run.exe") +
        "</UpgradeFiles><PostUpgradeActions><RunFile>a.dll</RunFile><RunFile>setup\\t.exe</RunFile><RunFile" +
        sha256(kSha256B) + ">run.exe</RunFile></PostUpgradeActions>")));
    // Read in either case, kept and compared lower-cased.
    EXPECT_TRUE(log.Has(LevelInfo, L"LoadBuffer: Parsed SHA-256 (filename: a.dll, sha256: " +
                                       Utf8ToWide(kSha256A) + L")"))
        << log.Dump();
    EXPECT_TRUE(manifest.GetUpgradeFiles()[1].sha256.IsEmpty());
    EXPECT_TRUE(manifest.CheckUpgradeFile(L"a.dll", DigestsOf(kHashA, kSha256A)));
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"a.dll", DigestsOf(kHashA, kSha256B)));
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"a.dll", HashOf(kHashA)));
    // Without a SHA-256 in the entry, any SHA-256 goes, as before there was one.
    EXPECT_TRUE(manifest.CheckUpgradeFile(L"old.dll", DigestsOf(kHashB, kSha256B)));

    const ManifestFileEntry* setup = manifest.FindSetupFile(L"t.exe", DigestsOf(kHashA, kSha256A));
    ASSERT_NE(setup, nullptr);
    EXPECT_EQ(setup->args, L"right");
    EXPECT_EQ(manifest.FindSetupFile(L"t.exe", DigestsOf(kHashA, "")), nullptr);

    EXPECT_TRUE(manifest.CheckPostUpgradeAction(L"a.dll", DigestsOf(kHashA, kSha256A)));
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"a.dll", DigestsOf(kHashA, kSha256B)));
    EXPECT_TRUE(manifest.CheckPostUpgradeAction(L"setup\\t.exe", DigestsOf(kHashA, kSha256B)));
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"setup\\t.exe", DigestsOf(kHashA, "")));
    // The RunFile's own SHA-256 binds the program although its upgrade file carries none.
    EXPECT_TRUE(manifest.CheckPostUpgradeAction(L"RUN.EXE", DigestsOf(kHashB, kSha256B)));
    EXPECT_FALSE(manifest.CheckPostUpgradeAction(L"run.exe", DigestsOf(kHashB, kSha256A)));
}

class LoadZcfFileTest : public ConfigFileTest {
protected:
    test::TempDir dir;
};

TEST_F(LoadZcfFileTest, SignedContainerLoadsItsManifest) {
    test::EnsureCryptoProvider();
    ASSERT_TRUE(manifest.LoadZCFFile(test::UpgradeFixture(L"manifest.zcf"), test::DevelopmentKey()))
        << log.Dump();
    EXPECT_TRUE(manifest.IsLoaded());
    EXPECT_EQ(manifest.GetVersion(), L"2.0.1300.0");
    EXPECT_TRUE(manifest.CheckUpgradeFile(L"A.DLL", HashOf(kHashA)));
}

TEST_F(LoadZcfFileTest, MalformedHashInASignedManifestEscapesWithTheManifestUnloaded) {
    test::EnsureCryptoProvider();
    EXPECT_EQ(
        CodeOf([&] { manifest.LoadZCFFile(test::UpgradeFixture(L"badhash.zcf"), test::DevelopmentKey()); }),
        100);
    EXPECT_FALSE(manifest.IsLoaded());
    EXPECT_FALSE(manifest.CheckUpgradeFile(L"a.dll", HashOf(kHashA)));
    EXPECT_TRUE(
        log.Has(LevelError, L"LoadFromString:  Incorrect SHA-1 hash length. (expected: 40, actual: 3)"))
        << log.Dump();
    EXPECT_FALSE(log.Contains(L"LoadZCFFile:")) << log.Dump();
}

TEST_F(LoadZcfFileTest, FailuresAreLoggedWithoutTheirCodes) {
    EXPECT_FALSE(manifest.LoadZCFFile(dir.Path() + L"missing.zcf", test::DevelopmentKey()));
    EXPECT_TRUE(log.Has(LevelError, L"LoadZCFFile: LoadFile failed.")) << log.Dump();

    std::ifstream in(std::filesystem::path(test::UpgradeFixture(L"manifest.zcf")), std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    bytes.back() ^= 0x01;
    const std::wstring changed = dir.Path() + L"changed.zcf";
    std::ofstream(std::filesystem::path(changed), std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    log.Clear();
    EXPECT_FALSE(manifest.LoadZCFFile(changed, test::DevelopmentKey()));
    EXPECT_TRUE(log.Has(LevelError, L"LoadZCFFile: VerifySignature failed.")) << log.Dump();
    EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
    EXPECT_FALSE(manifest.IsLoaded());

    // Another trusted key: the key id differs before any signature is looked at.
    log.Clear();
    SigningKey other = test::DevelopmentKey();
    other.keyId[0] = other.keyId[0] == 'A' ? 'B' : 'A';
    EXPECT_FALSE(manifest.LoadZCFFile(test::UpgradeFixture(L"manifest.zcf"), other));
    EXPECT_TRUE(log.Has(LevelError, L"LoadZCFFile: VerifySignature failed.")) << log.Dump();
}

} // namespace
} // namespace ZEPMaintenance
