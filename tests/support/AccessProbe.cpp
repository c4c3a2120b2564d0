// A screen reader's view of the running launcher, from another process.
// "AccessProbe tree" prints the client object and each child as
//   id <TAB> name <TAB> role <TAB> state (hex) <TAB> value <TAB> x,y,w,h <TAB> hit
// (hit: the child accHitTest finds at the middle of the child's location),
// then "focus <TAB> child". "AccessProbe events" prints each
// "event <TAB> number (hex) <TAB> child" the window sends, until killed.
// Exits 2 when the launcher's window or its object is not found.
#include <windows.h>

#include <oleacc.h>

#include <cstdio>
#include <string>

namespace {

// Names and values are ASCII here, as the launcher's texts are.
std::wstring text(HRESULT (STDMETHODCALLTYPE IAccessible::*get)(VARIANT, BSTR*),
                  IAccessible* object, VARIANT child) {
    BSTR value = nullptr;
    const HRESULT result = (object->*get)(child, &value);
    std::wstring out = FAILED(result) ? L"!" + std::to_wstring(static_cast<long>(result))
                                      : std::wstring(value ? value : L"");
    SysFreeString(value);
    return out;
}

long number(HRESULT (STDMETHODCALLTYPE IAccessible::*get)(VARIANT, VARIANT*), IAccessible* object,
            VARIANT child) {
    VARIANT value;
    VariantInit(&value);
    const HRESULT result = (object->*get)(child, &value);
    return SUCCEEDED(result) && value.vt == VT_I4 ? value.lVal : -1;
}

void CALLBACK printEvent(HWINEVENTHOOK, DWORD event, HWND, LONG object, LONG child, DWORD, DWORD) {
    if (object == OBJID_CLIENT) std::printf("event\t%lx\t%ld\n", event, child);
    std::fflush(stdout);
}

int printTree(IAccessible* object) {
    long count = 0;
    object->get_accChildCount(&count);
    VARIANT child;
    VariantInit(&child);
    child.vt = VT_I4;
    for (long id = 0; id <= count; ++id) {
        child.lVal = id;
        long x = 0, y = 0, w = 0, h = 0;
        object->accLocation(&x, &y, &w, &h, child);
        VARIANT hit;
        VariantInit(&hit);
        object->accHitTest(x + w / 2, y + h / 2, &hit);
        std::printf("%ld\t%ls\t%ld\t%lx\t%ls\t%ld,%ld,%ld,%ld\t%ld\n", id,
                    text(&IAccessible::get_accName, object, child).c_str(),
                    number(&IAccessible::get_accRole, object, child),
                    number(&IAccessible::get_accState, object, child),
                    text(&IAccessible::get_accValue, object, child).c_str(), x, y, w, h,
                    hit.vt == VT_I4 ? hit.lVal : -1);
    }
    VARIANT focus;
    VariantInit(&focus);
    object->get_accFocus(&focus);
    std::printf("focus\t%ld\n", focus.vt == VT_I4 ? focus.lVal : -1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const HWND window = FindWindowW(L"ZovraLauncherClass", nullptr);
    if (!window) return 2;
    if (argc > 1 && std::string(argv[1]) == "events") {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_VALUECHANGE, nullptr, printEvent, process,
                        0, WINEVENT_OUTOFCONTEXT);
        std::printf("listening\n");
        std::fflush(stdout);
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        return 0;
    }
    IAccessible* object = nullptr;
    const HRESULT found =
        AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), __uuidof(IAccessible),
                                   reinterpret_cast<void**>(&object));
    if (FAILED(found) || !object) {
        std::printf("no object: %lx\n", static_cast<unsigned long>(found));
        return 2;
    }
    printTree(object);
    object->Release();
    CoUninitialize();
    return 0;
}
