// The command-line grammar shared by every process the program starts.
#include "app/ArgumentMap.h"

#include "base/Utf16.h"
#include "diag/IMException.h"
#include "system/Base64.h"

#include <algorithm>
#include <sstream>

namespace ZEPMaintenance {

namespace {

bool IsWhiteSpace(wchar_t c) {
    return c == L'\t' || c == L'\n' || c == L'\r' || c == L' ';
}

// The pending option name and value while tokens are read.
struct PendingPair {
    std::wstring name;
    std::wstring value;

    void Flush(ArgumentMap& arguments) {
        if (!name.empty() || !value.empty()) {
            arguments[name] = value;
            name.clear();
            value.clear();
        }
    }

    void Take(std::wstring& token, ArgumentMap& arguments) {
        if (!token.empty() && token.front() == L'-') {
            Flush(arguments);
            name = token;
        } else if (value.empty()) {
            value = token;
        } else {
            value += L' ';
            value += token;
        }
        token.clear();
    }
};

} // namespace

void SplitCommandLine(const wchar_t* commandLine, ArgumentMap& arguments) {
    const std::wstring_view text =
        commandLine != nullptr ? std::wstring_view(commandLine) : std::wstring_view();
    PendingPair pending;
    std::wstring token;
    bool quoting = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c == L'"') {
            quoting = !quoting;
        }
        const bool last = i + 1 == text.size();
        if (quoting || (!IsWhiteSpace(c) && !last)) {
            if (c != L'"') {
                token += c;
            }
            continue;
        }
        // White space, or the last character, ends the token; a quoted token still open at
        // the end never reaches here and is dropped.
        if (!IsWhiteSpace(c) && c != L'"') {
            token += c;
        }
        pending.Take(token, arguments);
    }
    pending.Flush(arguments);
}

void SplitArgumentVector(int count, const wchar_t* const* vector, ArgumentMap& arguments) {
    PendingPair pending;
    for (int i = 0; i < count; ++i) {
        std::wstring token = vector[i] != nullptr ? vector[i] : L"";
        pending.Take(token, arguments);
    }
    pending.Flush(arguments);
}

std::wstring BuildCommandLine(const ArgumentMap& arguments) {
    std::wstring line;
    for (const auto& [name, value] : arguments) {
        if (!line.empty()) {
            line += L' ';
        }
        // A name holding white space is quoted too, or it would come back as a name and a value.
        const bool quoteName = std::any_of(name.begin(), name.end(), IsWhiteSpace);
        line += quoteName ? L"\"" + name + L"\"" : name;
        line += L" \"" + value + L"\"";
    }
    return line;
}

void SplitProgramName(const std::wstring& commandLine, std::wstring& program, std::wstring& tail) {
    std::size_t at = 0;
    if (!commandLine.empty() && commandLine.front() == L'"') {
        const std::size_t close = commandLine.find(L'"', 1);
        program = commandLine.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
        at = close == std::wstring::npos ? commandLine.size() : close + 1;
    } else {
        while (at < commandLine.size() && commandLine[at] > L' ') {
            ++at;
        }
        program = commandLine.substr(0, at);
    }
    while (at < commandLine.size() && commandLine[at] != L'\0' && commandLine[at] <= L' ') {
        ++at;
    }
    tail = commandLine.substr(at);
}

bool HasArgument(const ArgumentMap& arguments, const std::wstring& name) {
    return arguments.contains(name);
}

std::wstring GetArgument(const ArgumentMap& arguments, const std::wstring& name) {
    const auto found = arguments.find(name);
    if (found == arguments.end()) {
        ThrowIMException(ErrorCode::kKeyNotFound);
    }
    return found->second;
}

int32_t GetIntArgument(const ArgumentMap& arguments, const std::wstring& name) {
    std::wistringstream stream(GetArgument(arguments, name));
    int32_t number = 0;
    stream >> number;
    if (stream.fail()) {
        ThrowIMException(ErrorCode::kConversionFailed);
    }
    return number;
}

std::wstring GetBase64Argument(const ArgumentMap& arguments, const std::wstring& name) {
    std::vector<uint8_t> bytes;
    if (!DecodeBase64(GetArgument(arguments, name), bytes)) {
        return {};
    }
    return WideFromUtf16Le(bytes.data(), bytes.size() / 2);
}

void SetIntArgument(ArgumentMap& arguments, const std::wstring& name, int32_t number) {
    std::wostringstream stream;
    stream << number;
    if (stream.fail()) {
        ThrowIMException(ErrorCode::kConversionFailed);
    }
    arguments[name] = stream.str();
}

} // namespace ZEPMaintenance
