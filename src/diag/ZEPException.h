// Root of the program's exception tree and the container-failure exception.
#pragma once

#include <cstdint>
#include <string>

namespace zepstd {

// Neither class derives from std::exception: callers catch the program's own tree only.
class ZEPException {
public:
    ZEPException(int32_t errorNumber, const wchar_t* errorMessage);
    ZEPException(const ZEPException&) = default;
    ZEPException& operator=(const ZEPException&) = default;
    virtual ~ZEPException() = default;

    virtual std::wstring GetErrorDescription() const = 0;
    virtual std::wstring GetFullDescription() const;
    virtual ZEPException* Clone() const = 0;
    [[noreturn]] virtual void Raise() const = 0;

    int32_t GetErrorNumber() const { return errorNumber; }
    const std::wstring& GetErrorMessage() const { return errorMessage; }

protected:
    int32_t errorNumber;
    std::wstring errorMessage;
};

class StdLibException : public ZEPException {
public:
    using ZEPException::ZEPException;

    std::wstring GetErrorDescription() const override;
    ZEPException* Clone() const override;
    [[noreturn]] void Raise() const override;
};

} // namespace zepstd
