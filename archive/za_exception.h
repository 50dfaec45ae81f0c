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

// The detailed (native) codes that the component raises, by what went wrong. The numbers are the ones the
// message table and every report ("- Native error: 00035") carry, so they never change.
enum TZANativeError : std::int32_t {
    nePutIndexOutOfBounds = 1,    // storing an entry outside the directory
    neGetIndexOutOfBounds = 2,    // copying an entry from outside the directory
    neItemIndexOutOfBounds = 3,   // direct access outside the directory
    neDeleteIndexOutOfBounds = 4, // deleting an entry outside the directory
    neBadCompressionMode = 5,     // a compression mode outside 0..9
    neBadEntryData = 8,           // data that cannot be decoded or fails its size or CRC-32 test
    neBlankFileName = 9,          // Open with an empty file-name part
    neBlankFileNameInMode = 10,   // OpenInMode with an empty file-name part
    neArchiveFileNotFound = 12,   // an existing-file mode, and no such file
    neArchiveNotOpen = 13,        // extraction while no archive is open
    neEntryIndexOutOfBounds = 16, // extraction of an index outside the directory
    neCannotCreateFile = 19,      // the output file cannot be created or put in place
    neCannotCreateDirectory = 20, // the output directory cannot be created
    neInMemoryOnly = 28,          // an existing-file mode while the archive lives in memory
    neInvalidArchive = 35,        // neither an end record nor a local header anywhere
    neZip64EndRecordMissing = 40, // a Zip64 locator pointing where no Zip64 end record is
    neMultiVolume = 44,           // a directory that belongs to a volume set
    neVolumeCancelled = 45,       // opening or reading a volume was cancelled
    neNoEndRecord = 48,           // no end record and no tolerant opening
    neDeflate64 = 55,             // compression method 9
    neSizesExceedFile = 57,       // compressed sizes that add up to more than the file
    neNameIndexOverrun = 58,      // storing beyond the name index's end
    neDuplicateName = 59,         // a name the index already holds at another position
    neAddingCancelled = 61,       // adding files was cancelled
    neUnsafeName = 63,            // a stored name that would leave the base directory
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
