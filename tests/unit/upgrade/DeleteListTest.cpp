// The delete list: its two sections as a text-mode read takes them, code page 852, and the paths the
// elevated worker refuses before it deletes anything.
#include "upgrade/HostUpdate.h"

#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/SystemSupport.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using Lines = std::vector<std::wstring>;

TEST(DeleteListTest, FilesUpToTheFirstEmptyLineThenFoldersEachLineOnlyWithItsLineBreak) {
    const DeleteListLines both =
        SplitDeleteList(L"a.dll\r\nbin\\b.dll\n  spaced \r\n\r\nold\nold\\sub\\\r\nlast");
    EXPECT_EQ(both.files, (Lines{L"a.dll", L"bin\\b.dll", L"  spaced "}));
    // "last" has no line break and is not taken.
    EXPECT_EQ(both.folders, (Lines{L"old", L"old\\sub\\"}));

    const DeleteListLines filesOnly = SplitDeleteList(L"a.dll\nb.dll");
    EXPECT_EQ(filesOnly.files, (Lines{L"a.dll"}));
    EXPECT_TRUE(filesOnly.folders.empty());

    const DeleteListLines foldersOnly = SplitDeleteList(L"\nx\n\ny\n");
    EXPECT_TRUE(foldersOnly.files.empty());
    // Later empty lines belong to the folders, as written.
    EXPECT_EQ(foldersOnly.folders, (Lines{L"x", L"", L"y"}));

    // Only a carriage return right before the line feed is part of the break.
    EXPECT_EQ(SplitDeleteList(L"a\rb\r\r\n").files, (Lines{L"a\rb\r"}));
    EXPECT_TRUE(SplitDeleteList(L"").files.empty());
}

// The rule alone, as the release tool's check applies it too: files first, the first refused line named,
// empty folder lines counted and dropped; nothing logged.
TEST(DeleteListTest, TheRuleNamesTheFirstRefusedLineFilesFirst) {
    struct Case {
        Lines files;
        Lines folders;
        int32_t refusal;
        std::wstring refusedPath;
        std::size_t emptyLines;
        Lines foldersTaken;
    };
    const Case cases[] = {
        {{L"a.dll", L"..\\b.dll", L"C:c.dll"}, {}, ErrorCode::kFileDeleteOrCopyFailed, L"..\\b.dll", 0, {}},
        {{L"x\\. .\\y.dll"}, {}, ErrorCode::kFileDeleteOrCopyFailed, L"x\\. .\\y.dll", 0, {}},
        {{L"a\\...\\b.txt"}, {}, ErrorCode::kFileDeleteOrCopyFailed, L"a\\...\\b.txt", 0, {}},
        {{L"a.dll"}, {L".", L"..\\x"}, ErrorCode::kDirectoryDeleteFailed, L".", 0, {}},
        {{L"..\\b.dll"}, {L"."}, ErrorCode::kFileDeleteOrCopyFailed, L"..\\b.dll", 0, {}},
        {{}, {L"", L"old\\ . "}, ErrorCode::kDirectoryDeleteFailed, L"old\\ . ", 1, {}},
        {{L"a.dll"}, {L"", L"old", L"", L"new\\"}, 0, L"", 2, {L"old", L"new\\"}},
        {{L"a\\.\\b.dll", L"sub/c.dll"}, {L"old\\."}, 0, L"", 0, {L"old\\."}},
    };
    test::CapturedLog log;
    for (const Case& c : cases) {
        const CheckedDeleteList checked = CheckDeleteListLines({c.files, c.folders});
        const std::wstring row = c.files.empty() ? c.folders.back() : c.files.front();
        EXPECT_EQ(checked.refusal, c.refusal) << row;
        EXPECT_EQ(checked.refusedPath, c.refusedPath) << row;
        EXPECT_EQ(checked.emptyFolderLines, c.emptyLines) << row;
        if (c.refusal == 0) {
            EXPECT_EQ(checked.lines.files, c.files) << row;
            EXPECT_EQ(checked.lines.folders, c.foldersTaken) << row;
        }
    }
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST(DeleteListTest, AFileLineThatNamesNoFileFailsWhereItIsDeleted) {
    const std::pair<const wchar_t*, int32_t> cases[] = {
        {L"bin\\", ErrorCode::kInvalidValue},
        {L"bin/", ErrorCode::kInvalidValue},
        {L"bin\\.", ErrorCode::kFileDeleteOrCopyFailed},
        {L"bin/.", ErrorCode::kFileDeleteOrCopyFailed},
        {L"bin\\old.dll", 0},
        {L".\\old.dll", 0},
        {L"old.", 0},
        {L"a.b\\c", 0},
    };
    for (const auto& [line, code] : cases) {
        EXPECT_EQ(DeleteListFileFailure(line), code) << line;
    }
}

// The deletes of one update in the order the update makes them: what an earlier one took is gone later.
TEST(DeleteListTest, ADeleteOfWhatAnEarlierDeleteTookIsFound) {
    struct Case {
        const char* what;
        Lines actions;
        DeleteListLines lines;
        bool ignoreCase;
        std::vector<DeleteConflict> conflicts;
    };
    const int32_t action = ErrorCode::kPreUpgradeActionsFailed;
    const int32_t file = ErrorCode::kFileDeleteOrCopyFailed;
    const int32_t folder = ErrorCode::kDirectoryDeleteFailed;
    const Case cases[] = {
        {"distinct deletes", {L"a.txt"}, {{L"b.txt", L"c\\a.txt"}, {L"c", L"d"}}, false, {}},
        {"a listed file the action takes off the list", {L"a.txt"}, {{L"a.txt", L"b.txt"}, {}}, false, {}},
        {"a file inside a folder deleted after it", {L"c\\x.txt"}, {{L"c\\y.txt"}, {L"c"}}, false, {}},
        {"an action twice", {L"a.txt", L".\\a.txt"}, {}, false, {{L".\\a.txt", L"a.txt", action}}},
        {"a listed file the action took in another spelling",
         {L"a.txt"},
         {{L"a.txt", L"./a.txt"}, {}},
         false,
         {{L"./a.txt", L"a.txt", file}}},
        {"a file listed twice", {}, {{L"b\\x", L"b\\x"}, {}}, false, {{L"b\\x", L"b\\x", file}}},
        {"an action once but listed twice", {L"a"}, {{L"a", L"a"}, {}}, false, {{L"a", L"a", file}}},
        {"a folder twice", {}, {{}, {L"c", L"c\\"}}, false, {{L"c", L"c\\", folder}}},
        {"an inner folder after its outer one", {}, {{}, {L"c\\d", L"c"}}, false, {{L"c\\d", L"c", folder}}},
        {"an inner folder before its outer one", {}, {{}, {L"c", L"c\\d"}}, false, {}},
        {"a folder whose name only starts alike", {}, {{}, {L"cd", L"c"}}, false, {}},
        {"letter case on Linux", {L"a.txt"}, {{L"A.TXT"}, {L"c", L"C\\d"}}, false, {}},
        {"letter case on Windows",
         {L"a.txt"},
         {{L"A.TXT"}, {L"C\\d", L"c"}},
         true,
         {{L"A.TXT", L"a.txt", file}, {L"C\\d", L"c", folder}}},
    };
    for (const Case& c : cases) {
        const std::vector<DeleteConflict> found = FindDeleteConflicts(c.actions, c.lines, c.ignoreCase);
        ASSERT_EQ(found.size(), c.conflicts.size()) << c.what;
        for (std::size_t i = 0; i < found.size(); ++i) {
            EXPECT_EQ(found[i].path, c.conflicts[i].path) << c.what;
            EXPECT_EQ(found[i].earlier, c.conflicts[i].earlier) << c.what;
            EXPECT_EQ(found[i].code, c.conflicts[i].code) << c.what;
        }
    }
}

class DeleteListFileTest : public testing::Test {
protected:
    std::wstring Write(const std::string& bytes) {
        test::WriteTextFile(path, bytes);
        return path;
    }

    test::CapturedLog log;
    Logger logger{L"Maintenance"};
    test::TempDir folder;
    const std::wstring path = folder.Path() + L"._ZEP_UPGRADE_delete";
};

TEST_F(DeleteListFileTest, IsReadInCodePage852) {
    // "Příliš žluťoučký kůň\Úpěl" in code page 852.
    const DeleteListLines lines = ReadDeleteList(
        Write("P\xfd\xa1li\xe7 \xa7lu\x9cou\x9fk\xec k\x85\xe5\\\xe9p\xd8l\r\n\r\nstar\xe1\n"), logger);
    EXPECT_EQ(lines.files, (Lines{L"Příliš žluťoučký kůň\\Úpěl"}));
    EXPECT_EQ(lines.folders, (Lines{L"starß"}));
}

TEST_F(DeleteListFileTest, PathsLeavingTheProgramFolderAreRefusedBeforeAnythingIsDeleted) {
    EXPECT_EQ(test::CodeOf([&] { ReadDeleteList(Write("ok.dll\n..\\..\\boot.ini\n"), logger); }),
              ErrorCode::kFileDeleteOrCopyFailed);
    EXPECT_TRUE(log.Contains(L"(path: ..\\..\\boot.ini)")) << log.Dump();
    for (const char* file : {"C:\\boot.ini\n", "\\windows\\x.dll\n", "a.txt:stream\n", "/etc/passwd\n"}) {
        EXPECT_EQ(test::CodeOf([&] { ReadDeleteList(Write(file), logger); }),
                  ErrorCode::kFileDeleteOrCopyFailed)
            << file;
    }
    for (const char* folders : {"\n.\n", "\n.\\\n", "\nsub\\..\\..\n", "\nD:\\data\n"}) {
        EXPECT_EQ(test::CodeOf([&] { ReadDeleteList(Write(folders), logger); }),
                  ErrorCode::kDirectoryDeleteFailed)
            << folders;
    }
}

TEST_F(DeleteListFileTest, AnEmptyFolderLineNeverNamesTheProgramFolder) {
    // However many empty lines the user's list holds, root's log gets one line with their count.
    const DeleteListLines lines = ReadDeleteList(Write("a.dll\n\nold\n\n\nnew\n\n"), logger);
    EXPECT_EQ(lines.folders, (Lines{L"old", L"new"}));
    EXPECT_TRUE(log.Has(LevelWarn, L"DoHostUpdate: Empty directory line in delete filelist ignored. (path: " +
                                       path + L", count: 3)"))
        << log.Dump();
    EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
}

TEST_F(DeleteListFileTest, TheTextIsReadAsTheUpdateReadsItWithoutALine) {
    const DeleteListText missing = ReadDeleteListText(path);
    EXPECT_EQ(missing.readError, 2u);
    EXPECT_TRUE(missing.text.empty());
    const DeleteListText read = ReadDeleteListText(Write("star\xe1\r\n\r\nx"));
    EXPECT_EQ(read.readError, 0u);
    EXPECT_TRUE(read.decoded);
    EXPECT_EQ(read.text, L"starß\r\n\r\nx");
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST_F(DeleteListFileTest, AMissingListIs141AndAnEmptyOneNamesNothing) {
    EXPECT_EQ(test::CodeOf([&] { ReadDeleteList(path, logger); }), ErrorCode::kDeleteListNotLoaded);
    EXPECT_TRUE(log.Has(LevelError, L"DoHostUpdate: Loading delete filelist file failed.")) << log.Dump();
    // The system's own number for a file that is not there, on both platforms.
    EXPECT_TRUE(log.Has(LevelError, L"DoHostUpdate: The delete filelist could not be read. (path: " + path +
                                        L", lastError: 2)"))
        << log.Dump();
    const DeleteListLines lines = ReadDeleteList(Write(""), logger);
    EXPECT_TRUE(lines.files.empty());
    EXPECT_TRUE(lines.folders.empty());
}

} // namespace
} // namespace ZEPMaintenance
