#include "app/WindowAccessible.h"

#include <oleacc.h>

#include <atomic>
#include <string>

#include "app/AccessibleParts.h"
#include "app/MainWindow.h"
#include "app/Paint.h"

namespace {

// mingw's liboleacc resolves IID_IAccessible to its import thunk, so the IID is spelled out here.
constexpr IID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr wchar_t kObjectProperty[] = L"QirellAccessible";

std::wstring WindowText(HWND hwnd) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

RECT ToScreen(HWND hwnd, RECT r) {
    MapWindowPoints(hwnd, nullptr, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

AccessibleButton LookAtButton(HWND button, HWND focus) {
    AccessibleButton b;
    if (!button) return b;
    b.text = WindowText(button);
    b.enabled = IsWindowEnabled(button);
    b.focused = focus == button;
    b.isDefault = (GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
    GetWindowRect(button, &b.screen);
    return b;
}

AccessibleView LookAt(HWND hwnd) {
    AccessibleView v;
    const StatusSnapshot status = ReadStatus();
    v.title = WindowText(hwnd);
    v.headline = status.headline;
    v.detail = status.detail;
    v.progress = status.progress;
    const HWND focus = GetFocus();
    v.windowFocused = focus == hwnd;
    RECT rc;
    GetClientRect(hwnd, &rc);
    const ClientLayout at = LayoutClientArea(rc.right, rc.bottom);
    v.client = ToScreen(hwnd, rc);
    v.headlineRect = ToScreen(hwnd, at.headline);
    v.detailRect = ToScreen(hwnd, at.detail);
    v.trackRect = ToScreen(hwnd, at.track);
    v.setup = LookAtButton(GetDlgItem(hwnd, ID_SETUP_BUTTON), focus);
    v.main = LookAtButton(GetDlgItem(hwnd, ID_MAIN_BUTTON), focus);
    return v;
}

HRESULT Text(const std::wstring& text, BSTR* out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (text.empty()) return S_FALSE;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ChildId(long child, VARIANT* out) {
    VariantInit(out);
    if (child < 0) return S_FALSE;
    out->vt = VT_I4;
    out->lVal = child;
    return S_OK;
}

HWND ButtonOf(HWND hwnd, long child) {
    if (child == kAccSetupButton) return GetDlgItem(hwnd, ID_SETUP_BUTTON);
    if (child == kAccMainButton) return GetDlgItem(hwnd, ID_MAIN_BUTTON);
    return nullptr;
}

// IAccessible for the client area. The interface is all it adds: every answer comes from LookAt and
// the plain functions of AccessibleParts. Lives on the window's thread; `window` is null once the
// window is gone, and then every call fails as a disconnected object's would.
struct WindowAccessible final : IAccessible {
    std::atomic<ULONG> refs{1};
    HWND window;

    explicit WindowAccessible(HWND hwnd) : window(hwnd) {}

    HRESULT Part(const VARIANT& child, AccessiblePart& part) {
        if (!window) return RPC_E_DISCONNECTED;
        if (child.vt != VT_I4) return E_INVALIDARG;
        part = DescribeChild(LookAt(window), child.lVal);
        return part.exists ? S_OK : E_INVALIDARG;
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != IID_IUnknown && riid != IID_IDispatch && riid != kIidAccessible) return E_NOINTERFACE;
        *out = static_cast<IAccessible*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }

    // IDispatch: no type information; clients call the vtable.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count) *count = 0;
        return count ? S_OK : E_POINTER;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (!parent) return E_POINTER;
        *parent = nullptr;
        if (!window) return RPC_E_DISCONNECTED;
        return AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_WINDOW), IID_IDispatch,
                                          reinterpret_cast<void**>(parent));
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
        if (!count) return E_POINTER;
        if (!window) return RPC_E_DISCONNECTED;
        *count = kAccChildCount;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        return FAILED(hr) ? hr : S_FALSE;  // every child is a simple element
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (FAILED(hr)) return out ? (*out = nullptr, hr) : E_POINTER;
        return Text(part.name, out);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (FAILED(hr)) return out ? (*out = nullptr, hr) : E_POINTER;
        return Text(part.value, out);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override { return Nothing(child, out); }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
        return Number(child, out, &AccessiblePart::role);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
        return Number(child, out, &AccessiblePart::state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* out) override { return Nothing(child, out); }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override {
        if (topic) *topic = 0;
        return Nothing(child, file);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* out) override { return Nothing(child, out); }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        if (!window) return RPC_E_DISCONNECTED;
        const AccessibleView v = LookAt(window);
        if (v.setup.focused) return ChildId(kAccSetupButton, out);
        if (v.main.focused) return ChildId(kAccMainButton, out);
        return ChildId(v.windowFocused ? kAccSelf : -1, out);
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        return window ? S_FALSE : RPC_E_DISCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* out) override {
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (FAILED(hr)) return out ? (*out = nullptr, hr) : E_POINTER;
        return Text(part.defaultAction, out);
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (FAILED(hr)) return hr;
        HWND button = ButtonOf(window, child.lVal);
        if (!button || flags != SELFLAG_TAKEFOCUS) return DISP_E_MEMBERNOTFOUND;
        SetFocus(button);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* x, long* y, long* w, long* h, VARIANT child) override {
        if (!x || !y || !w || !h) return E_POINTER;
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (FAILED(hr)) return hr;
        *x = part.screen.left;
        *y = part.screen.top;
        *w = part.screen.right - part.screen.left;
        *h = part.screen.bottom - part.screen.top;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        AccessiblePart part;
        const HRESULT hr = Part(start, part);
        if (FAILED(hr)) return hr;
        const long to = NavigateChild(start.lVal, direction);
        return to ? ChildId(to, out) : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* out) override {
        if (!out) return E_POINTER;
        VariantInit(out);
        if (!window) return RPC_E_DISCONNECTED;
        return ChildId(ChildAt(LookAt(window), POINT{x, y}), out);
    }
    // Posted, not done here: the caller may be another process waiting on this call, and the press
    // may open a message box.
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (FAILED(hr)) return hr;
        HWND button = ButtonOf(window, child.lVal);
        if (!button) return DISP_E_MEMBERNOTFOUND;
        return PressButton(button) ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

    HRESULT Number(const VARIANT& child, VARIANT* out, long AccessiblePart::*field) {
        if (!out) return E_POINTER;
        VariantInit(out);
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (FAILED(hr)) return hr;
        out->vt = VT_I4;
        out->lVal = part.*field;
        return S_OK;
    }

    HRESULT Nothing(const VARIANT& child, BSTR* out) {
        AccessiblePart part;
        const HRESULT hr = Part(child, part);
        if (!out) return E_POINTER;
        *out = nullptr;
        return FAILED(hr) ? hr : S_FALSE;
    }
};

WindowAccessible* ObjectOf(HWND hwnd) { return static_cast<WindowAccessible*>(GetPropW(hwnd, kObjectProperty)); }

}  // namespace

LRESULT AnswerGetObject(HWND hwnd, WPARAM wParam, LPARAM lParam) {
    if (static_cast<LONG>(static_cast<DWORD>(lParam)) != OBJID_CLIENT)
        return DefWindowProcW(hwnd, WM_GETOBJECT, wParam, lParam);
    WindowAccessible* object = ObjectOf(hwnd);
    if (!object) {
        // Marshalling the object to another process needs COM on the window's thread.
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        object = new WindowAccessible(hwnd);
        if (!SetPropW(hwnd, kObjectProperty, object)) {
            object->Release();
            return DefWindowProcW(hwnd, WM_GETOBJECT, wParam, lParam);
        }
    }
    return LresultFromObject(kIidAccessible, wParam, static_cast<IAccessible*>(object));
}

void DisconnectAccessible(HWND hwnd) {
    WindowAccessible* object = ObjectOf(hwnd);
    if (!object) return;
    RemovePropW(hwnd, kObjectProperty);
    object->window = nullptr;
    CoDisconnectObject(static_cast<IAccessible*>(object), 0);
    object->Release();
}

void AnnounceStatus(HWND hwnd, const StatusSnapshot& before, const StatusSnapshot& after) {
    for (const AccessibleEvent& e : StatusEvents(before, after)) NotifyWinEvent(e.event, hwnd, OBJID_CLIENT, e.child);
}

void AnnounceButton(HWND hwnd, long child) {
    NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, hwnd, OBJID_CLIENT, child);
    NotifyWinEvent(EVENT_OBJECT_STATECHANGE, hwnd, OBJID_CLIENT, child);
}
