// The log file in a folder other users share: planted objects are set aside, never written through;
// mode texts name no path; what a caller chose cannot forge a line.
#include "app/LogLocation.h"
#include "diag/Log.h"
#include "support/MachineRoot.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/File.h"
#include "system/Text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace ZEPMaintenance {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// Logs one line to folder/run.log through the file back end, as a run does.
void LogOneLine(const test::TempDir& folder, const std::wstring& message) {
    SetLogFile(WideToMultiByte(folder.Path() + L"run.log", kAnsiCodePage));
    const LoggerFunctions functions = FileLoggerFunctions();
    InitLogging(&functions);
    Logger(L"Planted").Info(L"%ls", message);
    InitLogging(nullptr);
}

// The objects set aside beside run.log.
std::vector<fs::path> SetAside(const test::TempDir& folder) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder.FsPath())) {
        if (entry.path().filename().string().rfind("run.log.aside-", 0) == 0) {
            found.push_back(entry.path());
        }
    }
    return found;
}

// The line is in a fresh single-name file of the run's own, after a notice naming the aside object.
void ExpectFreshLogWithNotice(const test::TempDir& folder, const fs::path& aside) {
    const fs::path log = folder.FsPath() / "run.log";
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(log)));
    EXPECT_EQ(fs::hard_link_count(log), 1u);
    const std::string text = ReadAll(log);
    const std::size_t notice =
        text.find("] WARN  ZEPMaintenance - Log: the object under this file's name was "
                  "not this run's own log file; it was set aside as " +
                  aside.filename().string() + ".");
    const std::size_t line = text.find("] INFO  ZEPMaintenance.Planted - the run's line");
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u) << text;
    EXPECT_NE(notice, std::string::npos) << text;
    EXPECT_NE(line, std::string::npos) << text;
    EXPECT_LT(notice, line);
}

TEST(LogFileTest, AFileWithASecondNameIsSetAsideAndItsTargetKept) {
    test::TempDir folder;
    const fs::path target = folder.FsPath() / "target";
    std::ofstream(target) << "kept";
    fs::create_hard_link(target, folder.FsPath() / "run.log");

    LogOneLine(folder, L"the run's line");

    EXPECT_EQ(ReadAll(target), "kept");
    const auto aside = SetAside(folder);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(fs::equivalent(aside[0], target));
    ExpectFreshLogWithNotice(folder, aside[0]);

    // From then on the name holds the run's own file, which is appended to as it is.
    LogOneLine(folder, L"the run's line, again");
    EXPECT_EQ(SetAside(folder).size(), 1u);
    EXPECT_NE(ReadAll(folder.FsPath() / "run.log").find("the run's line, again"), std::string::npos);
}

TEST(LogFileTest, AFolderUnderTheNameIsSetAsideWithItsContent) {
    test::TempDir folder;
    fs::create_directory(folder.FsPath() / "run.log");
    std::ofstream(folder.FsPath() / "run.log" / "inside") << "kept";

    LogOneLine(folder, L"the run's line");

    const auto aside = SetAside(folder);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadAll(aside[0] / "inside"), "kept");
    ExpectFreshLogWithNotice(folder, aside[0]);
}

TEST(LogFileTest, ALinkUnderTheNameIsSetAsideNeverFollowed) {
    test::TempDir folder;
    const fs::path target = folder.FsPath() / "target";
    std::ofstream(target) << "kept";
    std::error_code error;
    fs::create_symlink(target, folder.FsPath() / "run.log", error);
    if (error || !fs::is_symlink(folder.FsPath() / "run.log")) {
        // Wine's CreateSymbolicLink reports success and makes nothing, and Wine shows a host link
        // as the file it points to.
        GTEST_SKIP() << "symbolic links cannot be made here";
    }

    LogOneLine(folder, L"the run's line");

    EXPECT_EQ(ReadAll(target), "kept");
    const auto aside = SetAside(folder);
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(fs::is_symlink(aside[0]));
    EXPECT_EQ(fs::read_symlink(aside[0]), target);
    ExpectFreshLogWithNotice(folder, aside[0]);
}

TEST(LogFileTest, ControlCharactersAreWrittenAsEscapes) {
    test::TempDir folder;
    LogOneLine(folder, L"a\r\nforged line\x1B[31m\ttab \x85"
                       L"end");
    const std::string text = ReadAll(folder.FsPath() / "run.log");
    EXPECT_NE(text.find("a\\x0D\\x0Aforged line\\x1B[31m\ttab \\x85end"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1B'), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(LogFileTest, ModeTextsNameNoPath) {
    EXPECT_EQ(LogFileModePart(L"worker"), L"worker");
    EXPECT_EQ(LogFileModePart(L"Loader"), L"Loader");
    EXPECT_EQ(LogFileModePart(L""), L"");
    EXPECT_EQ(LogFileModePart(L"../../../x"), L".._.._.._x");
    EXPECT_EQ(LogFileModePart(L"..\\..\\x"), L".._.._x");
    EXPECT_EQ(LogFileModePart(L"C:x:stream"), L"C_x_stream");
    EXPECT_EQ(LogFileModePart(L"a\nb\x7F"
                              L"c\u00E9"),
              L"a_b_c_");
    EXPECT_EQ(LogFileModePart(std::wstring(300, L'm')), std::wstring(kMaxLogModeChars, L'm'));

    test::ScopedMachineRoot machine;
    const File logFile = GetLogFilePath(L"../../..\\x");
    const File plain = GetLogFilePath(L"worker");
    EXPECT_EQ(logFile.GetPath(), plain.GetPath());
    EXPECT_EQ(logFile.GetFilename(), L"ZEPMaintenance2-.._.._.._x.log");
}

} // namespace
} // namespace ZEPMaintenance
