// The logon autostart on Linux: the desktop entry's quoting, and the entry written, replaced and removed.
#include "app/posix/LogonAutostartPosix.h"
#include "app/LogonAutostart.h"
#include "base/posix/Descriptor.h"

#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

namespace ZEPMaintenance {
namespace {

using test::CodeOf;

TEST(LogonAutostartPosixTest, ExecQuotesAsDesktopEntriesRead) {
    const struct {
        const char* argument;
        const char* exec;
    } cases[] = {
        {"/usr/bin/zeprun", "/usr/bin/zeprun"},
        {"/opt/my app/zeprun", "\"/opt/my app/zeprun\""},
        {"/opt/it's/zeprun", "\"/opt/it's/zeprun\""},
        // Within quotes these four are escaped, and the file's own escaping doubles each backslash.
        {"/opt/a$b", R"("/opt/a\\$b")"},
        {"/opt/q\"x", R"("/opt/q\\"x")"},
        {"/opt/t`x", R"("/opt/t\\`x")"},
        {R"(/opt/back\slash)", R"("/opt/back\\\\slash")"},
        // A field code would be expanded.
        {"/opt/100%/zeprun", "/opt/100%%/zeprun"},
        {"/opt/100% sure", "\"/opt/100%% sure\""},
    };
    for (const auto& entry : cases) {
        EXPECT_EQ(posix::DesktopExecArgument(entry.argument), entry.exec) << entry.argument;
    }
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(LogonAutostartPosixTest, WrittenReplacedAndRemoved) {
    test::CapturedLog log;
    const test::ScopedMachineRoot machine;
    const std::string path = posix::LogonAutostartPath();
    EXPECT_EQ(path, posix::NativePath(machine.Path()) + "etc/xdg/autostart/zeprun.desktop");

    // The folders are made; the entry is readable by every session whatever the umask.
    const mode_t mask = umask(077);
    WriteLogonAutostart(L"/opt/my app/zeprun");
    umask(mask);
    EXPECT_EQ(ReadAll(path), "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=ZEPMaintenance logon run\n"
                             "Comment=Runs the machine's Run and RunOnce commands at logon\n"
                             "Exec=\"/opt/my app/zeprun\"\n"
                             "Terminal=false\n"
                             "NoDisplay=true\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);

    WriteLogonAutostart(L"/usr/lib/zepmaintenance/zeprun");
    EXPECT_NE(ReadAll(path).find("\nExec=/usr/lib/zepmaintenance/zeprun\n"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));

    RemoveLogonAutostart();
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(CodeOf([] { RemoveLogonAutostart(); }), 0);
}

TEST(LogonAutostartPosixTest, PathsTheSessionCannotStartAndFailuresAreRefused) {
    test::CapturedLog log;
    const test::ScopedMachineRoot machine;
    for (const wchar_t* program : {L"", L"zeprun", L"bin/zeprun", L"/opt/line\nbreak/zeprun"}) {
        EXPECT_EQ(CodeOf([&] { WriteLogonAutostart(program); }), 100);
    }
    EXPECT_TRUE(
        log.Contains(L"WriteLogonAutostart: The program path cannot be started from an autostart entry. "
                     L"(path: bin/zeprun)"));
    EXPECT_FALSE(std::filesystem::exists(posix::LogonAutostartPath()));

    // A file where the folder belongs.
    const std::string etc = posix::NativePath(machine.Path()) + "etc";
    std::filesystem::create_directories(etc);
    std::ofstream(etc + "/xdg") << "not a folder";
    EXPECT_EQ(CodeOf([] { WriteLogonAutostart(L"/usr/bin/zeprun"); }), 110);
    EXPECT_TRUE(log.Contains(L"WriteLogonAutostart: Writing the autostart entry failed. (path: "));
}

} // namespace
} // namespace ZEPMaintenance
