// Linux side of the delete list's look at the product folder: the first line whose way crosses a link.
#include "upgrade/HostUpdate.h"

#include "diag/ErrorCodes.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

using Lines = std::vector<std::wstring>;

TEST(DeleteListPosixTest, TheFirstLineThroughALinkIsFoundFilesBeforeFolders) {
    test::TempDir product;
    const std::string base = product.FsPath().string() + "/";
    ASSERT_EQ(mkdir((base + "real").c_str(), 0755), 0);
    ASSERT_EQ(symlink("real", (base + "linked").c_str()), 0);
    ASSERT_EQ(symlink("/etc", (base + "out").c_str()), 0);
    struct Case {
        DeleteListLines lines;
        int32_t code;
        std::wstring path;
    };
    const Case cases[] = {
        {{{L"real\\a.txt", L"missing\\b.txt"}, {L"real", L"real\\sub"}}, 0, L""},
        {{{L"real\\a.txt", L"linked\\a.txt", L"out\\passwd"}, {}},
         ErrorCode::kFileDeleteOrCopyFailed,
         L"linked\\a.txt"},
        {{{}, {L"real", L"out\\x", L"linked"}}, ErrorCode::kDirectoryDeleteFailed, L"out\\x"},
        // The last component is a way too: a link named as the folder to delete is refused.
        {{{}, {L"linked"}}, ErrorCode::kDirectoryDeleteFailed, L"linked"},
        {{{L"out/passwd"}, {L"linked"}}, ErrorCode::kFileDeleteOrCopyFailed, L"out/passwd"},
    };
    for (const Case& c : cases) {
        const LinkOnTheWay link = FindLinkOnTheWay(product.Path(), c.lines);
        EXPECT_EQ(link.code, c.code) << c.path;
        EXPECT_EQ(link.path, c.path) << c.path;
    }
}

} // namespace
} // namespace ZEPMaintenance
