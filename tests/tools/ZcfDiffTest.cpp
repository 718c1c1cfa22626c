// zcf diff's delete list read back by the worker's own reader, and the names a release tree may hold.
#include "ZcfDiff.h"
#include "ZcfKeys.h"

#include "base/CodePage.h"
#include "upgrade/HostUpdate.h"

#include <gtest/gtest.h>

namespace {

using namespace zcf;

struct ListRow {
    const char* what;
    std::vector<std::wstring> files;
    std::vector<std::wstring> folders;
};

TEST(ZcfDiff, TheWorkerReadsTheDeleteListAsWritten) {
    const ListRow rows[] = {
        {"files and folders", {L"a.txt", L"lib\\old.dll"}, {L"obsolete", L"data\\čň ý"}},
        {"files only", {L"Readme.TXT"}, {}},
        {"folders only: the list starts with the empty line", {}, {L"Docs"}},
        {"code page 852 letters", {L"Příliš žluťoučký kůň úpěl ďábelské ódy.txt"}, {L"ŠČŘŽÝÁÍÉŮÚĎŤŇ"}},
        {"blanks and dots inside names", {L"a b\\c.d.e"}, {L" x"}},
        {"nothing to delete", {}, {}},
    };
    for (const ListRow& row : rows) {
        const std::string bytes = DeleteListBytes(row.files, row.folders);
        std::wstring text;
        ASSERT_TRUE(
            ZEPMaintenance::SingleByteToWide(bytes, ZEPMaintenance::kCentralEuropeanOemCodePage, text))
            << row.what;
        const ZEPMaintenance::DeleteListLines lines = ZEPMaintenance::SplitDeleteList(text);
        EXPECT_EQ(lines.files, row.files) << row.what;
        EXPECT_EQ(lines.folders, row.folders) << row.what;
    }
}

TEST(ZcfDiff, DeleteListBytesAreCodePage852WithWindowsLineEnds) {
    // č ň ý are 9F E5 EC in code page 852; Latin-1 or UTF-8 would give other bytes.
    EXPECT_EQ(DeleteListBytes({L"čňý"}, {L"Ž"}), "\x9F\xE5\xEC\r\n\r\n\xA6\r\n");
    EXPECT_EQ(DeleteListBytes({}, {}), "");
}

TEST(ZcfDiff, APathOutsideTheCodePageIsNotWritten) {
    for (const std::wstring& path :
         {std::wstring(L"日本.txt"), std::wstring(L"price €"), std::wstring(L"ß\\ø")}) {
        try {
            DeleteListBytes({L"fine.txt", path}, {});
            ADD_FAILURE() << "written: " << Utf8(path);
        } catch (const ToolError& error) {
            EXPECT_EQ(error.exitCode, kExitInput);
            EXPECT_NE(error.message.find(Utf8(path)), std::string::npos) << error.message;
        }
    }
}

struct NameRow {
    const char* name;
    const char* problem; // a part of the message, or nullptr for a name a product folder can hold
};

TEST(ZcfDiff, NamesAProductFolderCanHold) {
    const NameRow rows[] = {
        {"app.exe", nullptr},
        {"žluťoučký kůň.txt", nullptr},
        {"čň ý", nullptr},
        {".hidden", nullptr},
        {"a.b.c d", nullptr},
        {"COM10", nullptr},
        {"console.txt", nullptr},
        {"nullable", nullptr},
        {"日本.txt", "code page 852"},
        {"€", "code page 852"},
        {"\xE8.dll", "not UTF-8"},
        {"\xC3", "not UTF-8"},
        {"a\tb", "control character"},
        {"line\nbreak", "control character"},
        {"a:b", "holds :"},
        {"a?b", "holds ?"},
        {"a*b", "holds *"},
        {"a\\b", "holds \\"},
        {"a|b", "holds |"},
        {"a\"b", "holds \""},
        {"<x>", "holds <"},
        {"ends.", "ends in a dot or blank"},
        {"ends ", "ends in a dot or blank"},
        {"NUL", "device name"},
        {"nul.txt", "device name"},
        {"Con", "device name"},
        {"aux .c", "device name"},
        {"com1.dll", "device name"},
        {"LPT9", "device name"},
    };
    for (const NameRow& row : rows) {
        const std::string problem = ProductNameProblem(row.name);
        if (row.problem == nullptr) {
            EXPECT_EQ(problem, "") << row.name;
        } else {
            EXPECT_NE(problem.find(row.problem), std::string::npos) << row.name << ": " << problem;
        }
    }
}

} // namespace
