// The command-line grammar: splitting, rebuilding and typed access.
#include "app/ArgumentMap.h"
#include "diag/IMException.h"
#include "system/Text.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

ArgumentMap Split(const wchar_t* text) {
    ArgumentMap map;
    SplitCommandLine(text, map);
    return map;
}

TEST(SplitCommandLineTest, QuotesGroupWhiteSpaceAndAreDropped) {
    EXPECT_EQ(Split(LR"(-op "update")"), (ArgumentMap{{L"-op", L"update"}}));
    EXPECT_EQ(Split(LR"(-pp "C:\Program Files\A" -dp D -op update)"),
              (ArgumentMap{{L"-pp", L"C:\\Program Files\\A"}, {L"-dp", L"D"}, {L"-op", L"update"}}));
    EXPECT_EQ(Split(LR"(-pp"C:\a b")"), (ArgumentMap{{L"-ppC:\\a b", L""}}));
    EXPECT_EQ(Split(LR"(-x a"b c"d)"), (ArgumentMap{{L"-x", L"ab cd"}}));
}

TEST(SplitCommandLineTest, WhiteSpaceEndsEveryTokenEvenEmptyOnes) {
    EXPECT_EQ(Split(LR"(-op update  -pp "C:\x")"), (ArgumentMap{{L"-op", L"update "}, {L"-pp", L"C:\\x"}}));
    EXPECT_EQ(Split(L"-msipar a b\tc\r\nd"), (ArgumentMap{{L"-msipar", L"a b c  d"}}));
    EXPECT_EQ(Split(L"-a   x"), (ArgumentMap{{L"-a", L"x"}}));
    EXPECT_EQ(Split(L"  "), ArgumentMap{});
    EXPECT_EQ(Split(L""), ArgumentMap{});
    EXPECT_EQ(Split(nullptr), ArgumentMap{});
}

TEST(SplitCommandLineTest, NamesValuesAndOrder) {
    EXPECT_EQ(Split(L"-op update -op install"), (ArgumentMap{{L"-op", L"install"}}));
    EXPECT_EQ(Split(L"loose words -flag -op x"),
              (ArgumentMap{{L"", L"loose words"}, {L"-flag", L""}, {L"-op", L"x"}}));
    EXPECT_EQ(Split(L"-a"), (ArgumentMap{{L"-a", L""}}));
    EXPECT_EQ(Split(L"-a b"), (ArgumentMap{{L"-a", L"b"}}));
    // An open quote at the end drops the token it started.
    EXPECT_EQ(Split(LR"(-op "upd)"), (ArgumentMap{{L"-op", L""}}));
    // The text ends at its first NUL.
    EXPECT_EQ(Split(L"-a b\0-c d"), (ArgumentMap{{L"-a", L"b"}}));
    // Ordinal key order: upper case sorts before lower case.
    const ArgumentMap map = Split(L"-op x -Z y -lpid 1");
    std::vector<std::wstring> keys;
    for (const auto& entry : map) {
        keys.push_back(entry.first);
    }
    EXPECT_EQ(keys, (std::vector<std::wstring>{L"-Z", L"-lpid", L"-op"}));
}

TEST(SplitArgumentVectorTest, ElementsAreWholeTokens) {
    const wchar_t* vector[] = {L"Z.EP Maintenance Service2", L"-op",      L"update", L"-pp",
                               L"C:\\Program Files\\A",      L"-guiPipe", L"-lang",  L"\"2\""};
    ArgumentMap map;
    SplitArgumentVector(8, vector, map);
    EXPECT_EQ(map, (ArgumentMap{{L"", L"Z.EP Maintenance Service2"},
                                {L"-op", L"update"},
                                {L"-pp", L"C:\\Program Files\\A"},
                                {L"-guiPipe", L""},
                                {L"-lang", L"\"2\""}}));
}

TEST(BuildCommandLineTest, RoundTripsThroughTheSplitter) {
    const ArgumentMap map{{L"-lpid", L"42"}, {L"-op", L"update"}};
    EXPECT_EQ(BuildCommandLine(map), L"-lpid \"42\" -op \"update\"");
    EXPECT_EQ(BuildCommandLine({}), L"");
    const ArgumentMap spaced{{L"-pp", L"C:\\Program Files\\A"}, {L"-dp", L""}, {L"-op", L"rollback"}};
    EXPECT_EQ(Split(BuildCommandLine(spaced).c_str()), spaced);
    // A name holding white space is quoted; one without keeps the plain form.
    const ArgumentMap spacedName{{L"-a b", L"c"}, {L"-d\te", L""}, {L"", L"before"}};
    EXPECT_EQ(BuildCommandLine(spacedName), L" \"before\" \"-a b\" \"c\" \"-d\te\" \"\"");
    EXPECT_EQ(Split(BuildCommandLine(spacedName).c_str()), spacedName);
}

// That every map the grammar can carry round-trips is the command-line fuzz target's property.

TEST(ArgumentAccessTest, TypedAccessorsAndTheirCodes) {
    ArgumentMap map{{L"-lang", L"2x"}, {L"-bad", L"x"}, {L"-neg", L"  -7"}};
    EXPECT_EQ(GetIntArgument(map, L"-lang"), 2);
    EXPECT_EQ(GetIntArgument(map, L"-neg"), -7);
    try {
        GetIntArgument(map, L"-bad");
        FAIL();
    } catch (const IMException& e) {
        EXPECT_EQ(e.GetErrorNumber(), 102);
        EXPECT_EQ(e.GetErrorMessage(), L"");
    }
    try {
        GetArgument(map, L"-missing");
        FAIL();
    } catch (const IMException& e) {
        EXPECT_EQ(e.GetErrorNumber(), 101);
    }
    EXPECT_THROW(GetBase64Argument(map, L"-missing"), IMException);
    EXPECT_THROW(GetIntArgument(ArgumentMap{{L"-n", L"99999999999"}}, L"-n"), IMException);

    SetIntArgument(map, L"-lpid", -42);
    EXPECT_EQ(map.at(L"-lpid"), L"-42");
    EXPECT_TRUE(HasArgument(map, L"-lpid"));
    EXPECT_FALSE(HasArgument(map, L"-LPID"));
}

TEST(ArgumentAccessTest, Base64ArgumentsAreUtf16LittleEndianText) {
    // "/qn ž" as UTF-16LE, Base64-encoded.
    const ArgumentMap map{{L"-msipar", L"LwBxAG4AIAB+AQ=="}, {L"-junk", L"not base64!"}, {L"-odd", L"QQ=="}};
    EXPECT_EQ(GetBase64Argument(map, L"-msipar"), L"/qn ž");
    EXPECT_EQ(GetBase64Argument(map, L"-junk"), L"");
    EXPECT_EQ(GetBase64Argument(map, L"-odd"), L""); // one byte holds no UTF-16 character

    // Padding is optional, white space is skipped; malformed text gives empty parameters, never
    // a failure of the run.
    const ArgumentMap forms{{L"-unpadded", L"QQBCAA"}, {L"-spaced", L"QQBC\r\nAA=="}, {L"-pads", L"===="},
                            {L"-eight", L"========"},  {L"-late", L"QQ==QQ=="},       {L"-lone", L"QQBCA"}};
    EXPECT_EQ(GetBase64Argument(forms, L"-unpadded"), L"AB");
    EXPECT_EQ(GetBase64Argument(forms, L"-spaced"), L"AB");
    EXPECT_EQ(GetBase64Argument(forms, L"-lone"), L"AB"); // a lone last character starts one byte
    for (const wchar_t* name : {L"-pads", L"-eight", L"-late"}) {
        EXPECT_EQ(GetBase64Argument(forms, name), L"") << WideToMultiByte(name, kUtf8CodePage);
    }
}

TEST(SplitProgramNameTest, TheProgramEndsAtItsQuoteOrAtTheFirstBlank) {
    const struct {
        const wchar_t* line;
        const wchar_t* program;
        const wchar_t* tail;
    } cases[] = {
        {L"C:\\Program Files\\Z.exe -op x", L"C:\\Program", L"Files\\Z.exe -op x"},
        {L"\"C:\\Program Files\\Z.exe\" -op x", L"C:\\Program Files\\Z.exe", L"-op x"},
        {L"\"C:\\Z.exe\"-op x", L"C:\\Z.exe", L"-op x"},
        {L"Z.exe\t \t-op  \"a b\" ", L"Z.exe", L"-op  \"a b\" "},
        {L"\"C:\\open quote -op x", L"C:\\open quote -op x", L""},
        {L"Z.exe", L"Z.exe", L""},
        {L"", L"", L""},
    };
    for (const auto& [line, program, tail] : cases) {
        std::wstring gotProgram = L"unset";
        std::wstring gotTail = L"unset";
        SplitProgramName(line, gotProgram, gotTail);
        EXPECT_EQ(gotProgram, program) << testing::PrintToString(std::wstring(line));
        EXPECT_EQ(gotTail, tail) << testing::PrintToString(std::wstring(line));
    }
}

} // namespace
} // namespace ZEPMaintenance
