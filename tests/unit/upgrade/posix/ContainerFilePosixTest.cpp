// Linux side of SignedManifestFile: the container in the user-written data folder is never read
// through a link, and a FIFO put in its place does not block the reader.
#include "upgrade/SignedManifestFile.h"

#include "support/TempDir.h"
#include "system/posix/PosixSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace ZEPMaintenance {
namespace {

TEST(ContainerFilePosixTest, LinksAndSpecialFilesAreRefused) {
    test::TempDir dir;
    const std::string folder = posix::NativePath(dir.Path());
    std::ofstream(folder + "real.zcf") << "ZEPSIG1";
    ASSERT_EQ(symlink((folder + "real.zcf").c_str(), (folder + "link.zcf").c_str()), 0);
    ASSERT_EQ(mkfifo((folder + "fifo.zcf").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((folder + "folder.zcf").c_str(), 0700), 0);

    SignedManifestFile image;
    EXPECT_EQ(image.LoadFile((dir.Path() + L"link.zcf").c_str()), 1920u); // ERROR_CANT_ACCESS_FILE
    EXPECT_EQ(image.LoadFile((dir.Path() + L"fifo.zcf").c_str()), 5u);
    EXPECT_EQ(image.LoadFile((dir.Path() + L"folder.zcf").c_str()), 5u);
    // The real file is short, not refused.
    EXPECT_EQ(image.LoadFile((dir.Path() + L"real.zcf").c_str()), 11u);
}

} // namespace
} // namespace ZEPMaintenance
