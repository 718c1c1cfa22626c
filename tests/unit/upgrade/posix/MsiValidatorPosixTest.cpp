// The Linux side of the MSI signer check on what a user may put where a package should be: the check
// opens no link, waits on no FIFO and reads no folder, and says so with the Windows code.
#include "upgrade/MsiValidator.h"

#include "support/CapturedLog.h"
#include "support/MsiCorpus.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>

namespace ZEPMaintenance {
namespace {

struct HostileCase {
    const char* name;
    std::function<void(const std::filesystem::path& target)> make;
    const wchar_t* result;
};

TEST(MsiValidatorPosixTest, WhatIsNoPackageFileIsRefusedUnread) {
    const std::filesystem::path signedPackage = std::filesystem::path(test::MsiCorpusFolder()) / "signed.msi";
    ASSERT_TRUE(std::filesystem::exists(signedPackage));
    const HostileCase cases[] = {
        {"symbolic link to a signed package",
         [&](const std::filesystem::path& target) { std::filesystem::create_symlink(signedPackage, target); },
         L"MsiGetFileSignatureInformationW result=0x80070780"},
        {"FIFO", [](const std::filesystem::path& target) { ASSERT_EQ(mkfifo(target.c_str(), 0600), 0); },
         L"MsiGetFileSignatureInformationW result=0x80070005"},
        {"folder", [](const std::filesystem::path& target) { std::filesystem::create_directory(target); },
         L"MsiGetFileSignatureInformationW result=0x80070005"},
        {"missing file", [](const std::filesystem::path&) {},
         L"MsiGetFileSignatureInformationW result=0x80070002"},
        {"text file", [](const std::filesystem::path& target) { std::ofstream(target) << "not a package\n"; },
         L"MsiGetFileSignatureInformationW result=0x800b0003"},
    };
    for (const HostileCase& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        const std::filesystem::path target = dir.FsPath() / "update.msi";
        c.make(target);
        test::CapturedLog log;
        EXPECT_FALSE(MsiValidator::VerifyMsiAuthenticodeSignature(target.wstring()));
        EXPECT_TRUE(log.Has(LevelDebug, c.result)) << log.Dump();
    }
}

} // namespace
} // namespace ZEPMaintenance
