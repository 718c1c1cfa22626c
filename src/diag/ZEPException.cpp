// The exception tree: descriptions, copies and rethrowing.
#include "diag/IMException.h"

#include "base/CodePage.h"
#include "diag/MessageTable.h"

#include <sstream>
#include <typeinfo>

namespace zepstd {

ZEPException::ZEPException(int32_t number, const wchar_t* message)
    : errorNumber(number), errorMessage(message != nullptr ? message : L"") {}

std::wstring ZEPException::GetFullDescription() const {
    std::wostringstream text;
    text << ZEPMaintenance::RuntimeTypeName(typeid(*this)) << L" (ErrorNumber: " << errorNumber
         << L", ErrorMessage: " << (errorMessage.empty() ? L"<no message>" : errorMessage);
    const std::wstring description = GetErrorDescription();
    text << L", ErrorDescription: " << (description.empty() ? L"<no description>" : description) << L")";
    return text.str();
}

std::wstring StdLibException::GetErrorDescription() const {
    switch (errorNumber) {
    case 100:
        return L"Out of bounds.";
    case 101:
        return L"Out of memory.";
    default:
        return L"Unknown error.";
    }
}

ZEPException* StdLibException::Clone() const {
    return new StdLibException(*this);
}

void StdLibException::Raise() const {
    throw StdLibException(*this);
}

} // namespace zepstd

namespace ZEPMaintenance {

std::wstring IMException::GetErrorDescription() const {
    return ErrorMessageTable().Lookup(errorNumber, English);
}

zepstd::ZEPException* IMException::Clone() const {
    return new IMException(*this);
}

void IMException::Raise() const {
    throw IMException(*this);
}

void ThrowIMException(int32_t code, const wchar_t* text) {
    throw IMException(code, text);
}

} // namespace ZEPMaintenance
