// Linux side of text and file names: UTF-8 conversions, and names on disk that are not UTF-8.
#include "base/posix/Utf8.h"
#include "support/TempDir.h"
#include "system/Directory.h"
#include "system/File.h"
#include "system/posix/PosixSupport.h"

#include <fstream>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using posix::DecodeUtf8;
using posix::EncodeUtf8;
using posix::InvalidBytes;

TEST(Utf8PosixTest, TextReplacesWhatIsNotUtf8) {
    EXPECT_EQ(DecodeUtf8("\xE2\x82\xAC \xF0\x9D\x84\x9E", InvalidBytes::Replace), L"€ 𝄞");
    // Overlong forms, encoded surrogates, values past U+10FFFF and cut sequences are not UTF-8.
    EXPECT_EQ(DecodeUtf8("\xC0\xAF|\xED\xA0\x80|\xF4\x90\x80\x80|\xE2\x82", InvalidBytes::Replace),
              L"\xFFFD\xFFFD|\xFFFD\xFFFD\xFFFD|\xFFFD\xFFFD\xFFFD\xFFFD|\xFFFD\xFFFD");
    EXPECT_EQ(EncodeUtf8(std::wstring{L'x', static_cast<wchar_t>(0xDFFF), static_cast<wchar_t>(0x110000)},
                         InvalidBytes::Replace),
              "x\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf8PosixTest, FileNamesSurviveTheRoundTrip) {
    for (const std::string name : {"plain", "\xFF\xFE", "a\xC3\x28z", "\xED\xA0\x80", "ok \xC5\xBE"}) {
        EXPECT_EQ(posix::NativePath(posix::WidePath(name)), name);
    }
    test::TempDir dir;
    const std::string odd = "bad-\xFF-name";
    std::ofstream(dir.FsPath() / odd) << "content";
    Directory folder;
    folder.SetFullPath(dir.Path());
    const auto& files = folder.GetFiles();
    ASSERT_EQ(files.size(), 1u);
    File found = files.front();
    EXPECT_TRUE(found.Exists());
    EXPECT_EQ(posix::NativePath(found.GetFilename()), odd);
}

} // namespace
} // namespace ZEPMaintenance
