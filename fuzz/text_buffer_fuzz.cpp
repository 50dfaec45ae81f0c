// The hidden text buffer's operations, driven by the input as a script, against the plain model.
#include "fuzz/byte_reader.h"
#include "fuzz/fuzz_target.h"
#include "fuzz/memo_model.h"

#include "framework/text_buffer.h"

namespace pc::fuzz {
namespace {

void Compare(const TMemo& memo, const MemoModel& model) {
    FUZZ_CHECK(memo.Text() == model.text);
    FUZZ_CHECK(memo.Text().find('\0') == std::string::npos);
    FUZZ_CHECK(memo.SelectionStart() == model.Start());
    FUZZ_CHECK(memo.SelectionLength() == model.Length());
    FUZZ_CHECK(memo.SelectedText() == model.Selected());
}

int Run(const std::uint8_t* data, std::size_t size) {
    ByteReader in(data, size);
    TMemo memo;
    MemoModel model;
    for (int step = 0; step < 64 && !in.Empty(); ++step) {
        switch (in.Byte() % 8) {
        case 0: {
            const std::string s = in.String();
            memo.SetText(s);
            model.SetText(s);
            break;
        }
        case 1: {
            const std::string s = in.String();
            memo.LoadTextBytes(s);
            model.LoadBytes(s);
            break;
        }
        case 2: { // positions near the text, where the interesting cases are
            const long p = static_cast<signed char>(in.Byte());
            memo.SetSelectionStart(p);
            model.SetSelectionStart(p);
            break;
        }
        case 3: {
            const long count = static_cast<signed char>(in.Byte());
            memo.SetSelectionLength(count);
            model.SetSelectionLength(count);
            break;
        }
        case 4: { // any count a caller could pass
            const long count = in.Value<long>();
            memo.SetSelectionLength(count);
            model.SetSelectionLength(count);
            break;
        }
        case 5: {
            const long p = in.Value<long>();
            memo.SetSelectionStart(p);
            model.SetSelectionStart(p);
            break;
        }
        case 6: {
            const std::string s = in.String();
            memo.ReplaceSelection(s);
            model.Replace(s);
            break;
        }
        case 7: // the same text again keeps the selection
            memo.SetText(memo.Text());
            model.SetText(model.text);
            break;
        }
        Compare(memo, model);
    }
    return 0;
}

} // namespace
} // namespace pc::fuzz

PATCH_FUZZ_TARGET(text_buffer, pc::fuzz::Run)
