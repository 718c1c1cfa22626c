// The process wrapper: starting the test child, waiting with and without limit, exit codes, owners.
#include "system/WinProcess.h"

#include "base/Cleanup.h"
#include "base/Platform.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "support/TestChild.h"
#include "system/Text.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::ChildProgram;
using test::CodeOf;
using test::Go;

TEST(SplitProgramParametersTest, FollowsTheRuntimeRules) {
    using Args = std::vector<std::wstring>;
    EXPECT_EQ(SplitProgramParameters(L""), Args{});
    EXPECT_EQ(SplitProgramParameters(L"  a\t b  "), (Args{L"a", L"b"}));
    EXPECT_EQ(SplitProgramParameters(LR"("C:\Program Files\x" /qn)"),
              (Args{L"C:\\Program Files\\x", L"/qn"}));
    EXPECT_EQ(SplitProgramParameters(LR"(a"b c"d "")"), (Args{L"ab cd", L""}));
    // Backslashes count only before a quote.
    EXPECT_EQ(SplitProgramParameters(LR"(C:\a\\b\ x)"), (Args{L"C:\\a\\\\b\\", L"x"}));
    EXPECT_EQ(SplitProgramParameters(LR"(a\"b "c\\" d\\\"e)"), (Args{L"a\"b", L"c\\", L"d\\\"e"}));
    EXPECT_EQ(SplitProgramParameters(LR"("say ""hi""" x)"), (Args{L"say \"hi\"", L"x"}));
    EXPECT_EQ(SplitProgramParameters(LR"("open end)"), (Args{L"open end"}));
}

// A whole command line, as a Run value holds one: the program as CreateProcess finds it, then the
// arguments the program's runtime hands it.
TEST(SplitProgramCommandTest, ProgramThenRuntimeArguments) {
    using Args = std::vector<std::wstring>;
    const struct {
        const wchar_t* command;
        const wchar_t* program;
        Args arguments;
    } cases[] = {
        {LR"("/opt/my app/ZEPMaintenance" -mode loader -op rollback -pp "/p q" -dp "/d")",
         L"/opt/my app/ZEPMaintenance",
         {L"-mode", L"loader", L"-op", L"rollback", L"-pp", L"/p q", L"-dp", L"/d"}},
        {LR"(/opt/z/ZEPMaintenance -mode loader -op rollback -pp "/opt/z" -dp "/var/lib/Z.EP Maintenance2" -lang 1)",
         L"/opt/z/ZEPMaintenance",
         {L"-mode", L"loader", L"-op", L"rollback", L"-pp", L"/opt/z", L"-dp", L"/var/lib/Z.EP Maintenance2",
          L"-lang", L"1"}},
        // Unquoted, the program ends at the first blank, even where a longer path would exist.
        {L"/opt/my app/run -x", L"/opt/my", {L"app/run", L"-x"}},
        {L" \t /bin/true", L"/bin/true", {}},
        {L"/bin/true   ", L"/bin/true", {}},
        {L"", L"", {}},
        {L"\"\"", L"", {}},
        // Backslashes in the program are taken as they stand, also before its closing quote.
        {LR"("C:\Program Files\Z\\x.exe" a)", LR"(C:\Program Files\Z\\x.exe)", {L"a"}},
        {LR"("C:\dir\" next)", LR"(C:\dir\)", {L"next"}},
        // In the arguments a backslash before a quote escapes it: a folder ending in one must double it.
        {LR"(p -pp "C:\a\\" -dp x)", L"p", {L"-pp", LR"(C:\a\)", L"-dp", L"x"}},
        {LR"(p -pp "C:\a\" -dp x)", L"p", {L"-pp", LR"(C:\a" -dp x)"}},
        {LR"(p "say ""hi""" a\\b)", L"p", {L"say \"hi\"", LR"(a\\b)"}},
        // Where the two readings part, the arguments follow the runtime, whose argv[0] runs to a blank.
        {LR"("/bin/echo"x y)", L"/bin/echo", {L"y"}},
        {LR"("/opt/open end)", L"/opt/open end", {}},
    };
    for (const auto& entry : cases) {
        const ProgramCommand command = SplitProgramCommand(entry.command);
        EXPECT_EQ(command.program, entry.program) << entry.command;
        EXPECT_EQ(SplitProgramParameters(command.parameters), entry.arguments) << entry.command;
    }
}

TEST(WinProcessTest, AFreshObjectHoldsNoProcess) {
    CapturedLog log;
    WinProcess process;
    EXPECT_FALSE(process.IsOpen());
    EXPECT_EQ(process.GetProcessId(), 0u);
    EXPECT_EQ(CodeOf([&] { process.WaitToClose(0); }), 113);
    EXPECT_EQ(CodeOf([&] { process.GetExitCode(); }), 113);
    EXPECT_EQ(CodeOf([&] { process.GetOwner(); }), 113);
    EXPECT_EQ(log.Missing({{LevelError, L"WaitToClose: No process is opened."},
                           {LevelError, L"GetExitCode: No process is opened."},
                           {LevelError, L"GetOwner: No process is opened."}}),
              L"");
}

TEST(WinProcessTest, StartsWaitsAndReadsTheExitCode) {
    CapturedLog log;
    const Go go;
    const std::wstring parameters = go.WaitingFor() + L" --exit 3";
    WinProcess process;
    process.Start(ChildProgram(), parameters, L"", false);
    EXPECT_NE(process.GetProcessId(), 0u);
    // A wait with a limit ends while the process runs.
    EXPECT_EQ(process.GetExitCode(), kStillActive);
    EXPECT_FALSE(process.WaitToClose(0));
    EXPECT_FALSE(process.WaitToClose(1));
    EXPECT_EQ(process.GetExitCode(), kStillActive);
    go.Now();
    // Without a limit the wait returns only once the process has ended.
    EXPECT_TRUE(process.WaitToClose(-1));
    EXPECT_EQ(process.GetExitCode(), 3u);
    EXPECT_EQ(process.GetExitCode(), 3u);
    EXPECT_TRUE(process.WaitToClose(0));
    const std::wstring file = Utf8ToWide(WideToMultiByte(ChildProgram(), kAnsiCodePage));
    EXPECT_EQ(log.Missing({{LevelInfo, L"Start: entered"},
                           {LevelInfo, L"Start: Process started. (file: " + file + L", parameters: " +
                                           parameters + L", directory: , runAsAdmin: 0)"},
                           {LevelDebug, L"Start: PID=" + std::to_wstring(process.GetProcessId())},
                           {LevelError, L"WaitToClose: Timeout! (0 s)"},
                           {LevelError, L"WaitToClose: Timeout! (1 s)"},
                           {LevelInfo, L"WaitToClose: Process ended."}}),
              L"");
}

TEST(WinProcessTest, PassesParametersAndTheWorkingFolder) {
    test::TempDir folder;
    const std::filesystem::path record = folder.FsPath() / "record.txt";
    WinProcess process;
    process.Start(ChildProgram(), L"--record \"" + record.wstring() + L"\" \"two words\" quote\\\"d",
                  folder.Path(), false);
    ASSERT_TRUE(process.WaitToClose(30));
    const std::vector<std::string> lines = test::ReadLines(record.wstring());
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(std::filesystem::equivalent(lines[0], folder.FsPath()));
    EXPECT_EQ(lines[1], "--record");
    EXPECT_EQ(lines[3], "two words");
    EXPECT_EQ(lines[4], "quote\"d");
}

TEST(WinProcessTest, StartAndOpenFailuresHaveTheirCodes) {
    CapturedLog log;
    WinProcess process;
    EXPECT_EQ(CodeOf([&] { process.Start(ChildProgram() + L".missing", L"-x", L"", false); }), 111);
    EXPECT_TRUE(log.Contains(L"Start: ShellExecuteExA failed. (file: "));
    EXPECT_TRUE(log.Contains(L", parameters: -x, directory: , runAsAdmin: 0, lastError: ")) << log.Dump();
    // Far above any process id the systems hand out.
    const uint32_t missing = 0x7FFFFFF0;
    EXPECT_EQ(CodeOf([&] { process.Open(missing); }), 156) << log.Dump();
    EXPECT_TRUE(log.Has(LevelError, L"Open: OpenProcess failed. (PID: " + std::to_wstring(missing) +
                                        L", lastError: 87)"));
    EXPECT_EQ(CodeOf([&] { process.Open(0); }), 156);
    EXPECT_FALSE(process.IsOpen());
}

TEST(WinProcessTest, OpensRunningProcessesWhetherItsChildrenOrNot) {
    CapturedLog log;
    test::TempDir folder;
    const std::filesystem::path pidFile = folder.FsPath() / "pid.txt";
    const Go go;
    WinProcess child;
    child.Start(ChildProgram(), L"--spawn \"" + pidFile.wstring() + L"\" " + go.WaitingFor(), L"", false);
    ASSERT_TRUE(child.WaitToClose(30));
    EXPECT_EQ(child.GetExitCode(), 0u);
    const std::vector<std::string> lines = test::ReadLines(pidFile.wstring());
    ASSERT_EQ(lines.size(), 1u);
    const auto pid = static_cast<uint32_t>(std::stoul(lines[0]));

    WinProcess grandchild;
    grandchild.Open(pid);
    EXPECT_TRUE(
        log.Has(LevelInfo, L"Open: Process successfully opened. (PID: " + std::to_wstring(pid) + L")"));
    EXPECT_FALSE(grandchild.WaitToClose(0));
    EXPECT_EQ(grandchild.GetExitCode(), kStillActive);
    go.Now();
    EXPECT_TRUE(grandchild.WaitToClose(-1));
}

TEST(WinProcessTest, TheCurrentProcessRunsAndHasAnOwner) {
    CapturedLog log;
    WinProcess self;
    self.OpenCurrentProcess();
    EXPECT_TRUE(log.Has(LevelInfo, L"OpenCurrentProcess: Current process opened."));
    EXPECT_EQ(self.GetProcessId(), platform::CurrentProcessId());
    EXPECT_EQ(self.GetExitCode(), kStillActive);
    EXPECT_FALSE(self.WaitToClose(0));
    const CSid owner = self.GetOwner();
    EXPECT_TRUE(owner.IsValid());

    // A program started without elevation runs as the same user, seen from its handle and its id.
    const Go go;
    WinProcess child;
    child.Start(ChildProgram(), go.WaitingFor(), L"", false);
    WinProcess opened;
    opened.Open(child.GetProcessId());
    EXPECT_EQ(opened.GetOwner().Sid(), owner.Sid());
    EXPECT_EQ(child.GetOwner().Sid(), owner.Sid());
    go.Now();
    EXPECT_TRUE(opened.WaitToClose(-1));
    EXPECT_TRUE(child.WaitToClose(30));
    EXPECT_EQ(child.GetExitCode(), 0u);
}

} // namespace
} // namespace ZEPMaintenance
