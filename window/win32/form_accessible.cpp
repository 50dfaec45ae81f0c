#include "window/win32/form_accessible.h"

#include "window/win32/win32_window.h"

#include <string>

namespace pc {

namespace {

constexpr int kSelf = -1;
constexpr int kNoChild = -2;

HRESULT Text(const std::string& text, BSTR* out) {
    if (!out)
        return E_INVALIDARG;
    const std::wstring wide = win32::DisplayText(text);
    *out = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

void SetChild(VARIANT* out, long id) {
    ::VariantInit(out);
    out->vt = VT_I4;
    out->lVal = id;
}

} // namespace

TFormAccessible::TFormAccessible(HWND window, TForm_Main& model) : window_(window), model_(&model) {
    ::CreateStdAccessibleObject(window, OBJID_CLIENT, IID_IAccessible, standard_.PutVoid());
}

win32::ComPtr<TFormAccessible> TFormAccessible::Make(HWND window, TForm_Main& model) {
    win32::ComPtr<TFormAccessible> made;
    // A COM object ends itself when its last reference goes (Release), which this pointer holds first.
    *made.Put() = new TFormAccessible(window, model);
    return made;
}

void TFormAccessible::Detach() {
    model_ = nullptr;
    standard_.Reset();
}

void TFormAccessible::Notify(DWORD event, TFocusStop stop) {
    for (std::size_t i = 0; i < kFocusOrder.size(); ++i)
        if (kFocusOrder[i] == stop)
            ::NotifyWinEvent(event, window_, OBJID_CLIENT, static_cast<LONG>(i + 1));
}

int TFormAccessible::PartOf(const VARIANT& child) const {
    if (!model_ || child.vt != VT_I4)
        return kNoChild;
    if (child.lVal == CHILDID_SELF)
        return standard_ ? kSelf : kNoChild;
    if (child.lVal >= 1 && child.lVal <= static_cast<long>(kFocusOrder.size()))
        return static_cast<int>(child.lVal - 1);
    return kNoChild;
}

// ---- IUnknown and IDispatch ----

HRESULT TFormAccessible::QueryInterface(REFIID iid, void** object) {
    if (!object)
        return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IAccessible) {
        *object = static_cast<IAccessible*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG TFormAccessible::AddRef() {
    return ++references_;
}

ULONG TFormAccessible::Release() {
    const ULONG left = --references_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT TFormAccessible::GetTypeInfoCount(UINT* count) {
    if (count)
        *count = 0;
    return S_OK;
}
HRESULT TFormAccessible::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
    if (info)
        *info = nullptr;
    return E_NOTIMPL;
}
HRESULT TFormAccessible::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) {
    return E_NOTIMPL;
}
HRESULT TFormAccessible::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) {
    return E_NOTIMPL;
}

// ---- IAccessible ----

HRESULT TFormAccessible::get_accParent(IDispatch** parent) {
    if (!standard_)
        return E_FAIL;
    return standard_->get_accParent(parent);
}

HRESULT TFormAccessible::get_accChildCount(long* count) {
    if (!count)
        return E_POINTER;
    *count = model_ ? static_cast<long>(kFocusOrder.size()) : 0;
    return S_OK;
}

HRESULT TFormAccessible::get_accChild(VARIANT child, IDispatch** object) {
    if (!object)
        return E_POINTER;
    *object = nullptr;
    // The parts are simple elements of this object, answered by their child ids.
    return PartOf(child) >= 0 ? S_FALSE : E_INVALIDARG;
}

HRESULT TFormAccessible::get_accName(VARIANT child, BSTR* name) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->get_accName(child, name);
    if (part < 0)
        return E_INVALIDARG;
    return Text(model_->AccessibleItems()[static_cast<std::size_t>(part)].Name, name);
}

HRESULT TFormAccessible::get_accValue(VARIANT child, BSTR* value) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->get_accValue(child, value);
    if (value)
        *value = nullptr;
    return part < 0 ? E_INVALIDARG : DISP_E_MEMBERNOTFOUND;
}

HRESULT TFormAccessible::get_accDescription(VARIANT child, BSTR* description) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->get_accDescription(child, description);
    if (part < 0)
        return E_INVALIDARG;
    return Text(model_->AccessibleItems()[static_cast<std::size_t>(part)].Description, description);
}

HRESULT TFormAccessible::get_accRole(VARIANT child, VARIANT* role) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->get_accRole(child, role);
    if (part < 0 || !role)
        return E_INVALIDARG;
    const bool link = kFocusOrder[static_cast<std::size_t>(part)] == TFocusStop::ServerName ||
                      kFocusOrder[static_cast<std::size_t>(part)] == TFocusStop::News;
    SetChild(role, link ? ROLE_SYSTEM_LINK : ROLE_SYSTEM_PUSHBUTTON);
    return S_OK;
}

HRESULT TFormAccessible::get_accState(VARIANT child, VARIANT* state) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->get_accState(child, state);
    if (part < 0 || !state)
        return E_INVALIDARG;
    const TAccessibleItem item = model_->AccessibleItems()[static_cast<std::size_t>(part)];
    long bits = STATE_SYSTEM_FOCUSABLE;
    if (!item.Enabled)
        bits |= STATE_SYSTEM_UNAVAILABLE;
    if (model_->Focused() == item.Stop && ::GetFocus() == window_)
        bits |= STATE_SYSTEM_FOCUSED;
    SetChild(state, bits);
    return S_OK;
}

HRESULT TFormAccessible::get_accHelp(VARIANT child, BSTR* help) {
    if (PartOf(child) == kSelf)
        return standard_->get_accHelp(child, help);
    if (help)
        *help = nullptr;
    return PartOf(child) < 0 ? E_INVALIDARG : DISP_E_MEMBERNOTFOUND;
}

HRESULT TFormAccessible::get_accHelpTopic(BSTR* file, VARIANT child, long* topic) {
    if (PartOf(child) == kSelf)
        return standard_->get_accHelpTopic(file, child, topic);
    if (file)
        *file = nullptr;
    return PartOf(child) < 0 ? E_INVALIDARG : DISP_E_MEMBERNOTFOUND;
}

HRESULT TFormAccessible::get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) {
    if (PartOf(child) == kSelf)
        return standard_->get_accKeyboardShortcut(child, shortcut);
    if (shortcut)
        *shortcut = nullptr;
    return PartOf(child) < 0 ? E_INVALIDARG : DISP_E_MEMBERNOTFOUND;
}

HRESULT TFormAccessible::get_accFocus(VARIANT* child) {
    if (!child)
        return E_POINTER;
    if (!model_)
        return E_FAIL;
    if (::GetFocus() == window_ && model_->Focused()) {
        for (std::size_t i = 0; i < kFocusOrder.size(); ++i)
            if (kFocusOrder[i] == *model_->Focused())
                SetChild(child, static_cast<long>(i + 1));
        return S_OK;
    }
    return standard_ ? standard_->get_accFocus(child) : S_FALSE;
}

HRESULT TFormAccessible::get_accSelection(VARIANT* children) {
    if (!children)
        return E_POINTER;
    ::VariantInit(children); // nothing here is selected
    return S_FALSE;
}

HRESULT TFormAccessible::get_accDefaultAction(VARIANT child, BSTR* action) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->get_accDefaultAction(child, action);
    if (part < 0)
        return E_INVALIDARG;
    return Text("Press", action);
}

HRESULT TFormAccessible::accSelect(long flags, VARIANT child) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->accSelect(flags, child);
    if (part < 0)
        return E_INVALIDARG;
    if (!(flags & SELFLAG_TAKEFOCUS))
        return S_FALSE;
    ::SetFocus(window_);
    model_->FocusStop(kFocusOrder[static_cast<std::size_t>(part)]);
    return S_OK;
}

HRESULT TFormAccessible::accLocation(long* left, long* top, long* width, long* height, VARIANT child) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->accLocation(left, top, width, height, child);
    if (part < 0 || !left || !top || !width || !height)
        return E_INVALIDARG;
    const TRect box = model_->AccessibleItems()[static_cast<std::size_t>(part)].Bounds;
    POINT corner{box.Left, box.Top};
    ::ClientToScreen(window_, &corner);
    *left = corner.x;
    *top = corner.y;
    *width = box.Width;
    *height = box.Height;
    return S_OK;
}

HRESULT TFormAccessible::accNavigate(long direction, VARIANT start, VARIANT* end) {
    const int part = PartOf(start);
    if (!end || part == kNoChild)
        return E_INVALIDARG;
    const long count = static_cast<long>(kFocusOrder.size());
    long target = 0;
    if (part == kSelf) {
        if (direction == NAVDIR_FIRSTCHILD)
            target = 1;
        else if (direction == NAVDIR_LASTCHILD)
            target = count;
        else
            return standard_->accNavigate(direction, start, end);
    } else if (direction == NAVDIR_NEXT || direction == NAVDIR_DOWN || direction == NAVDIR_RIGHT) {
        target = part + 2;
    } else if (direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP || direction == NAVDIR_LEFT) {
        target = part;
    }
    ::VariantInit(end);
    if (target < 1 || target > count)
        return S_FALSE;
    SetChild(end, target);
    return S_OK;
}

HRESULT TFormAccessible::accHitTest(long x, long y, VARIANT* child) {
    if (!child)
        return E_POINTER;
    if (!model_)
        return E_FAIL;
    POINT point{x, y};
    ::ScreenToClient(window_, &point);
    const std::vector<TAccessibleItem> items = model_->AccessibleItems();
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].Bounds.Contains({point.x, point.y})) {
            SetChild(child, static_cast<long>(i + 1));
            return S_OK;
        }
    return standard_ ? standard_->accHitTest(x, y, child) : S_FALSE;
}

HRESULT TFormAccessible::accDoDefaultAction(VARIANT child) {
    const int part = PartOf(child);
    if (part == kSelf)
        return standard_->accDoDefaultAction(child);
    if (part < 0)
        return E_INVALIDARG;
    return ::PostMessageW(window_, kAccessiblePressMessage, static_cast<WPARAM>(part), 0) ? S_OK : E_FAIL;
}

HRESULT TFormAccessible::put_accName(VARIANT, BSTR) {
    return E_NOTIMPL;
}

HRESULT TFormAccessible::put_accValue(VARIANT, BSTR) {
    return E_NOTIMPL;
}

} // namespace pc
