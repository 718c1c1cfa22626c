// The command-line grammar: splitting into an ordered option map, rebuilding, typed access.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace ZEPMaintenance {

// Keys keep their leading dash and are ordered code unit by code unit.
using ArgumentMap = std::map<std::wstring, std::wstring>;

void SplitCommandLine(const wchar_t* commandLine, ArgumentMap& arguments);
void SplitArgumentVector(int count, const wchar_t* const* vector, ArgumentMap& arguments);
// SplitCommandLine(BuildCommandLine(map)) gives the map back for every map the grammar can carry:
// names empty or starting with '-', values not starting with '-', no double quote anywhere (the
// grammar has no escape for one), and no empty value under the empty name.
std::wstring BuildCommandLine(const ArgumentMap& arguments);
// A whole command line (a run-once value, a process's full command line) split into the program and the
// tail that SplitCommandLine takes, as the Windows C runtime hands the tail to wWinMain: a program that
// starts with a double quote runs to the next one, any other to the first character up to a blank;
// control characters and blanks after it belong to neither.
void SplitProgramName(const std::wstring& commandLine, std::wstring& program, std::wstring& tail);

bool HasArgument(const ArgumentMap& arguments, const std::wstring& name);
std::wstring GetArgument(const ArgumentMap& arguments, const std::wstring& name);
int32_t GetIntArgument(const ArgumentMap& arguments, const std::wstring& name);
std::wstring GetBase64Argument(const ArgumentMap& arguments, const std::wstring& name);
void SetIntArgument(ArgumentMap& arguments, const std::wstring& name, int32_t number);

} // namespace ZEPMaintenance
