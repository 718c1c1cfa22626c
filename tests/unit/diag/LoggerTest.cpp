// Logger: category rules, silent loggers, the message limit, and the file back end's lines.
#include "diag/Logger.h"
#include "base/Platform.h"
#include "diag/Log.h"
#include "diag/VersionLogger.h"
#include "support/CapturedLog.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"
#include "system/Text.h"
#include "system/platform/DirectoryPrimitives.h"

#include <gtest/gtest.h>

#include <regex>

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

TEST(LoggerTest, MessagesOverTheLimitOfUtf16UnitsAreReplaced) {
    // A character beyond U+FFFF is two UTF-16 units, wherever wchar_t holds it whole.
    std::wstring faces;
    for (int i = 0; i < 511; ++i) {
        faces += L"\U0001F600";
    }
    const struct {
        std::wstring message;
        bool kept;
    } cases[] = {{std::wstring(1023, L'x'), true},
                 {std::wstring(1024, L'y'), false},
                 {faces + L'x', true},
                 {faces + L"xy", false},
                 {faces + faces, false},
                 {L"", false}};
    CapturedLog log;
    Logger logger(L"Limit");
    for (const auto& c : cases) {
        logger.Info(L"%ls", c.message);
        ASSERT_FALSE(log.Lines().empty());
        EXPECT_EQ(log.Lines().back().message, c.kept ? c.message : L"Message too long.") << c.message.size();
    }
    EXPECT_EQ(log.Lines().size(), std::size(cases));
}

// The file back end writing to files of a fresh folder.
class FileBackEndTest : public ::testing::Test {
protected:
    void TearDown() override { InitLogging(nullptr); }

    std::string PathOf(const wchar_t* name) const {
        return WideToMultiByte(dir.Path() + name, kAnsiCodePage);
    }

    // The file's lines without their line ends; raw keeps its bytes.
    std::vector<std::string> Lines(const wchar_t* name) {
        raw = test::ReadTextFile(dir.Path() + name);
        return test::ReadLines(dir.Path() + name);
    }

    test::TempDir dir;
    const LoggerFunctions functions = FileLoggerFunctions();
    std::string raw;
};

TEST_F(FileBackEndTest, WritesTheSpecifiedLines) {
    SetLogFile(PathOf(L"test.log"));
    InitLogging(&functions);
    {
        Logger logger(L"File");
        logger.Info(L"Exists: checked. (filename: %ls)", L"čeština.txt");
        logger.Warn(L"warned");
        logger.Debug(L"debugged %d", 5);
        logger.ErrorText(L"IsClosed");
    }
    const auto lines = Lines(L"test.log");
    ASSERT_EQ(lines.size(), 4u) << raw;
    EXPECT_EQ(raw.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(raw.substr(raw.size() - std::string(platform::kLineEnd).size()), platform::kLineEnd);
    const std::string texts[] = {"INFO  ZEPMaintenance.File - Exists: checked. (filename: čeština.txt)",
                                 "WARN  ZEPMaintenance.File - warned",
                                 "DEBUG ZEPMaintenance.File - debugged 5",
                                 "ERROR ZEPMaintenance.File - IsClosed"};
    const std::regex stamp(R"(^(\xEF\xBB\xBF)?\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2},\d{3} \[\d+-\d+\] )");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::smatch prefix;
        EXPECT_TRUE(std::regex_search(lines[i], prefix, stamp) && prefix.suffix() == texts[i]) << lines[i];
    }
}

TEST_F(FileBackEndTest, HandlesKeepTheFileTheyWereCreatedWithAndLastErrorSurvives) {
    SetLogFile(PathOf(L"first.log"));
    InitLogging(&functions);
    Logger before(L"Before");
    SetLogFile(PathOf(L"no-such-folder/x.log"));
    Logger after(L"After");

    // A failing system call, then log lines (one of them failing with an error of its own), then
    // the first call's error is read.
    ASSERT_EQ(platform::MakeDirectory(dir.Path() + L"probe"), 0u);
    ASSERT_EQ(platform::MakeDirectory(dir.Path() + L"probe"), 183u);
    ASSERT_EQ(platform::GetLastErrorCode(), 183u);
    before.Info(L"one %hs", "\xFF narrow text that is not UTF-8");
    after.Info(L"dropped: the folder does not exist");
    EXPECT_EQ(platform::GetLastErrorCode(), 183u);
    EXPECT_EQ(Lines(L"first.log").size(), 1u);
}

TEST_F(FileBackEndTest, LevelsAndHandleChecks) {
    SetLogFile(PathOf(L"levels.log"));
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

    const auto lines = Lines(L"levels.log");
    ASSERT_EQ(lines.size(), 1u) << raw;
    EXPECT_NE(lines[0].find("] FATAL null - fatal line"), std::string::npos) << lines[0];
}

TEST(VersionLoggerTest, WritesTheRecordOnlyThroughAnActiveLogger) {
    // A logger made before the set-up stays silent, as every logger does.
    InitLogging(nullptr);
    const Logger silent(L"VersionLogger");
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
