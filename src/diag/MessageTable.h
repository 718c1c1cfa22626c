// Small localized text tables: error descriptions and the progress dialog's texts.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace ZEPMaintenance {

enum Language : int32_t { Czech = 0, Slovak = 1, English = 2 };

class MessageTable {
public:
    struct Row {
        const wchar_t* czech;
        const wchar_t* slovak;
        const wchar_t* english;
    };

    MessageTable(std::map<int32_t, Row> rows, Row defaultRow);

    // Languages 3 and above read the English column; a negative language reads Czech,
    // the program's default language.
    std::wstring Lookup(int32_t id, int32_t language) const;

private:
    std::map<int32_t, Row> rows_;
    Row default_;
};

// Both tables are built on first use (thread-safe) and live until process exit.
const MessageTable& ErrorMessageTable();
const MessageTable& GuiTextTable();

} // namespace ZEPMaintenance
