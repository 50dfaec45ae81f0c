// The Win32 window's pieces on their own: the built-in pictures as WIC and the bitmap reader decode them,
// and the notice dialog and archive questions answered the way a player would. The news fallback's text is
// read by the window model's tests, in both editions.
#include "framework/exceptions.h"
#include "window/win32/application.h"
#include "window/win32/dialog_provider.h"
#include "window/win32/message_form.h"
#include "window/win32/news_view.h"
#include "window/win32/pictures.h"
#include "window/win32/win32_form.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <oleacc.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

namespace pc::test {
namespace {

class Win32Pieces : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(::CoInitialize(nullptr)));
        application_ = std::make_unique<TApplication>();
    }
    void TearDown() override {
        application_.reset();
        ::CoUninitialize();
    }

private:
    std::unique_ptr<TApplication> application_;
};

// ---- Pictures ----

TEST_F(Win32Pieces, EveryBuiltInPictureDecodesAtItsLayoutSize) {
    const struct {
        const char* asset;
        int width, height;
    } cases[] = {{"background.bmp", 564, 408}, {"back.bmp", 261, 199},
                 {"start.jpg", 21, 21},        {"start_over.jpg", 21, 21},
                 {"website.jpg", 21, 21},      {"website_over.jpg", 21, 21},
                 {"controlpanel.jpg", 21, 21}, {"controlpanel_over.jpg", 21, 21},
                 {"forum.jpg", 21, 21},        {"forum_over.jpg", 21, 21},
                 {"exit.jpg", 21, 21},         {"exit_over.jpg", 21, 21}};
    for (const auto& c : cases) {
        const TPixels pixels = LoadPicture(std::string(":/assets/") + c.asset);
        EXPECT_EQ(pixels.Width, c.width) << c.asset;
        EXPECT_EQ(pixels.Height, c.height) << c.asset;
    }
}

TEST_F(Win32Pieces, TheBackgroundIsReadTopDownWithItsKeyColouredBottomRows) {
    const TPixels background = LoadPicture("background.bmp");
    // The artwork ends at y 391: everything below is the key colour; the top row has artwork in it.
    for (int y = 392; y < 408; ++y)
        for (int x = 0; x < 564; ++x)
            ASSERT_EQ(background.At(x, y), 0x00FF00FFu) << x << "," << y;
    int artwork = 0;
    for (int x = 0; x < 564; ++x)
        artwork += background.At(x, 0) != 0x00FF00FFu;
    EXPECT_GT(artwork, 0);
    EXPECT_EQ(background.At(0, 0), 0x00FF00FFu) << "the outline touches every edge";
}

TEST_F(Win32Pieces, WicDecodesEveryFaceAsImageMagickDoes) {
    for (const char* face : {"start", "start_over", "website", "website_over", "controlpanel",
                             "controlpanel_over", "forum", "forum_over", "exit", "exit_over"}) {
        const TPixels pixels = LoadPicture(std::string(face) + ".jpg");
        std::ifstream in(std::string(PATCH_PEER_DIR) + "/" + face + ".rgb", std::ios::binary);
        ASSERT_TRUE(in) << face;
        std::stringstream bytes;
        bytes << in.rdbuf();
        const std::string peer = bytes.str();
        ASSERT_EQ(peer.size(), 21u * 21u * 3u) << face;
        int worst = 0;
        for (int i = 0; i < 21 * 21; ++i) {
            const std::uint32_t p = pixels.Data[static_cast<std::size_t>(i)];
            const int ours[3] = {static_cast<int>(p >> 16 & 0xFF), static_cast<int>(p >> 8 & 0xFF),
                                 static_cast<int>(p & 0xFF)};
            for (int k = 0; k < 3; ++k)
                worst = std::max(worst, std::abs(ours[k] - static_cast<unsigned char>(peer[i * 3 + k])));
        }
        // Two IDCT implementations may differ by a few levels; a wrong picture or channel order by far more.
        EXPECT_LE(worst, 6) << face;
    }
}

TEST_F(Win32Pieces, DamagedPicturesAreRefusedWithAnError) {
    EXPECT_THROW(DecodeJpeg(std::string("\xFF\xD8\xFF\xE0 not a jpeg", 15)), Exception);
    EXPECT_THROW(DecodeBmp("BM too short"), Exception);
    EXPECT_THROW(LoadPicture("missing.jpg"), Exception);
}

// ---- The news view's answers to the browser control ----

// The control itself cannot run under Wine (no HTML engine); what it would be told can.
TEST(Win32NewsView, EachAnnouncementGoesWhereTheLinkRulesSendIt) {
    constexpr auto kInside = TNewsTarget::Inside, kBrowser = TNewsTarget::Browser,
                   kRefused = TNewsTarget::Refused;
    constexpr auto kOwn = TNewsRequest::Own, kPage = TNewsRequest::Page, kFrame = TNewsRequest::Frame,
                   kWindow = TNewsRequest::Window;
    const char* web = "http://news.realm.example/n.html";
    const char* local = "file:///C:/Games/Realm/news.html";
    const struct {
        const char* news;
        TNewsRequest request;
        const char* target;
        TNewsTarget expected;
    } cases[] = {
        {web, kOwn, web, kInside},
        {web, kPage, "http://news.realm.example/old.html", kInside},
        {web, kPage, "https://forum.realm.example/", kBrowser},
        {web, kPage, "file:///C:/Windows/win.ini", kRefused},
        {web, kPage, "C:\\Windows\\win.ini", kRefused},
        {web, kPage, "\\\\server\\share\\page.html", kRefused},
        {local, kPage, "file:///C:/Games/Realm/old.html", kInside},
        {web, kFrame, "https://video.example/embed/1", kInside},
        {web, kFrame, "file:///C:/Windows/win.ini", kRefused},
        {web, kFrame, "about:blank", kInside},
        {web, kWindow, "http://news.realm.example/old.html", kBrowser},
        {local, kWindow, "file:///C:/Games/Realm/old.html", kRefused},
        {web, kWindow, "about:blank", kRefused},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NewsRequestTarget(c.news, c.request, c.target), c.expected)
            << c.news << " -> " << c.target << " (" << static_cast<int>(c.request) << ")";
}

// ---- Dialogs, answered by posted keys and clicks ----

// Runs `act` on the first top-level window of `cls` once it is up, from a timer of the thread's own, as
// a player's key press would arrive while the dialog's loop runs.
class DialogDriver {
public:
    DialogDriver(const wchar_t* cls, std::function<void(HWND)> act) : cls_(cls), act_(std::move(act)) {
        current_ = this;
        timer_ = ::SetTimer(nullptr, 0, 30, &DialogDriver::Tick);
    }
    ~DialogDriver() {
        ::KillTimer(nullptr, timer_);
        current_ = nullptr;
    }
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;
    std::wstring Caption, Text;

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
        DialogDriver* self = current_;
        if (!self || self->done_)
            return;
        HWND dialog = ::FindWindowW(self->cls_, nullptr);
        if (!dialog || !::IsWindowVisible(dialog))
            return;
        self->done_ = true;
        wchar_t buffer[512] = {};
        ::GetWindowTextW(dialog, buffer, 512);
        self->Caption = buffer;
        if (HWND text = ::GetDlgItem(dialog, 100)) {
            ::GetWindowTextW(text, buffer, 512);
            self->Text = buffer;
        }
        self->act_(dialog);
    }

    static inline DialogDriver* current_ = nullptr;
    const wchar_t* cls_;
    std::function<void(HWND)> act_;
    UINT_PTR timer_ = 0;
    bool done_ = false;
};

void PressKey(HWND dialog, WPARAM key) {
    HWND focus = ::GetDlgItem(dialog, 1000);
    ::PostMessageW(focus ? focus : dialog, WM_KEYDOWN, key, 0);
}

// The button whose caption, without '&', is `caption`.
HWND ButtonCaptioned(HWND dialog, const std::wstring& caption) {
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t buffer[64] = {};
        ::GetWindowTextW(child, buffer, 64);
        std::wstring text = buffer;
        std::erase(text, L'&');
        if (text == caption)
            return child;
    }
    return nullptr;
}

TEST_F(Win32Pieces, TheFailureQuestionGivesTheAnswerOfWhatThePlayerDid) {
    const struct {
        const char* name;
        std::function<void(HWND)> act;
        TZADialogAnswer answer;
    } cases[] = {
        {"Enter presses the default Abort", [](HWND d) { PressKey(d, VK_RETURN); }, daAbort},
        {"Esc closes", [](HWND d) { PressKey(d, VK_ESCAPE); }, daClosed},
        {"closing the window", [](HWND d) { ::PostMessageW(d, WM_CLOSE, 0, 0); }, daClosed},
        {"Retry", [](HWND d) { ::PostMessageW(ButtonCaptioned(d, L"Retry"), BM_CLICK, 0, 0); }, daRetry},
        {"Ignore", [](HWND d) { ::PostMessageW(ButtonCaptioned(d, L"Ignore"), BM_CLICK, 0, 0); }, daIgnore},
    };
    for (const auto& c : cases) {
        DialogDriver driver(L"TMessageForm", c.act);
        TWin32DialogProvider dialogs;
        EXPECT_EQ(dialogs.ShowFailureDialog("Cannot create file \"C:\\x\"", fbAbortRetryIgnore), c.answer)
            << c.name;
        EXPECT_EQ(driver.Caption, L"Confirm") << c.name;
        EXPECT_EQ(driver.Text, L"Cannot create file \"C:\\x\"") << c.name;
    }
}

TEST_F(Win32Pieces, TheOverwriteQuestionHasItsFourAnswers) {
    for (const auto& [caption, answer] : std::vector<std::pair<std::wstring, TZADialogAnswer>>{
             {L"Yes", daYes}, {L"No", daNo}, {L"No to All", daNoToAll}, {L"Yes to All", daYesToAll}}) {
        DialogDriver driver(L"TMessageForm",
                            [&](HWND d) { ::PostMessageW(ButtonCaptioned(d, caption), BM_CLICK, 0, 0); });
        TWin32DialogProvider dialogs;
        EXPECT_EQ(dialogs.ShowOverwriteDialog("Overwrite file \"a\" with \"b\""), answer);
    }
}

TEST_F(Win32Pieces, ThePasswordInputReturnsWhatWasTypedOrNothing) {
    {
        DialogDriver driver(L"TInputQueryForm", [](HWND d) {
            ::SetWindowTextW(::GetDlgItem(d, 101), L"s\u00e9cret");
            ::PostMessageW(::GetDlgItem(d, IDOK), BM_CLICK, 0, 0);
        });
        TWin32DialogProvider dialogs;
        EXPECT_EQ(dialogs.ShowPasswordDialog("Password for \"a.txt\"", "Enter password: ", "old"),
                  std::optional<std::string>("s\xC3\xA9"
                                             "cret"));
        EXPECT_EQ(driver.Caption, L"Password for \"a.txt\"");
    }
    {
        DialogDriver driver(L"TInputQueryForm", [](HWND d) { ::PostMessageW(d, WM_CLOSE, 0, 0); });
        TWin32DialogProvider dialogs;
        EXPECT_EQ(dialogs.ShowPasswordDialog("Password", "Enter password: ", ""), std::nullopt);
    }
}

TEST_F(Win32Pieces, TheNoticeCarriesTheTitleAndCopiesItsBlock) {
    SetApplicationTitle("Test Realm");
    DialogDriver driver(L"TMessageForm", [](HWND d) {
        // Ctrl+C while the notice is up, then Esc.
        ::PostMessageW(d, WM_KEYDOWN, 'C', 0);
        PressKey(d, VK_ESCAPE);
    });
    TMessageForm form(L"Essential file missing: Config.ini", L"Test Realm");
    EXPECT_EQ(form.ClipboardText(),
              L"---------------------------\r\nTest Realm\r\n---------------------------\r\n"
              L"Essential file missing: Config.ini\r\n---------------------------\r\n"
              L"OK   \r\n---------------------------\r\n");
    EXPECT_EQ(form.ShowModal(), IDOK);
    EXPECT_EQ(driver.Caption, L"Test Realm");
}

TEST_F(Win32Pieces, AQuitTakenInsideTheNoticeEndsItAndMarksTheEnd) {
    DialogDriver driver(L"TMessageForm", [](HWND) { TerminateApplication(); });
    EXPECT_FALSE(ApplicationTerminated());
    TMessageForm form(L"text", L"caption");
    form.ShowModal();
    EXPECT_TRUE(ApplicationTerminated());
}

// ---- Screen readers ----

// What MSAA gives a screen reader of the window: one child per part in the Tab order, named and described
// as the model names them, and a press that runs the part's action.
TEST_F(Win32Pieces, ScreenReadersReadEachPartAndPressIt) {
    std::vector<std::string> links;
    TLauncherCore core;
    core.FormCreate = [](UiPort& ui) { ui.SetServerLabel(" Realm "); };
    core.Values = [] {
        return TLauncherValues{"Realm", "", "http://127.0.0.1:1/site", "", "", "http://127.0.0.1:1/news"};
    };
    core.OpenLink = [&](UiPort&, const std::string& url) { links.push_back(url); };
    TWin32Form form(core, TFormOptions{false});

    win32::ComPtr<IAccessible> client;
    ASSERT_EQ(::AccessibleObjectFromWindow(form.Handle(), static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                           client.PutVoid()),
              S_OK);
    long count = 0;
    ASSERT_EQ(client->get_accChildCount(&count), S_OK);
    ASSERT_EQ(count, 7);
    const std::vector<std::pair<std::wstring, long>> expected = {
        {L"Start Realm", ROLE_SYSTEM_PUSHBUTTON},
        {L"Realm Website", ROLE_SYSTEM_PUSHBUTTON},
        {L"Realm Control Panel", ROLE_SYSTEM_PUSHBUTTON},
        {L"Realm Forum", ROLE_SYSTEM_PUSHBUTTON},
        {L"Exit", ROLE_SYSTEM_PUSHBUTTON},
        {L"Realm", ROLE_SYSTEM_LINK},
        {L"News", ROLE_SYSTEM_LINK}};
    for (long id = 1; id <= count; ++id) {
        VARIANT child;
        ::VariantInit(&child);
        child.vt = VT_I4;
        child.lVal = id;
        BSTR name = nullptr;
        BSTR description = nullptr;
        ASSERT_EQ(client->get_accName(child, &name), S_OK);
        ASSERT_EQ(client->get_accDescription(child, &description), S_OK);
        VARIANT role;
        ASSERT_EQ(client->get_accRole(child, &role), S_OK);
        EXPECT_EQ(std::wstring(name), expected[static_cast<std::size_t>(id - 1)].first);
        EXPECT_GT(::SysStringLen(description), 0u) << id;
        EXPECT_EQ(role.lVal, expected[static_cast<std::size_t>(id - 1)].second);
        ::SysFreeString(name);
        ::SysFreeString(description);
    }
    VARIANT news;
    ::VariantInit(&news);
    news.vt = VT_I4;
    news.lVal = 7;
    ASSERT_EQ(client->accDoDefaultAction(news), S_OK);
    PumpMessages(); // the press arrives as a message, outside the screen reader's call
    EXPECT_EQ(links, std::vector<std::string>{"http://127.0.0.1:1/news"});
}

} // namespace
} // namespace pc::test
