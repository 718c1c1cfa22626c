// The exception every failure of the program's own code is reported with.
#pragma once

#include "diag/ErrorCodes.h"
#include "diag/ZEPException.h"

namespace ZEPMaintenance {

class IMException : public zepstd::ZEPException {
public:
    using ZEPException::ZEPException;

    // The English table text of the code, not the text given at the throw.
    std::wstring GetErrorDescription() const override;
    zepstd::ZEPException* Clone() const override;
    [[noreturn]] void Raise() const override;
};

// Every throwing site logs its own error line first, then calls this.
[[noreturn]] void ThrowIMException(int32_t code, const wchar_t* text = nullptr);

} // namespace ZEPMaintenance
