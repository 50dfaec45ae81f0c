// The error model: every failure the program raises is an Exception carrying one message text.
#pragma once

#include <cstdint>
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

// Ends an update run silently: the player answered Abort, and the report of it shows nothing.
class EAbort : public Exception {
public:
    EAbort() : Exception("") {}
};

// Carries the numeric I/O error code of the untyped output file besides its text, and the file or
// folder it concerns where one is known (empty otherwise); the text itself stays the table's.
class EInOutError : public Exception {
public:
    EInOutError(std::string message, int code, std::string path = {})
        : Exception(std::move(message)), ErrorCode(code), Path(std::move(path)) {}
    int ErrorCode;
    std::string Path;
};

// The error box's rule: a period is added when the text's last byte lies above '.'.
std::string WithClosingPeriod(const std::string& text);
// What an error box and a command's message show: the text by the rule above and, for a denied access,
// the file or folder concerned in brackets ("File access denied. [/games/realm/tqm_patch.ini]"), which
// the player needs to set right.
std::string ErrorReportText(const std::exception& error);

// Texts of the window-side errors, so that every place raises them alike.
inline constexpr const char* kNoTimersText = "Not enough timers available"; // EOutOfResources
// EInvalidOperation for a property set out of its range, e.g. "TProgressBar property out of range".
std::string PropertyOutOfRangeText(const std::string& className);

// The news view's rejection with a description: the description without its trailing control bytes,
// blanks and periods.
EOleException MakeOleException(const std::string& description);
// The rejection without a description: the system's text for the code, trimmed the same way, or
// "OLE error %.8x" with the code when there is no text or it does not fit in 255 bytes.
EOleSysError MakeOleSysError(std::uint32_t code, const std::string& systemText);

} // namespace pc
