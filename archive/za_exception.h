// The archive component's own error: a detailed (native) code selects one text of a fixed message table.
#pragma once

#include "framework/exceptions.h"

#include <cstdint>
#include <initializer_list>
#include <string>

namespace pc {

class TZABaseArchiver;

// One argument for the "%s" and "%d" places of a message text.
struct TZAFormatArg {
    TZAFormatArg(std::string text) : IsText(true), Text(std::move(text)) {}
    TZAFormatArg(const char* text) : IsText(true), Text(text) {}
    TZAFormatArg(std::int64_t number) : IsText(false), Number(number) {}
    TZAFormatArg(int number) : IsText(false), Number(number) {}
    bool IsText;
    std::string Text;
    std::int64_t Number = 0;
};

class EZAException : public Exception {
public:
    // The message text is used unchanged.
    explicit EZAException(std::int32_t nativeError, const TZABaseArchiver* component = nullptr);
    // The message text is formatted with the arguments first; surplus arguments are ignored.
    EZAException(std::int32_t nativeError, std::initializer_list<TZAFormatArg> args,
                 const TZABaseArchiver* component = nullptr);

    std::int32_t ErrorCode;   // message number, index into the message table
    std::int32_t NativeError; // the detailed code given where the error was raised
};

// Message number of a detailed code; 0 ("Unknown error") for a code the table does not list.
std::int32_t ZAMessageNumber(std::int32_t nativeError);
// Text of a message number, unformatted; empty outside the table.
const char* ZAMessageText(std::int32_t messageNumber);
// The full message as EZAException builds it.
std::string ZABuildMessage(std::int32_t nativeError, const std::string& componentName,
                           std::initializer_list<TZAFormatArg> args, bool format);

} // namespace pc
