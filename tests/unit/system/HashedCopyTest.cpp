// File::CopyWithHash: the hash is that of the bytes installed, nothing is in place before Install, and a
// source changed after it was read changes nothing.
#include "system/File.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Text.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;
using test::CodeOf;
using Tree = std::map<std::string, std::string>;

const std::wstring kSep(1, platform::kPathSeparator);

class HashedCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureCryptoProvider();
        fs::create_directories(dir.FsPath() / "update" / "sub");
        fs::create_directories(dir.FsPath() / "product");
    }

    Tree Product() const { return test::TreeContent(dir.FsPath() / "product"); }

    std::string HashOf(const std::string& content) {
        test::WriteTextFile(dir.Path() + L"hashed.bin", content);
        return File(dir.Path(), L"hashed.bin").GetSha1Hash().ToString();
    }

    test::CapturedLog log;
    test::TempDir dir;
    const std::wstring update = dir.Path() + L"update" + kSep;
    const std::wstring product = dir.Path() + L"product" + kSep;
};

TEST_F(HashedCopyTest, TheHashIsOfTheCopyAndNothingIsInPlaceBeforeInstall) {
    const std::string content(3 * 1024 * 1024 + 7, 'x'); // several chunks, the last one short
    test::WriteTextFile(update + L"tool.dll", content);
    test::WriteTextFile(product + L"tool.dll", "old");

    HashedCopy copy = File(update, L"tool.dll").CopyWithHash(product, L"", update);
    EXPECT_EQ(copy.GetHash().ToString(), HashOf(content));
    EXPECT_FALSE(copy.IsInstalled());
    EXPECT_EQ(copy.GetCopy().GetPath(), product);
    EXPECT_EQ(Product(), (Tree{{"tool.dll", "old"},
                               {WideToMultiByte(copy.GetCopy().GetFilename(), kUtf8CodePage), content}}));
    EXPECT_EQ(copy.GetCopy().GetDigests().sha256.ToString(), copy.GetDigests().sha256.ToString());

    EXPECT_EQ(copy.Install().GetFullPath(), product + L"tool.dll");
    EXPECT_EQ(Product(), (Tree{{"tool.dll", content}}));
    EXPECT_EQ(copy.GetCopy().GetFullPath(), product + L"tool.dll");
    EXPECT_NO_THROW(copy.Install());
    EXPECT_TRUE(log.Contains(L"Install: Copy put in place. (filename: tool.dll, path: " + product))
        << log.Dump();

    EXPECT_EQ(File(update, L"tool.dll").CopyWithHash(product, L"other.dll", L"").Install().GetFullPath(),
              product + L"other.dll");
    EXPECT_EQ(Product(), (Tree{{"other.dll", content}, {"tool.dll", content}}));
}

// The swap that a hash of the file followed by a copy of it by name would let through.
TEST_F(HashedCopyTest, ASourceChangedAfterItWasReadIsNeverInstalled) {
    test::WriteTextFile(update + L"a.dll", "listed bytes");
    HashedCopy renamedOver = File(update, L"a.dll").CopyWithHash(product, L"", update);
    test::WriteTextFile(update + L"evil.dll", "other bytes");
    fs::rename(dir.FsPath() / "update" / "evil.dll", dir.FsPath() / "update" / "a.dll");

    test::WriteTextFile(update + L"b.dll", "listed bytes");
    HashedCopy rewritten = File(update, L"b.dll").CopyWithHash(product, L"", update);
    test::WriteTextFile(update + L"b.dll", "other bytes");

    for (HashedCopy* copy : {&renamedOver, &rewritten}) {
        EXPECT_EQ(copy->GetHash().ToString(), HashOf("listed bytes"));
        EXPECT_EQ(test::ReadTextFile(copy->Install().GetFullPath()), "listed bytes");
    }
}

TEST_F(HashedCopyTest, ACopyNotInstalledLeavesNothingBehind) {
    test::WriteTextFile(update + L"a.dll", "new");
    test::WriteTextFile(product + L"a.dll", "old");
    {
        std::vector<HashedCopy> kept;
        kept.push_back(File(update, L"a.dll").CopyWithHash(product, L"", update));
        kept.push_back(File(update, L"a.dll").CopyWithHash(product, L"b.dll", update));
        EXPECT_EQ(Product().size(), 3u);
    }
    EXPECT_EQ(Product(), (Tree{{"a.dll", "old"}}));
}

TEST_F(HashedCopyTest, FailuresAndTheirCodes) {
    const std::wstring sub = update + L"sub" + kSep;
    test::WriteTextFile(sub + L"a.dll", "new");
    EXPECT_EQ(CodeOf([&] { File(update, L"missing.dll").CopyWithHash(product, L"", update); }), 116);
    // Not below the folder it is confined to: nothing is read.
    EXPECT_EQ(CodeOf([&] { File(sub, L"a.dll").CopyWithHash(product, L"", product); }), 116);
    EXPECT_EQ(CodeOf([&] { File(sub, L"a.dll").CopyWithHash(product + L"missing" + kSep, L"", update); }),
              131);
    EXPECT_EQ(CodeOf([&] { File(update, L"").CopyWithHash(product, L"", update); }), 100);
    EXPECT_TRUE(log.Contains(L"CopyWithHash: CreateFileW failed. (filename: missing.dll, path: " + update));
    EXPECT_TRUE(log.Contains(L"CopyWithHash: Creating the copy failed (filename: a.dll, path: " + update));
    EXPECT_TRUE(log.Contains(L"CopyWithHash: Filename not set.")) << log.Dump();
    EXPECT_EQ(Product(), Tree{});
    EXPECT_NO_THROW(File(sub, L"a.dll").CopyWithHash(product, L"", update));
}

} // namespace
} // namespace ZEPMaintenance
