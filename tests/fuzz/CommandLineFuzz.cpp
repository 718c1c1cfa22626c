// Fuzz target: the command-line grammar. Any text splits without fault, an argument vector too, and a
// map the grammar carries survives BuildCommandLine and SplitCommandLine unchanged.
#include "app/ArgumentMap.h"
#include "base/posix/Utf8.h"

#include <string>
#include <string_view>
#include <vector>

using namespace ZEPMaintenance;

namespace {

// The input as UTF-8, so that seeds are plain text; a NUL would end the command line early.
std::wstring WideText(const uint8_t* data, std::size_t size) {
    std::wstring text = posix::DecodeUtf8(std::string_view(reinterpret_cast<const char*>(data), size),
                                          posix::InvalidBytes::Replace);
    for (wchar_t& c : text) {
        c = c == 0 ? L' ' : c;
    }
    return text;
}

// What BuildCommandLine promises to carry: names empty or starting with '-', values not starting
// with '-', no double quote, no empty value under the empty name.
ArgumentMap Carriable(const std::vector<std::wstring>& parts) {
    ArgumentMap map;
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        std::wstring name = parts[i];
        std::wstring value = parts[i + 1];
        for (std::wstring* text : {&name, &value}) {
            for (wchar_t& c : *text) {
                c = c == L'"' ? L'\'' : c;
            }
        }
        if (!name.empty() && name.front() != L'-') {
            name.insert(name.begin(), L'-');
        }
        if (!value.empty() && value.front() == L'-') {
            value.front() = L'x';
        }
        if (!(name.empty() && value.empty())) {
            map[name] = value;
        }
    }
    return map;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::wstring text = WideText(data, size);
    ArgumentMap fromLine;
    SplitCommandLine(text.c_str(), fromLine);

    // The same text cut at each '\x1F' into an argument vector, as an entry point receives it.
    std::vector<std::wstring> parts(1);
    for (const wchar_t c : text) {
        if (c == L'\x1F') {
            parts.emplace_back();
        } else {
            parts.back() += c;
        }
    }
    std::vector<const wchar_t*> vector;
    for (const std::wstring& part : parts) {
        vector.push_back(part.c_str());
    }
    ArgumentMap fromVector;
    SplitArgumentVector(static_cast<int>(vector.size()), vector.data(), fromVector);

    const ArgumentMap map = Carriable(parts);
    ArgumentMap again;
    SplitCommandLine(BuildCommandLine(map).c_str(), again);
    if (again != map) {
        __builtin_trap();
    }
    return 0;
}
