// The streaming manifest reader against the whole-document parse: for every document, the same outcome,
// lists and lines, and which documents the reader takes itself; the packed list of upgrade files.
#include "upgrade/ManifestStream.h"

#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "upgrade/ConfigFile.h"

#include <gtest/gtest.h>

#include <optional>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;

constexpr char kHashA[] = "3F786850E387550FDAB836ED7E6DC881DE23001B";
constexpr char kHashLower[] = "89e6c98d92887913cadf06b2adb97f26cde4849b";
constexpr char kHashMixed[] = "89e6c98d92887913CADF06B2ADB97F26CDE4849B";
constexpr char kSha256[] = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

class StringSource : public ByteSource {
public:
    // Pieces of at most step bytes, so that every construct also meets the end of a piece.
    StringSource(const std::string& text, std::size_t step) : text_(text), step_(step) {}
    std::size_t Read(uint8_t* buffer, std::size_t size) override {
        const std::size_t count = std::min({size, step_, text_.size() - offset_});
        std::copy_n(text_.data() + offset_, count, buffer);
        offset_ += count;
        return count;
    }

private:
    const std::string& text_;
    std::size_t step_;
    std::size_t offset_ = 0;
};

bool Streams(const std::string& xml, std::size_t step = 1u << 20) {
    StringSource source(xml, step);
    StreamedManifest manifest;
    return ReadManifestStream(source, manifest);
}

std::string File(const std::string& hash, const std::string& name, const std::string& extra = "") {
    return "<File hash=\"" + hash + "\"" + extra + ">" + name + "</File>";
}

std::string Manifest(const std::string& body, const std::string& declaration = "<?xml version=\"1.0\"?>\n") {
    return declaration + "<ZEP_UPGRADE version=\"3.1\">" + body + "</ZEP_UPGRADE>";
}

// Everything a load leaves that a caller can see, with the lines it wrote.
struct Outcome {
    std::optional<bool> result; // empty when the load raised
    int32_t code = 0;
    std::wstring text;
    std::vector<std::wstring> lines;
};

Outcome Describe(bool streamed, const std::string& xml) {
    CapturedLog log;
    ConfigFile manifest;
    Outcome outcome;
    const std::vector<uint8_t> bytes(xml.begin(), xml.end());
    outcome.code = CodeOf(
        [&] { outcome.result = streamed ? manifest.LoadBuffer(bytes) : manifest.LoadDocument(bytes); });
    for (const auto& line : log.Lines()) {
        outcome.lines.push_back(line.category + L": " + line.message);
    }
    const auto wide = [](const std::string& text) { return std::wstring(text.begin(), text.end()); };
    const auto entries = [&](const wchar_t* list, const auto& files) {
        for (const ManifestFileEntry& entry : files) {
            outcome.text += std::wstring(list) + L"[" + entry.fileName + L"|" + entry.args + L"|" +
                            wide(entry.hash.ToString()) + L"|" + wide(entry.sha256.ToString()) + L"]";
        }
    };
    outcome.text = L"loaded=" + std::to_wstring(manifest.IsLoaded()) + L" version=" + manifest.GetVersion() +
                   L" setup=" + manifest.GetSetupFolder() + L" run=" + manifest.GetRunAfterUpgrade() +
                   L" pre=" + std::to_wstring(manifest.GetPreUpgradeActions().size());
    entries(L"S", manifest.GetSetupFiles());
    entries(L"U", manifest.GetUpgradeFiles());
    entries(L"P", manifest.GetPostUpgradeActions());
    return outcome;
}

struct Case {
    const char* what;
    std::string xml;
    bool streams;
};

TEST(ManifestStreamTest, EveryDocumentLoadsAsTheWholeDocumentParseLoadsIt) {
    const std::string hash = kHashA;
    const std::string ok = "<UpgradeFiles>" + File(hash, "a.dll") + "</UpgradeFiles>";
    std::string deep;
    for (int i = 0; i < 40; ++i) {
        deep = "<n>" + deep + "</n>";
    }
    const std::vector<Case> cases = {
        {"every list",
         Manifest("<SetupFolder>setup</SetupFolder><PreUpgradeActions><DeleteFile>old.dll</DeleteFile>"
                  "</PreUpgradeActions><SetupFiles>" +
                  File(hash, "t.exe", " args=\"/q\" sha256=\"" + std::string(kSha256) + "\"") +
                  "</SetupFiles><UpgradeFiles>" + File(hash, "sub\\a.dll") +
                  File(kHashLower, "b.dll", " sha256=\"" + std::string(kSha256) + "\"") +
                  "</UpgradeFiles><PostUpgradeActions><RunFile args=\"-x\">a.dll</RunFile>"
                  "</PostUpgradeActions><RunAfterUpgrade>app.exe</RunAfterUpgrade>"),
         true},
        {"no declaration", Manifest(ok, ""), true},
        {"UTF-8 declared", Manifest(ok, "<?xml version='1.0' encoding='utf-8' ?>"), true},
        {"byte order mark", Manifest(ok, "\xEF\xBB\xBF<?xml version=\"1.0\"?>"), true},
        {"Latin-1 declared",
         Manifest("<UpgradeFiles>" + File(hash, "\xE8.dll") + "</UpgradeFiles>",
                  "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"),
         false},
        {"standalone declared", Manifest(ok, "<?xml version=\"1.0\" standalone=\"yes\"?>"), false},
        {"comments and white space",
         "<!-- a -->\n<ZEP_UPGRADE version=\"1\" >\n  <!-- b -- c --->\n  <UpgradeFiles >\n    " +
             File(hash, "a.dll") + "\n  </UpgradeFiles >\n</ZEP_UPGRADE >\n<!---->\n",
         true},
        {"entities and CDATA",
         Manifest("<SetupFiles>" + File(hash, "&lt;a&amp;b&gt;", " args=\"&quot;x&apos; y\"") +
                  "</SetupFiles><UpgradeFiles><File hash=\"" + hash +
                  "\"><![CDATA[<c&d>]]></File></UpgradeFiles>"),
         true},
        {"text verbatim, white space kept",
         Manifest("<UpgradeFiles>" + File(hash, "  a b \t") + "</UpgradeFiles>"), true},
        {"white space, then CDATA",
         Manifest("<UpgradeFiles>" + File(hash, " \n <![CDATA[x]]>y") + "</UpgradeFiles>"), true},
        {"text split by a comment", Manifest("<UpgradeFiles>" + File(hash, "a<!--c-->b") + "</UpgradeFiles>"),
         true},
        {"text after a child element",
         Manifest("<UpgradeFiles>" + File(hash, "<x>y</x>name") + "</UpgradeFiles>"), true},
        {"empty CDATA is the text",
         Manifest("<UpgradeFiles>" + File(hash, "<![CDATA[]]>name") + "</UpgradeFiles>"), true},
        {"first list and first attribute",
         Manifest("<UpgradeFiles><File hash=\"" + hash +
                  "\" hash=\"bad\">a</File></UpgradeFiles><UpgradeFiles>" + File("bad", "b") +
                  "</UpgradeFiles><SetupFolder>one</SetupFolder><SetupFolder>two</SetupFolder>"),
         true},
        {"tabs and line feeds in attributes",
         Manifest("<SetupFiles>" + File(hash, "t", " args='a\tb\nc'") + "</SetupFiles>"), true},
        {"lists elsewhere are ignored",
         Manifest("<x><UpgradeFiles>" + File(hash, "a") + "</UpgradeFiles></x>" + File(hash, "b") +
                  "<UpgradeFiles><y>" + File(hash, "c") + "</y><File>nohash</File><Other/></UpgradeFiles>"),
         true},
        {"empty and self-closed",
         Manifest("<UpgradeFiles><File hash=\"" + hash +
                  "\"/></UpgradeFiles><RunAfterUpgrade/><SetupFolder></SetupFolder>"),
         true},
        {"names beyond ASCII",
         Manifest("<UpgradeFiles>" + File(hash, "d\xC4\x8D\xE2\x82\xAC\xF0\x9F\x98\x80.dll") +
                  "</UpgradeFiles>"),
         true},
        {"self-closed root", "<ZEP_UPGRADE version=\"\"/>", true},
        {"mixed-case hash", Manifest("<UpgradeFiles>" + File(kHashMixed, "a") + "</UpgradeFiles>"), false},
        {"short hash", Manifest("<UpgradeFiles>" + File(hash, "a") + File("ABC", "b") + "</UpgradeFiles>"),
         false},
        {"bad setup hash", Manifest("<SetupFiles>" + File(hash.substr(1) + "g", "s") + "</SetupFiles>"),
         false},
        {"bad SHA-256",
         Manifest("<UpgradeFiles>" + File(hash, "a", " sha256=\"" + std::string(kSha256).substr(1) + "\"") +
                  "</UpgradeFiles>"),
         false},
        {"bad program SHA-256",
         Manifest("<PostUpgradeActions><RunFile sha256=\"x\">r</RunFile></PostUpgradeActions>"), false},
        {"character reference", Manifest("<UpgradeFiles>" + File(hash, "&#65;") + "</UpgradeFiles>"), false},
        {"unknown entity", Manifest("<UpgradeFiles>" + File(hash, "&nbsp;x") + "</UpgradeFiles>"), false},
        {"carriage returns", Manifest("<UpgradeFiles>\r\n" + File(hash, "a\r\nb") + "</UpgradeFiles>"),
         false},
        {"a name with a colon", Manifest("<x:y/>" + ok), false},
        {"a processing instruction", Manifest("<?pi x?>" + ok), false},
        {"a document type", "<!DOCTYPE ZEP_UPGRADE>" + Manifest(ok, ""), false},
        {"text before the root", "x" + Manifest(ok, ""), false},
        {"text after the root", Manifest(ok) + "x", false},
        {"two roots", Manifest(ok) + "<ZEP_UPGRADE version=\"2\"/>", false},
        {"another root", "<zep_upgrade version=\"1\"/>", false},
        {"no version", "<ZEP_UPGRADE Version=\"1\"/>", false},
        {"unclosed", "<ZEP_UPGRADE version=\"1\"><SetupFolder>a</ZEP_UPGRADE>", false},
        {"end tag of another name", Manifest("<a></b>"), false},
        {"attributes run together", Manifest("<a b=\"1\"c=\"2\"/>"), false},
        {"unquoted value", Manifest("<a b=1/>"), false},
        {"< in a value", Manifest("<a b=\"<\"/>"), false},
        {"unfinished comment", Manifest(ok) + "<!-- x ->", false},
        {"unfinished CDATA", Manifest("<a><![CDATA[x]></a>"), false},
        {"truncated", Manifest(ok).substr(0, 60), false},
        {"empty", "", false},
        {"invalid UTF-8", Manifest("<UpgradeFiles>" + File(hash, "a\xFF") + "</UpgradeFiles>"), false},
        {"overlong UTF-8", Manifest("<UpgradeFiles>" + File(hash, "\xC0\xAF") + "</UpgradeFiles>"), false},
        {"encoded surrogate", Manifest("<UpgradeFiles>" + File(hash, "\xED\xA0\x80") + "</UpgradeFiles>"),
         false},
        {"NUL", Manifest("<UpgradeFiles>" + File(hash, std::string("a\0b", 3)) + "</UpgradeFiles>"), false},
        {"UTF-16", std::string("\xFF\xFE<\0Z\0", 6), false},
        {"nested too deep", Manifest(deep), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Streams(c.xml), c.streams);
        // The pieces a container arrives in change nothing.
        EXPECT_EQ(Streams(c.xml, 3), c.streams);
        const Outcome streamed = Describe(true, c.xml);
        const Outcome document = Describe(false, c.xml);
        EXPECT_EQ(streamed.result, document.result);
        EXPECT_EQ(streamed.code, document.code);
        EXPECT_EQ(streamed.text, document.text);
        EXPECT_EQ(streamed.lines, document.lines);
    }
}

TEST(ManifestStreamTest, ListsOfTheFewEntriesCannotBeMadeLong) {
    std::string many;
    for (int i = 0; i < 8000; ++i) {
        many += "<DeleteFile>" + std::string(100, 'x') + "</DeleteFile>";
    }
    const std::string xml = Manifest("<PreUpgradeActions>" + many + "</PreUpgradeActions>");
    EXPECT_FALSE(Streams(xml));
    // Left to the whole-document parse, which still takes it.
    ConfigFile manifest;
    EXPECT_TRUE(manifest.LoadBuffer(std::vector<uint8_t>(xml.begin(), xml.end())));
    EXPECT_EQ(manifest.GetPreUpgradeActions().size(), 8000u);
}

FileDigests Digests(const std::string& sha1, const std::string& sha256 = "") {
    FileDigests digests;
    digests.sha1.LoadFromString(sha1);
    digests.sha256.LoadFromString(sha256);
    return digests;
}

ManifestFileList::Sha1Bytes Sha1(const std::string& text) {
    ManifestFileList::Sha1Bytes bytes{};
    EXPECT_TRUE(HexToBytes(text, bytes.data(), bytes.size()));
    return bytes;
}

TEST(ManifestFileListTest, NamesAndDigestsComeBackAsTheyWent) {
    std::wstring odd = L"a\x7F\x80\x3FFF\x4000\xFFFF";
    if constexpr (sizeof(wchar_t) == 4) {
        odd += static_cast<wchar_t>(0x10FFFF);
        odd += static_cast<wchar_t>(0x7FFFFFFF);
    }
    ManifestFileList::Sha256Bytes sha256{};
    ASSERT_TRUE(HexToBytes(kSha256, sha256.data(), sha256.size()));
    ManifestFileList list;
    list.Add(odd, Sha1(kHashLower), &sha256);
    list.Add(L"", Sha1(kHashA), nullptr);
    list.Index();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].fileName, odd);
    EXPECT_EQ(list[0].hash.ToString(), "89E6C98D92887913CADF06B2ADB97F26CDE4849B");
    EXPECT_EQ(list[0].sha256.ToString(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(list[1].fileName, L"");
    EXPECT_TRUE(list[1].sha256.IsEmpty());
    EXPECT_FALSE(HexToBytes("3F78", sha256.data(), 1));
    EXPECT_FALSE(HexToBytes("3G", sha256.data(), 1));
}

TEST(ManifestFileListTest, LookupsUpperCaseNamesAndTakeTheFirstEntryWhoseDigestsMatch) {
    const std::string hashB = "89E6C98D92887913CADF06B2ADB97F26CDE4849B";
    ManifestFileList::Sha256Bytes sha256{};
    ASSERT_TRUE(HexToBytes(kSha256, sha256.data(), sha256.size()));
    ManifestFileList list;
    EXPECT_EQ(list.FindName(L"a"), ManifestFileList::npos);
    list.Add(L"Sub\\A.dll", Sha1(kHashA), &sha256);
    list.Add(L"other", Sha1(kHashA), nullptr);
    list.Add(L"sub\\a.DLL", Sha1(kHashA), nullptr);
    list.Add(L"SUB\\A.DLL", Sha1(hashB), nullptr);
    // Before the index nothing is found.
    EXPECT_EQ(list.FindName(L"other"), ManifestFileList::npos);
    list.Index();
    const struct {
        const wchar_t* name;
        FileDigests digests;
        std::size_t found;
    } lookups[] = {
        {L"sub\\a.dll", Digests(kHashA, kSha256), 0},
        {L"sub\\a.dll", Digests(kHashA), 2}, // the first has a SHA-256 these digests lack
        {L"SUB\\A.DLL", Digests(hashB), 3},
        {L"sub/a.dll", Digests(kHashA), ManifestFileList::npos},
        {L"OTHER", Digests(kHashA, kSha256), 1},
        {L"other", Digests(hashB), ManifestFileList::npos},
        {L"", FileDigests(), ManifestFileList::npos},
    };
    for (const auto& lookup : lookups) {
        EXPECT_EQ(list.Find(lookup.name, lookup.digests), lookup.found) << lookup.name;
    }
    EXPECT_EQ(list.FindName(L"SUB\\a.dll"), 0u);
    const bool first[] = {true, true, false, false};
    for (std::size_t i = 0; i < list.size(); ++i) {
        EXPECT_EQ(list.IsFirstOfName(i), first[i]) << i;
    }
}

TEST(ManifestFileListTest, ManyNamesAreEachFoundUnderTheirOwnName) {
    ManifestFileList list;
    for (int i = 0; i < 5000; ++i) {
        list.Add(L"folder" + std::to_wstring(i % 50) + L"\\file" + std::to_wstring(i), Sha1(kHashA), nullptr);
    }
    list.Index();
    for (int i = 0; i < 5000; i += 7) {
        EXPECT_EQ(list.FindName(L"FOLDER" + std::to_wstring(i % 50) + L"\\FILE" + std::to_wstring(i)),
                  static_cast<std::size_t>(i));
    }
    EXPECT_EQ(list.FindName(L"folder0\\file5000"), ManifestFileList::npos);
}

} // namespace
} // namespace ZEPMaintenance
