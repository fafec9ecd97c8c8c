// Reads the patcher's window as a screen reader does, from another process, and writes what it found
// to a UTF-8 file, one line each:
//   access-client tree HWND OUT            the client object and its children (HWND: hex or "find")
//   access-client watch OUT SECONDS        WinEvents of every "QirellPatcherWnd" window until the first
//                                          one seen is gone (or SECONDS pass); "hooked" comes first
//   access-client hold HWND OUT SECONDS    takes the object, waits until the window is gone, calls again
//   access-client press HWND CHILD OUT     the child's default action
// Exit code 0 when the object could be had, 2 when not, 1 for a bad command line.
#include <windows.h>
#include <oleacc.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr IID kIidAccessible = {0x618736e0, 0x3c3d, 0x11cf, {0x81, 0x0c, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr wchar_t kPatcherClass[] = L"QirellPatcherWnd";

FILE* gOut = nullptr;

std::string Utf8(const std::wstring& w) {
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

void Line(const std::string& text) {
    fputs((text + "\n").c_str(), gOut);
    fflush(gOut);
}

std::string Hex(long value) {
    char b[16];
    snprintf(b, sizeof b, "%08lx", static_cast<unsigned long>(value));
    return b;
}

VARIANT Child(long id) {
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = id;
    return v;
}

std::string Take(HRESULT hr, BSTR text) {
    std::string s = FAILED(hr) ? "<" + Hex(hr) + ">" : text ? Utf8(text) : "";
    SysFreeString(text);
    return s;
}

std::string Name(IAccessible* a, long child) {
    BSTR b = nullptr;
    const HRESULT hr = a->get_accName(Child(child), &b);
    return Take(hr, b);
}

std::string Value(IAccessible* a, long child) {
    BSTR b = nullptr;
    const HRESULT hr = a->get_accValue(Child(child), &b);
    return Take(hr, b);
}

std::string Describe(IAccessible* a, long child) {
    VARIANT role, state;
    VariantInit(&role);
    VariantInit(&state);
    a->get_accRole(Child(child), &role);
    a->get_accState(Child(child), &state);
    BSTR action = nullptr;
    const HRESULT hr = a->get_accDefaultAction(Child(child), &action);
    return "child=" + std::to_string(child) + " role=" + std::to_string(role.vt == VT_I4 ? role.lVal : -1) +
           " state=" + Hex(state.vt == VT_I4 ? state.lVal : 0) + " name=" + Name(a, child) +
           " value=" + Value(a, child) + " action=" + Take(hr, action);
}

IAccessible* ObjectOf(HWND hwnd) {
    IAccessible* a = nullptr;
    const HRESULT hr =
        AccessibleObjectFromWindow(hwnd, static_cast<DWORD>(OBJID_CLIENT), kIidAccessible, reinterpret_cast<void**>(&a));
    if (FAILED(hr) || !a) {
        Line("object " + Hex(hr));
        return nullptr;
    }
    return a;
}

int Tree(HWND hwnd) {
    IAccessible* a = ObjectOf(hwnd);
    if (!a) return 2;
    long count = -1;
    a->get_accChildCount(&count);
    Line("count=" + std::to_string(count));
    std::vector<VARIANT> kids(static_cast<size_t>(count > 0 ? count : 1));
    LONG got = 0;
    const HRESULT hr = AccessibleChildren(a, 0, count > 0 ? count : 1, kids.data(), &got);
    std::string listed = "children " + Hex(hr) + ":";
    for (LONG i = 0; i < got; ++i) {
        listed += kids[static_cast<size_t>(i)].vt == VT_I4 ? " " + std::to_string(kids[static_cast<size_t>(i)].lVal)
                                                           : " vt" + std::to_string(kids[static_cast<size_t>(i)].vt);
        VariantClear(&kids[static_cast<size_t>(i)]);
    }
    Line(listed);
    for (long child = 0; child <= count; ++child) Line(Describe(a, child));
    VARIANT focus;
    VariantInit(&focus);
    a->get_accFocus(&focus);
    Line("focus=" + (focus.vt == VT_I4 ? std::to_string(focus.lVal) : "none"));
    a->Release();
    return 0;
}

HWND gFirst = nullptr;
DWORD gStart = 0;

std::string EventName(DWORD event) {
    switch (event) {
    case EVENT_OBJECT_CREATE: return "CREATE";
    case EVENT_OBJECT_DESTROY: return "DESTROY";
    case EVENT_OBJECT_SHOW: return "SHOW";
    case EVENT_OBJECT_HIDE: return "HIDE";
    case EVENT_OBJECT_FOCUS: return "FOCUS";
    case EVENT_OBJECT_STATECHANGE: return "STATECHANGE";
    case EVENT_OBJECT_LOCATIONCHANGE: return "LOCATIONCHANGE";
    case EVENT_OBJECT_NAMECHANGE: return "NAMECHANGE";
    case EVENT_OBJECT_VALUECHANGE: return "VALUECHANGE";
    case EVENT_OBJECT_REORDER: return "REORDER";
    case EVENT_SYSTEM_FOREGROUND: return "FOREGROUND";
    default: return Hex(static_cast<long>(event));
    }
}

struct SeenEvent {
    DWORD at, event;
    HWND hwnd;
    LONG object, child;
};
std::vector<SeenEvent> gSeen;

// Only noted here: reading the object calls into the patcher, and other events arrive meanwhile.
void CALLBACK OnEvent(HWINEVENTHOOK, DWORD event, HWND hwnd, LONG object, LONG child, DWORD, DWORD) {
    if (!hwnd) return;
    wchar_t cls[64] = {};
    GetClassNameW(GetAncestor(hwnd, GA_ROOT), cls, 64);
    if (std::wstring(cls) != kPatcherClass) return;
    if (!gFirst) gFirst = GetAncestor(hwnd, GA_ROOT);
    gSeen.push_back({GetTickCount() - gStart, event, hwnd, object, child});
}

// One line per event, with what a screen reader would read when it handles it.
void Report(const SeenEvent& e) {
    std::string line = std::to_string(e.at) + " " + EventName(e.event) +
                       (GetAncestor(e.hwnd, GA_ROOT) == e.hwnd ? " window" : " control") +
                       " object=" + std::to_string(e.object) + " child=" + std::to_string(e.child);
    const bool told = e.event == EVENT_OBJECT_NAMECHANGE || e.event == EVENT_OBJECT_VALUECHANGE ||
                      e.event == EVENT_OBJECT_STATECHANGE;
    IAccessible* a = nullptr;
    VARIANT c;
    VariantInit(&c);
    if (e.object == OBJID_CLIENT && told && SUCCEEDED(AccessibleObjectFromEvent(e.hwnd, e.object, e.child, &a, &c)) &&
        a) {
        line += " name=" + Name(a, c.lVal) + " value=" + Value(a, c.lVal);
        VARIANT state;
        VariantInit(&state);
        if (e.event == EVENT_OBJECT_STATECHANGE && SUCCEEDED(a->get_accState(c, &state)))
            line += " state=" + Hex(state.vt == VT_I4 ? state.lVal : 0);
        a->Release();
    }
    Line(line);
}

int Watch(DWORD seconds) {
    gStart = GetTickCount();
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, OnEvent, 0, 0,
                                         WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    if (!hook) return 2;
    Line("hooked");
    const DWORD end = GetTickCount() + seconds * 1000;
    MSG msg;
    while (GetTickCount() < end && !(gFirst && !IsWindow(gFirst))) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        for (size_t done = 0; done < gSeen.size(); ++done) Report(gSeen[done]);  // may grow meanwhile
        gSeen.clear();
    }
    Line(gFirst && !IsWindow(gFirst) ? "gone" : "timeout");
    UnhookWinEvent(hook);
    return 0;
}

int Hold(HWND hwnd, DWORD seconds) {
    IAccessible* a = ObjectOf(hwnd);
    if (!a) return 2;
    long count = 0;
    Line("count " + Hex(a->get_accChildCount(&count)));
    Line("held " + Name(a, 1));
    const DWORD end = GetTickCount() + seconds * 1000;
    while (IsWindow(hwnd) && GetTickCount() < end) Sleep(20);
    Line(IsWindow(hwnd) ? "window still there" : "window gone");
    Line("count " + Hex(a->get_accChildCount(&count)));
    Line("name " + Name(a, 1));
    Line("press " + Hex(a->accDoDefaultAction(Child(5))));
    a->Release();
    Line("released");
    return 0;
}

int Press(HWND hwnd, long child) {
    IAccessible* a = ObjectOf(hwnd);
    if (!a) return 2;
    Line("press " + Hex(a->accDoDefaultAction(Child(child))));
    a->Release();
    return 0;
}

// A window handle in hexadecimal, or "find": the first patcher window.
HWND WindowArg(const std::wstring& text) {
    if (text == L"find") return FindWindowW(kPatcherClass, nullptr);
    return reinterpret_cast<HWND>(static_cast<ULONG_PTR>(_wcstoui64(text.c_str(), nullptr, 16)));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3) return 1;
    const std::wstring mode = argv[1];
    const int outArg = mode == L"watch" ? 2 : mode == L"press" ? 4 : 3;
    if (argc <= outArg) return 1;
    gOut = _wfopen(argv[outArg], L"wb");
    if (!gOut) return 1;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int code = 1;
    if (mode == L"tree") code = Tree(WindowArg(argv[2]));
    else if (mode == L"watch" && argc > 3) code = Watch(static_cast<DWORD>(_wtoi(argv[3])));
    else if (mode == L"hold" && argc > 4) code = Hold(WindowArg(argv[2]), static_cast<DWORD>(_wtoi(argv[4])));
    else if (mode == L"press") code = Press(WindowArg(argv[2]), _wtol(argv[3]));
    Line("end");
    fclose(gOut);
    CoUninitialize();
    return code;
}
