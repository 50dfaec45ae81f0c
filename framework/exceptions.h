// The error model: every failure the program raises is an Exception carrying one message text.
#pragma once

#include <exception>
#include <string>

namespace pc {

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

private:
    std::string message_;
};

#define PC_DECLARE_ERROR(Name, Base)                                                                         \
    class Name : public Base {                                                                               \
    public:                                                                                                  \
        using Base::Base;                                                                                    \
    }

PC_DECLARE_ERROR(EConvertError, Exception);
PC_DECLARE_ERROR(EStreamError, Exception);
PC_DECLARE_ERROR(EFOpenError, EStreamError);
PC_DECLARE_ERROR(EFCreateError, EStreamError);
PC_DECLARE_ERROR(EWriteError, EStreamError);
PC_DECLARE_ERROR(EStringListError, Exception);
PC_DECLARE_ERROR(EInvalidOperation, Exception);
PC_DECLARE_ERROR(EOutOfResources, Exception);
PC_DECLARE_ERROR(ERegistryException, Exception);
PC_DECLARE_ERROR(EOleError, Exception);
PC_DECLARE_ERROR(EOleSysError, EOleError);
PC_DECLARE_ERROR(EOleException, EOleSysError);

#undef PC_DECLARE_ERROR

// Raised by nothing in the launcher; a report of it shows nothing.
class EAbort : public Exception {
public:
    EAbort() : Exception("") {}
};

// Carries the numeric I/O error code of the untyped output file besides its text.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int code) : Exception(std::move(message)), ErrorCode(code) {}
    int ErrorCode;
};

// The error box's rule: a period is added when the text's last byte lies above '.'.
std::string WithClosingPeriod(const std::string& text);

} // namespace pc
