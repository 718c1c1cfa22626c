// Logger: category rules, silent loggers, the message limit, and the file back end's lines.
#include "diag/Logger.h"
#include "base/Platform.h"
#include "diag/Log.h"
#include "diag/VersionLogger.h"
#include "support/CapturedLog.h"
#include "support/TempDir.h"
#include "system/Text.h"
#include "system/platform/DirectoryPrimitives.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;

TEST(LoggerTest, CategoryRules) {
    CapturedLog log;
    Logger dotted(L".Pipe");
    Logger plain(L"Pipe");
    Logger dot(L".");
    Logger empty(L"");
    Logger none(nullptr);
    dotted.InfoText(L"a");
    plain.InfoText(L"b");
    dot.InfoText(L"c");
    empty.InfoText(L"d");
    none.InfoText(L"e");
    ASSERT_EQ(log.Lines().size(), 2u) << log.Dump();
    EXPECT_EQ(log.Lines()[0].category, L"Pipe");
    EXPECT_EQ(log.Lines()[1].category, L"ZEPMaintenance.Pipe");
    EXPECT_FALSE(dot.IsActive());
    EXPECT_FALSE(empty.IsActive());
    EXPECT_FALSE(none.IsActive());
    EXPECT_EQ(mainLogger().IsActive(), true);
}

TEST(LoggerTest, LoggerMadeBeforeSetUpStaysSilent) {
    InitLogging(nullptr);
    Logger early(L"Early");
    CapturedLog log;
    early.Error(L"lost %d", 1);
    Logger late(L"Late");
    late.Error(L"kept %d", 2);
    ASSERT_EQ(log.Lines().size(), 1u);
    EXPECT_EQ(log.Lines()[0].message, L"kept 2");
    EXPECT_EQ(log.Lines()[0].level, LevelError);
}

TEST(LoggerTest, MessagesOverTheLimitAreReplaced) {
    CapturedLog log;
    Logger logger(L"Limit");
    logger.Info(L"%ls", std::wstring(1023, L'x'));
    logger.Info(L"%ls", std::wstring(1024, L'y'));
    logger.Info(L"%ls", std::wstring());
    ASSERT_EQ(log.Lines().size(), 3u);
    EXPECT_EQ(log.Lines()[0].message.size(), 1023u);
    EXPECT_EQ(log.Lines()[1].message, L"Message too long.");
    EXPECT_EQ(log.Lines()[2].message, L"Message too long."); // no characters at all
}

TEST(LoggerTest, TheLimitIsCountedInUtf16Units) {
    // A character beyond U+FFFF is two UTF-16 units, wherever wchar_t holds it whole.
    const std::wstring face = L"\U0001F600";
    std::wstring fits;
    for (int i = 0; i < 511; ++i) {
        fits += face;
    }
    fits += L'x'; // 1023 units
    CapturedLog log;
    Logger logger(L"Limit");
    logger.Info(L"%ls", fits);
    logger.Info(L"%ls", fits + L'y');
    std::wstring faces;
    for (int i = 0; i < 600; ++i) {
        faces += face;
    }
    logger.Info(L"%ls", faces);
    ASSERT_EQ(log.Lines().size(), 3u);
    EXPECT_EQ(log.Lines()[0].message, fits);
    EXPECT_EQ(log.Lines()[1].message, L"Message too long.");
    EXPECT_EQ(log.Lines()[2].message, L"Message too long.");
}

// Reads the log file as written: its bytes, split into lines without their line ends.
std::vector<std::string> ReadLines(const std::string& path, std::string& raw) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    raw = buffer.str();
    std::vector<std::string> lines;
    std::string line;
    std::istringstream stream(raw);
    while (std::getline(stream, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

TEST(LoggerTest, FileBackEndWritesTheSpecifiedLines) {
    test::TempDir dir;
    const std::string path = WideToMultiByte(dir.Path() + L"test.log", kAnsiCodePage);
    SetLogFile(path);
    const LoggerFunctions functions = FileLoggerFunctions();
    InitLogging(&functions);
    {
        Logger logger(L"File");
        logger.Info(L"Exists: checked. (filename: %ls)", L"čeština.txt");
        logger.Warn(L"warned");
        logger.Debug(L"debugged %d", 5);
        logger.ErrorText(L"IsClosed");
    }
    InitLogging(nullptr);

    std::string raw;
    const auto lines = ReadLines(path, raw);
    ASSERT_EQ(lines.size(), 4u) << raw;
    EXPECT_EQ(raw.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(raw.substr(raw.size() - std::string(platform::kLineEnd).size()), platform::kLineEnd);
    const std::regex format(R"(^(\xEF\xBB\xBF)?\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} \[\d+-\d+\] )"
                            R"((INFO |WARN |DEBUG|ERROR) ZEPMaintenance\.File - .*$)");
    for (const auto& line : lines) {
        EXPECT_TRUE(std::regex_match(line, format)) << line;
    }
    EXPECT_NE(lines[0].find("INFO  ZEPMaintenance.File - Exists: checked. (filename: čeština.txt)"),
              std::string::npos);
    EXPECT_NE(lines[1].find("] WARN  ZEPMaintenance.File - warned"), std::string::npos);
    EXPECT_NE(lines[2].find("] DEBUG ZEPMaintenance.File - debugged 5"), std::string::npos);
    EXPECT_NE(lines[3].find("] ERROR ZEPMaintenance.File - IsClosed"), std::string::npos);
}

TEST(LoggerTest, HandlesKeepTheFileTheyWereCreatedWithAndLastErrorSurvives) {
    test::TempDir dir;
    const std::string first = WideToMultiByte(dir.Path() + L"first.log", kAnsiCodePage);
    const std::string missing = WideToMultiByte(dir.Path() + L"no-such-folder/x.log", kAnsiCodePage);
    SetLogFile(first);
    const LoggerFunctions functions = FileLoggerFunctions();
    InitLogging(&functions);
    Logger before(L"Before");
    SetLogFile(missing);
    Logger after(L"After");

    // A failing system call, then log lines (one of them failing with an error of its own), then
    // the first call's error is read.
    ASSERT_EQ(platform::MakeDirectory(dir.Path() + L"probe"), 0u);
    ASSERT_EQ(platform::MakeDirectory(dir.Path() + L"probe"), 183u);
    const uint32_t error = platform::GetLastErrorCode();
    ASSERT_EQ(error, 183u);
    before.Info(L"one %hs", "\xFF narrow text that is not UTF-8");
    after.Info(L"dropped: the folder does not exist");
    EXPECT_EQ(platform::GetLastErrorCode(), error);
    InitLogging(nullptr);

    std::string raw;
    EXPECT_EQ(ReadLines(first, raw).size(), 1u);
}

TEST(LoggerTest, FileBackEndLevelsAndHandleChecks) {
    test::TempDir dir;
    SetLogFile(WideToMultiByte(dir.Path() + L"levels.log", kAnsiCodePage));
    const LoggerFunctions functions = FileLoggerFunctions();
    LogHandleRef handle = nullptr;
    ASSERT_NE(functions.create(nullptr, &handle), 0);
    // After SetLogFile the level is DEBUG: every level is enabled.
    for (auto enabled : {functions.isFatalEnabled, functions.isErrorEnabled, functions.isWarnEnabled,
                         functions.isInfoEnabled, functions.isDebugEnabled}) {
        EXPECT_TRUE(enabled(handle));
    }
    functions.fatal(handle, L"fatal line");
    functions.destroy(handle);

    // Something that is not a handle of this back end is ignored, never dereferenced as one.
    uint32_t notAHandle[16] = {60, 0x12345678};
    EXPECT_FALSE(functions.isErrorEnabled(notAHandle));
    functions.error(notAHandle, L"ignored");
    EXPECT_FALSE(functions.isErrorEnabled(nullptr));
    functions.destroy(nullptr);

    std::string raw;
    const auto lines = ReadLines(WideToMultiByte(dir.Path() + L"levels.log", kAnsiCodePage), raw);
    ASSERT_EQ(lines.size(), 1u) << raw;
    EXPECT_NE(lines[0].find("] FATAL null - fatal line"), std::string::npos) << lines[0];
}

TEST(VersionLoggerTest, WritesTheRecordOnlyThroughAnActiveLogger) {
    InitLogging(nullptr);
    const Logger silent(L"VersionLogger");
    LogVersion(silent); // nothing set up: nothing written, nothing fails

    CapturedLog log;
    LogVersion(silent);
    EXPECT_TRUE(log.Lines().empty());
    const Logger logger(L"VersionLogger");
    LogVersion(logger);
    ASSERT_EQ(log.Lines().size(), 4u) << log.Dump();
    EXPECT_EQ(log.Lines()[0].message, L"Version info ...");
    EXPECT_EQ(log.Lines()[0].category, L"ZEPMaintenance.VersionLogger");
    // The compiler's date keeps its blank-padded day: "Jul  4 2022".
    EXPECT_TRUE(
        std::regex_match(log.Lines()[1].message, std::wregex(LR"(Build date: [A-Z][a-z]{2} [ 123]\d \d{4})")))
        << log.Dump();
    EXPECT_TRUE(std::regex_match(log.Lines()[2].message, std::wregex(LR"(Build time: \d\d:\d\d:\d\d)")));
    EXPECT_EQ(log.Lines()[3].message, L"Version: 2.0.1200.0");
    for (const auto& line : log.Lines()) {
        EXPECT_EQ(line.level, LevelDebug);
    }
}

} // namespace
} // namespace ZEPMaintenance
