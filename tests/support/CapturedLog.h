// Test support: installs a logger table that records every line in memory.
#pragma once

#include "diag/Logger.h"

#include <string>
#include <vector>

namespace ZEPMaintenance::test {

struct CapturedLine {
    int32_t level;
    std::wstring category;
    std::wstring message;
};

struct ExpectedLine {
    int32_t level;
    std::wstring message;
};

// While alive, every Logger constructed gets the capturing table; on destruction logging is off again.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    const std::vector<CapturedLine>& Lines() const;
    // True when some line has this level and exactly this message.
    bool Has(int32_t level, const std::wstring& message) const;
    // True when some line's message contains the text.
    bool Contains(const std::wstring& text) const;
    // Empty when every one of these lines was logged (as Has finds it); otherwise the missing ones and the
    // whole log, for the failure message.
    std::wstring Missing(const std::vector<ExpectedLine>& expected) const;
    std::wstring Dump() const;
    void Clear();
};

} // namespace ZEPMaintenance::test
