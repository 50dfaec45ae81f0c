#include "window/win32/run_launcher.h"

#include "window/win32/application.h"
#include "window/win32/win32_form.h"

#include <objbase.h>

namespace pc {

namespace {

// COM for the process's window thread: the news view's control and the picture decoder need it.
class TComApartment {
public:
    TComApartment() : initialised_(SUCCEEDED(::CoInitialize(nullptr))) {}
    ~TComApartment() {
        if (initialised_)
            ::CoUninitialize();
    }
    TComApartment(const TComApartment&) = delete;
    TComApartment& operator=(const TComApartment&) = delete;

private:
    bool initialised_;
};

} // namespace

int RunLauncher(TLauncherCore core) {
    TComApartment com;
    TApplication application;
    TWin32Form form(std::move(core));
    RunMessageLoop(form.Handle());
    return 0;
}

} // namespace pc
