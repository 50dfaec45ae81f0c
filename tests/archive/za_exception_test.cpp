#include "archive/za_exception.h"
#include "archive/zip_archiver.h"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace pc {
namespace {

TEST(EZAExceptionTest, MessagesAreBuiltByteForByte) {
    TZipArchiver named;
    named.Name = "ZipArchiver";
    TZipArchiver unnamed;
    struct Case {
        std::int32_t code;
        const TZABaseArchiver* component;
        std::vector<TZAFormatArg> args;
        bool formatted;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {9,
         &named,
         {},
         false,
         "ZipArchiver: File name is blank. Specify appropriate file name - Native error: 00009"},
        {35, nullptr, {}, false, "Invalid archive file. - Native error: 00035"},
        {9, &unnamed, {}, false, "File name is blank. Specify appropriate file name - Native error: 00009"},
        {12,
         &named,
         {"C:\\Game\\p1.zip"},
         true,
         "ZipArchiver: File \"C:\\Game\\p1.zip\" not found - Native error: 00012"},
        {99, nullptr, {}, false, "Unknown error - Native error: 00099"},
        {123456, nullptr, {}, false, "Unknown error - Native error: 123456"},
        {-3, nullptr, {}, false, "Unknown error - Native error: 000-3"},
        {61, nullptr, {"x.bin"}, true, "File name is too long: \r\n\"x.bin\" - Native error: 00061"},
        {34,
         nullptr,
         {7, 9, "surplus"},
         true,
         "Invalid compressed size, rfs.size = 7, count = 9 - Native error: 00034"},
        {19,
         &named,
         {"/game/a b.dat"},
         true,
         "ZipArchiver: Cannot create file \"/game/a b.dat\" - Native error: 00019"},
        {20,
         &named,
         {"/game/sub/"},
         true,
         "ZipArchiver: Cannot create directory \"/game/sub/\" - Native error: 00020"},
        {28,
         &named,
         {"/x.zip"},
         true,
         "ZipArchiver: In-memory archive can be created only - Native error: 00028"},
        {55, nullptr, {}, false, "Deflate64 compression method is not supported - Native error: 00055"},
        {8,
         &named,
         {},
         false,
         "ZipArchiver: Invalid size or check sum of file or unsupported compression format - Native error: "
         "00008"},
        {26,
         &named,
         {},
         false,
         "ZipArchiver: Cannot proceed when update is not ended. Preceding EndUpdate call is required. - "
         "Native "
         "error: 00026"},
        // An unformatted text keeps its placeholder.
        {12, nullptr, {}, false, "File \"%s\" not found - Native error: 00012"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        std::string message;
        if (c.formatted) {
            // initializer_list cannot be built from a vector; rebuild the call per argument count.
            switch (c.args.size()) {
            case 1:
                message = EZAException(c.code, {c.args[0]}, c.component).Message();
                break;
            case 3:
                message = EZAException(c.code, {c.args[0], c.args[1], c.args[2]}, c.component).Message();
                break;
            default:
                FAIL() << "unexpected argument count";
            }
        } else {
            message = EZAException(c.code, c.component).Message();
        }
        EXPECT_EQ(message, c.expected);
    }
}

TEST(EZAExceptionTest, EveryDetailedCodeSelectsItsMessageNumber) {
    // Grouped by message number, as the table is published.
    const std::map<std::int32_t, std::vector<std::int32_t>> groups = {
        {0, {0}},
        {1, {1, 2, 3, 4, 7, 16, 21, 24}},
        {2, {5}},
        {3, {6}},
        {4, {8}},
        {5, {9, 10, 29}},
        {6, {11, 12, 15, 18, 30, 31, 38, 42, 53, 54}},
        {7, {13, 14}},
        {8, {17}},
        {9, {19, 23}},
        {10, {20}},
        {11, {22, 25}},
        {12, {33}},
        {13, {26}},
        {14, {27}},
        {15, {28}},
        {16, {32}},
        {17, {34}},
        {18, {35}},
        {19, {36}},
        {20, {37}},
        {21, {39}},
        {22, {40}},
        {23, {41, 43}},
        {24, {44, 45}},
        {25, {46}},
        {26, {47}},
        {27, {48, 57}},
        {28, {49}},
        {29, {50}},
        {30, {51}},
        {31, {52}},
        {32, {55}},
        {33, {56}},
        {34, {58, 59}},
        {35, {60}},
        {36, {61}},
        {37, {62}},
        {38, {63}},
    };
    int seen = 0;
    for (const auto& [number, codes] : groups) {
        for (std::int32_t code : codes) {
            EZAException e(code);
            EXPECT_EQ(e.ErrorCode, number) << "code " << code;
            EXPECT_EQ(e.NativeError, code);
            ++seen;
        }
    }
    EXPECT_EQ(seen, 64);
    EXPECT_EQ(EZAException(64).ErrorCode, 0);
}

TEST(EZAExceptionTest, IsCaughtAsTheProjectsException) {
    try {
        throw EZAException(40);
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Cannot find Zip64 directory end record - Native error: 00040");
        EXPECT_STREQ(e.what(), e.Message().c_str());
    }
}

} // namespace
} // namespace pc
