// File::CopyWithHash: the hash is that of the bytes installed, nothing is in place before Install, and a
// source changed after it was read changes nothing.
#include "system/File.h"

#include "base/Platform.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <vector>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;
using test::CodeOf;

const std::wstring kSep(1, platform::kPathSeparator);

class HashedCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::EnsureCryptoProvider();
        fs::create_directories(dir.FsPath() / "update" / "sub");
        fs::create_directories(dir.FsPath() / "product");
        update = dir.Path() + L"update" + kSep;
        product = dir.Path() + L"product" + kSep;
    }

    std::set<std::wstring> ProductEntries() const {
        std::set<std::wstring> names;
        for (const auto& entry : fs::directory_iterator(dir.FsPath() / "product")) {
            names.insert(entry.path().filename().wstring());
        }
        return names;
    }

    std::string HashOf(const std::string& content) {
        test::WriteTextFile(dir.Path() + L"hashed.bin", content);
        return File(dir.Path(), L"hashed.bin").GetSha1Hash().ToString();
    }

    test::CapturedLog log;
    test::TempDir dir;
    std::wstring update;
    std::wstring product;
};

TEST_F(HashedCopyTest, TheHashIsOfTheCopyAndNothingIsInPlaceBeforeInstall) {
    const std::string content(3 * 1024 * 1024 + 7, 'x'); // several chunks, the last one short
    test::WriteTextFile(update + L"tool.dll", content);
    test::WriteTextFile(product + L"tool.dll", "old");

    HashedCopy copy = File(update, L"tool.dll").CopyWithHash(product, L"", update);
    EXPECT_EQ(copy.GetHash().ToString(), HashOf(content));
    EXPECT_EQ(test::ReadTextFile(product + L"tool.dll"), "old");
    EXPECT_FALSE(copy.IsInstalled());
    EXPECT_EQ(copy.GetCopy().GetPath(), product);
    EXPECT_NE(copy.GetCopy().GetFilename(), L"tool.dll");
    EXPECT_EQ(test::ReadTextFile(copy.GetCopy().GetFullPath()), content);
    EXPECT_EQ(copy.GetCopy().GetSha1Hash().ToString(), copy.GetHash().ToString());
    EXPECT_EQ(copy.GetCopy().GetDigests().sha256.ToString(), copy.GetDigests().sha256.ToString());

    const File installed = copy.Install();
    EXPECT_EQ(installed.GetFullPath(), product + L"tool.dll");
    EXPECT_EQ(test::ReadTextFile(product + L"tool.dll"), content);
    EXPECT_EQ(ProductEntries(), std::set<std::wstring>{L"tool.dll"});
    EXPECT_EQ(copy.GetCopy().GetFullPath(), product + L"tool.dll");
    EXPECT_NO_THROW(copy.Install());
    EXPECT_TRUE(log.Contains(L"Install: Copy put in place. (filename: tool.dll, path: " + product))
        << log.Dump();

    HashedCopy renamed = File(update, L"tool.dll").CopyWithHash(product, L"other.dll", L"");
    EXPECT_EQ(renamed.Install().GetFullPath(), product + L"other.dll");
    EXPECT_EQ(test::ReadTextFile(product + L"other.dll"), content);
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
        HashedCopy copy = File(update, L"a.dll").CopyWithHash(product, L"", update);
        EXPECT_EQ(ProductEntries().size(), 2u);
    }
    EXPECT_EQ(ProductEntries(), std::set<std::wstring>{L"a.dll"});
    {
        std::vector<HashedCopy> kept;
        kept.push_back(File(update, L"a.dll").CopyWithHash(product, L"", update));
        kept.push_back(File(update, L"a.dll").CopyWithHash(product, L"b.dll", update));
        EXPECT_EQ(ProductEntries().size(), 3u);
    }
    EXPECT_EQ(ProductEntries(), std::set<std::wstring>{L"a.dll"});
    EXPECT_EQ(test::ReadTextFile(product + L"a.dll"), "old");
}

TEST_F(HashedCopyTest, FailuresAndTheirCodes) {
    test::WriteTextFile(update + L"sub" + kSep + L"a.dll", "new");

    EXPECT_EQ(CodeOf([&] { File(update, L"missing.dll").CopyWithHash(product, L"", update); }), 116);
    EXPECT_TRUE(log.Contains(L"CopyWithHash: CreateFileW failed. (filename: missing.dll, path: " + update))
        << log.Dump();

    // Not below the folder it is confined to: nothing is read.
    EXPECT_EQ(CodeOf([&] { File(update + L"sub" + kSep, L"a.dll").CopyWithHash(product, L"", product); }),
              116);
    EXPECT_NO_THROW(File(update + L"sub" + kSep, L"a.dll").CopyWithHash(product, L"", update));

    EXPECT_EQ(
        CodeOf([&] {
            File(update + L"sub" + kSep, L"a.dll").CopyWithHash(product + L"missing" + kSep, L"", update);
        }),
        131);
    EXPECT_TRUE(log.Contains(L"CopyWithHash: Creating the copy failed (filename: a.dll, path: " + update))
        << log.Dump();

    EXPECT_EQ(CodeOf([&] { File(update, L"").CopyWithHash(product, L"", update); }), 100);
    EXPECT_TRUE(log.Contains(L"CopyWithHash: Filename not set.")) << log.Dump();
    EXPECT_EQ(ProductEntries(), std::set<std::wstring>{});
}

} // namespace
} // namespace ZEPMaintenance
