// Sha256Hash: the hash text a manifest carries, and the SHA-256 each way of reading a file gives beside
// its SHA-1, against the standard vectors.
#include "system/Sha256Hash.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/File.h"
#include "system/Text.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CodeOf;

const std::wstring kSep(1, platform::kPathSeparator);

constexpr char kAbc[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(Sha256HashTextTest, SixtyFourHexDigitsOfEitherCaseAreKeptLowerCase) {
    Sha256Hash hash;
    EXPECT_TRUE(hash.IsEmpty());
    ASSERT_TRUE(hash.LoadFromString("BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"));
    EXPECT_EQ(hash.ToString(), kAbc);
    Sha256Hash lower;
    ASSERT_TRUE(lower.LoadFromString(kAbc));
    EXPECT_TRUE(lower == hash);

    const std::string valid = kAbc;
    std::string embeddedNul = valid;
    embeddedNul[10] = '\0';
    std::string withBlank = valid;
    withBlank[63] = ' ';
    const std::string refused[] = {
        "",          valid.substr(0, 63), valid + "0",          "0x" + valid.substr(2),
        embeddedNul, withBlank,           std::string(64, 'g'), valid.substr(0, 62) + "\xC3\xA9"};
    for (const std::string& text : refused) {
        Sha256Hash loaded = hash;
        EXPECT_FALSE(loaded.LoadFromString(text)) << text;
        EXPECT_TRUE(loaded.IsEmpty()) << text;
    }
}

class Sha256HashFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureCryptoProvider();
        std::filesystem::create_directories(dir.FsPath() / "copies");
    }
    test::CapturedLog log;
    test::TempDir dir;
};

// The copy stage's copy, the program's own hash of a file and File's both give the same pair.
TEST_F(Sha256HashFileTest, EveryWayOfReadingAFileGivesTheStandardDigests) {
    const struct {
        std::string content;
        const char* sha1;
        const char* sha256;
    } cases[] = {
        {"", "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709",
         "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "A9993E364706816ABA3E25717850C26C9CD0D89D", kAbc},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983E441C3BD26EBAAE4AA1F95129E5E54670F1",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // Many full chunks of the file hash, one of the copy.
        // Two whole chunks of the file hash and nothing after them.
        {std::string(2048, '\0'), "605DB3FDBAFF4BA13729371AD0C4FBAB3889378E",
         "e5a00aa9991ac8a5ee3109844d84a55583bd20572ad3ffcd42792f3c36b183ad"},
        {std::string(1000000, 'a'), "34AA973CD4C4DAA4F61EEB2BDBAD27316534016F",
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // Several chunks of the copy too, whose SHA-256 is then taken beside the copying, and a short last
        // one (digests of sha1sum and sha256sum).
        {std::string(3 * 1024 * 1024 + 7, 'x'), "207223143D94743CF79363CA083A4445BE0B8686",
         "2d4e7639119cfc09b3615864bd82ef299c4d26e3524a23a31fc37185216617f1"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::wstring name = L"f" + std::to_wstring(index++);
        test::WriteTextFile(dir.Path() + name, c.content);
        const File file(dir.Path(), name);

        Sha1Hash sha1;
        Sha256Hash sha256;
        sha1.CalcFromFile(file.GetFullPath(), sha256);
        const FileDigests read = file.GetDigests();
        HashedCopy copy = file.CopyWithHash(dir.Path() + L"copies" + kSep, L"", dir.Path());
        for (const FileDigests& digests : {FileDigests{sha1, sha256}, read, copy.GetDigests()}) {
            EXPECT_EQ(digests.sha1.ToString(), c.sha1) << c.content.size();
            EXPECT_EQ(digests.sha256.ToString(), c.sha256) << c.content.size();
        }
        EXPECT_EQ(copy.GetHash().ToString(), c.sha1);
    }
    EXPECT_TRUE(
        log.Has(LevelInfo, L"GetDigests: SHA-256 calculated in the same read. (filename: f1, sha256: " +
                               Utf8ToWide(kAbc) + L")"))
        << log.Dump();
}

TEST_F(Sha256HashFileTest, AFailedReadKeepsBothValues) {
    Sha1Hash sha1;
    sha1.LoadFromString("DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    Sha256Hash sha256;
    ASSERT_TRUE(sha256.LoadFromString(kAbc));
    EXPECT_EQ(CodeOf([&] { sha1.CalcFromFile(dir.Path() + L"missing.bin", sha256); }), 116);
    EXPECT_EQ(sha1.ToString(), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(sha256.ToString(), kAbc);
    EXPECT_EQ(CodeOf([&] { File(dir.Path(), L"missing.bin").GetDigests(); }), 116);
}

} // namespace
} // namespace ZEPMaintenance
