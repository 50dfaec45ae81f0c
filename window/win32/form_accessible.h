// The launcher's window as screen readers see it on Windows (MSAA): the window's client area answers
// WM_GETOBJECT with this object, whose simple children are the parts of the model's focus order, named and
// described as the model names them. The client area itself is the system's standard object. Presses
// arrive as a posted message, so that a screen reader's call never runs the launcher's work inside it.
#pragma once

#include "window/patch_client.h"
#include "window/win32/win32_window.h"

#include <windows.h>

#include <oleacc.h>

#include <atomic>

namespace pc {

// Posted to the window by a screen reader's press; wParam is the part's place in the focus order.
inline constexpr UINT kAccessiblePressMessage = WM_APP + 3;

class TFormAccessible final : public IAccessible {
public:
    // Made with one reference, which the window holds.
    static win32::ComPtr<TFormAccessible> Make(HWND window, TForm_Main& model);
    TFormAccessible(const TFormAccessible&) = delete;
    TFormAccessible& operator=(const TFormAccessible&) = delete;

    // The window is going: a screen reader that still holds the object gets errors from now on.
    void Detach();
    // Tell screen readers that the focus moved to this part, or that its state (available or not) changed.
    void FocusMoved(TFocusStop stop) { Notify(EVENT_OBJECT_FOCUS, stop); }
    void AvailabilityChanged(TFocusStop stop) { Notify(EVENT_OBJECT_STATECHANGE, stop); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IDispatch: screen readers call IAccessible directly
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override;
    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override;
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override;
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override;
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override;
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override;
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override;
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override;
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override;
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override;
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override;
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override;
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override;
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override;
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override;
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override;
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override;
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override;
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* child) override;
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override;
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override;
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override;

private:
    void Notify(DWORD event, TFocusStop stop);

    TFormAccessible(HWND window, TForm_Main& model);
    ~TFormAccessible() = default;
    // -1: the client area itself; 0 and up: a part; -2: no such child (or the window is gone).
    int PartOf(const VARIANT& child) const;

    std::atomic<ULONG> references_{1};
    HWND window_;
    TForm_Main* model_;
    win32::ComPtr<IAccessible> standard_; // the system's object of the client area
};

} // namespace pc
