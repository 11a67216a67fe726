#pragma once
// Exception types of the program. Every failure carries a sentence fit for the user;
// FullText() is what the log and the fatal box show: type name, ": " and the message.
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace twr {

class Error : public std::runtime_error {
public:
    explicit Error(const std::string& message, int64_t code = 0)
        : std::runtime_error(message), code_(code) {}
    // Windows error number or HRESULT where the failure came from the platform, else 0.
    [[nodiscard]] int64_t Code() const noexcept { return code_; }
    [[nodiscard]] virtual const char* TypeName() const noexcept { return "Error"; }

private:
    int64_t code_;
};

#define TWR_ERROR_TYPE(Name)                                                   \
    class Name : public Error {                                                \
    public:                                                                    \
        using Error::Error;                                                    \
        [[nodiscard]] const char* TypeName() const noexcept override { return #Name; } \
    };

TWR_ERROR_TYPE(IoError)              // files and folders
TWR_ERROR_TYPE(FormatError)          // text that does not parse (JSON, numbers)
TWR_ERROR_TYPE(InvalidArgument)      // a caller passed a value outside its range
TWR_ERROR_TYPE(InvalidOperation)     // a call made in a state that does not allow it
TWR_ERROR_TYPE(PlatformError)        // a failing Win32 call (code: the Windows error)
TWR_ERROR_TYPE(ComError)             // a failing COM call (code: the HRESULT)
TWR_ERROR_TYPE(TimeoutError)
#undef TWR_ERROR_TYPE

// The type name of any exception followed by ": " and its message.
[[nodiscard]] std::string FullText(const std::exception& e);

}  // namespace twr
