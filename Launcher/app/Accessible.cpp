#include "app/Accessible.h"

#include <oleacc.h>

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "core/LauncherState.h"
#include "game/GameLaunch.h"
#include "game/SettingsPanel.h"
#include "ui/KeyboardFocus.h"
#include "ui/ScreenControls.h"

namespace {

// One child as a screen reader sees it.
struct ChildView {
    std::wstring name;
    std::wstring value;
    long role = 0;
    long state = 0;
    RECT rect{};  // design units
};

bool holdsKeyboardFocus(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) &&
           info.hwndFocus == window;
}

long stopRole(int32_t stop) {
    switch (stop) {
    case ResolutionStop:
        return ROLE_SYSTEM_COMBOBOX;
    case WindowModeStop:
    case SoundStop:
    case MusicStop:
        return ROLE_SYSTEM_CHECKBUTTON;
    case VolumeStop:
        return ROLE_SYSTEM_SLIDER;
    default:
        return ROLE_SYSTEM_PUSHBUTTON;
    }
}

// Reads what the paint pass reads, the worker's texts and flags included,
// the same way.
ChildView describeStop(int32_t stop, bool windowFocused) {
    const LauncherState& s = launcherState;
    ChildView view{focusStopName(stop), {}, stopRole(stop), 0, focusStopRect(stop)};
    const bool panelStop = stop >= kFirstPanelStop;
    if (panelStop == s.settingsOpen) {
        view.state |= STATE_SYSTEM_FOCUSABLE;
    } else if (panelStop) {
        view.state |= STATE_SYSTEM_INVISIBLE;
    } else if (stop != CloseStop) {
        view.state |= STATE_SYSTEM_UNAVAILABLE;  // the open panel takes their presses
    }
    if (windowFocused && stop == focusedStop()) view.state |= STATE_SYSTEM_FOCUSED;
    if (!panelStop && s.*kButtons[stop].hover) view.state |= STATE_SYSTEM_HOTTRACKED;
    switch (stop) {
    case StartStop:
        if (!gameStartAllowed()) view.state |= STATE_SYSTEM_UNAVAILABLE;
        break;
    case ResolutionStop:
        view.state |= s.resolutionListOpen ? STATE_SYSTEM_EXPANDED : STATE_SYSTEM_COLLAPSED;
        if (const std::wstring* label = resolutionLabel(s.resolutionIndex)) view.value = *label;
        break;
    case WindowModeStop:
    case SoundStop:
    case MusicStop: {
        const bool on = stop == WindowModeStop ? s.windowMode
                        : stop == SoundStop    ? s.soundOn
                                               : s.musicOn;
        if (on) view.state |= STATE_SYSTEM_CHECKED;
        break;
    }
    case VolumeStop:
        view.value = std::to_wstring(s.volumeLevel);
        break;
    default:
        break;
    }
    return view;
}

// Children 1 to kAccessibleChildCount.
ChildView describeChild(long child, bool windowFocused) {
    if (child == kStatusChild) {
        return ChildView{launcherState.statusDetail.get(),
                         {},
                         ROLE_SYSTEM_STATICTEXT,
                         STATE_SYSTEM_READONLY,
                         statusLineRect};
    }
    if (child == kProgressChild) {
        return ChildView{L"Update progress",
                         std::to_wstring(launcherState.progressPercent.load()) + L"%",
                         ROLE_SYSTEM_PROGRESSBAR, STATE_SYSTEM_READONLY, progressTrackRect};
    }
    return describeStop(static_cast<int32_t>(child - 1), windowFocused);
}

long focusChild(bool windowFocused) {
    if (!windowFocused) return -1;
    const int32_t stop = focusedStop();
    return stop == NoFocus ? CHILDID_SELF : stop + 1;
}

// The child a VARIANT names, CHILDID_SELF for the client area itself, or -1.
long childOf(const VARIANT& child) {
    if (child.vt != VT_I4 || child.lVal < 0 || child.lVal > kAccessibleChildCount) return -1;
    return child.lVal;
}

HRESULT answerText(const std::wstring& text, BSTR* out, HRESULT whenEmpty) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (text.empty()) return whenEmpty;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT answerChild(long child, VARIANT* out) {
    if (!out) return E_POINTER;
    if (child < 0) {
        out->vt = VT_EMPTY;
        return S_FALSE;
    }
    out->vt = VT_I4;
    out->lVal = child;
    return S_OK;
}

const wchar_t* defaultAction(const ChildView& view) {
    switch (view.role) {
    case ROLE_SYSTEM_PUSHBUTTON:
        return L"Press";
    case ROLE_SYSTEM_CHECKBUTTON:
        return view.state & STATE_SYSTEM_CHECKED ? L"Uncheck" : L"Check";
    case ROLE_SYSTEM_COMBOBOX:
        return view.state & STATE_SYSTEM_EXPANDED ? L"Close" : L"Open";
    default:
        return L"";
    }
}

// The client area's object. It knows the window only by its handle, which
// it forgets when the window goes; every call after that fails politely.
// Remote calls come through the window thread's apartment, so the state is
// read on the thread that changes it (the worker's parts as the paint pass
// reads them).
class LauncherAccessible final : public IAccessible {
public:
    explicit LauncherAccessible(HWND window) : window_(window) {}
    void disconnect() { window_ = nullptr; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
        if (!out) return E_POINTER;
        if (id == IID_IUnknown || id == IID_IDispatch || id == __uuidof(IAccessible)) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const long left = --references_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // Clients call the interface itself; none needs the type information.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (!parent) return E_POINTER;
        *parent = nullptr;
        const HWND window = window_;
        if (!window) return CO_E_OBJNOTCONNECTED;
        return AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_WINDOW), IID_IDispatch,
                                          reinterpret_cast<void**>(parent));
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
        if (!count) return E_POINTER;
        if (!window_) return CO_E_OBJNOTCONNECTED;
        *count = kAccessibleChildCount;
        return S_OK;
    }
    // The children are simple elements: no objects of their own.
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!window_) return CO_E_OBJNOTCONNECTED;
        return childOf(child) > 0 ? S_FALSE : E_INVALIDARG;
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        ChildView view;
        const HRESULT found = look(child, view);
        return FAILED(found) ? found : answerText(view.name, name, S_FALSE);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        ChildView view;
        const HRESULT found = look(child, view);
        return FAILED(found) ? found : answerText(view.value, value, DISP_E_MEMBERNOTFOUND);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override {
        return answerNothing(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        return answerNumber(child, role, &ChildView::role);
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        return answerNumber(child, state, &ChildView::state);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* text) override {
        return answerNothing(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override {
        if (!topic) return E_POINTER;
        *topic = 0;
        return answerNothing(child, file);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* text) override {
        return answerNothing(child, text);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override {
        const HWND window = window_;
        if (!child) return E_POINTER;
        child->vt = VT_EMPTY;
        if (!window) return CO_E_OBJNOTCONNECTED;
        return answerChild(focusChild(holdsKeyboardFocus(window)), child);
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override {
        if (!children) return E_POINTER;
        children->vt = VT_EMPTY;
        return window_ ? DISP_E_MEMBERNOTFOUND : CO_E_OBJNOTCONNECTED;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        ChildView view;
        const HRESULT found = look(child, view);
        return FAILED(found) ? found
                             : answerText(defaultAction(view), action, DISP_E_MEMBERNOTFOUND);
    }
    // A screen reader's focus: onto a control the keyboard can reach now.
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
        ChildView view;
        const HRESULT found = look(child, view);
        if (FAILED(found)) return found;
        if (flags != SELFLAG_TAKEFOCUS || !(view.state & STATE_SYSTEM_FOCUSABLE)) {
            return DISP_E_MEMBERNOTFOUND;
        }
        launcherState.focusedControl = static_cast<int32_t>(child.lVal - 1);
        requestRepaint();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override {
        if (!left || !top || !width || !height) return E_POINTER;
        *left = *top = *width = *height = 0;
        ChildView view;
        const HRESULT found = look(child, view);
        if (FAILED(found)) return found;
        const HWND window = window_;
        RECT r{};
        if (child.lVal == CHILDID_SELF) {
            GetClientRect(window, &r);
        } else {
            r = clientRectFromDesign(view.rect);
        }
        MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
        *left = r.left;
        *top = r.top;
        *width = r.right - r.left;
        *height = r.bottom - r.top;
        return S_OK;
    }
    // Through the children in order; the client area itself has only its
    // first and last child to offer.
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
        if (!end) return E_POINTER;
        end->vt = VT_EMPTY;
        if (!window_) return CO_E_OBJNOTCONNECTED;
        const long from = childOf(start);
        if (from < 0) return E_INVALIDARG;
        long to = -1;
        if (from == CHILDID_SELF) {
            if (direction == NAVDIR_FIRSTCHILD) to = 1;
            if (direction == NAVDIR_LASTCHILD) to = kAccessibleChildCount;
        } else if (direction == NAVDIR_NEXT && from < kAccessibleChildCount) {
            to = from + 1;
        } else if (direction == NAVDIR_PREVIOUS && from > 1) {
            to = from - 1;
        } else if (direction != NAVDIR_NEXT && direction != NAVDIR_PREVIOUS) {
            return DISP_E_MEMBERNOTFOUND;
        }
        return answerChild(to, end);
    }
    // The topmost visible child under the point: the panel's controls lie
    // above the buttons, and come later in the children's order.
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* child) override {
        if (!child) return E_POINTER;
        child->vt = VT_EMPTY;
        const HWND window = window_;
        if (!window) return CO_E_OBJNOTCONNECTED;
        POINT at{x, y};
        RECT client{};
        GetClientRect(window, &client);
        if (!ScreenToClient(window, &at) || !PtInRect(&client, at)) return S_FALSE;
        const bool focused = holdsKeyboardFocus(window);
        long found = CHILDID_SELF;
        for (long c = kAccessibleChildCount; c >= 1 && found == CHILDID_SELF; --c) {
            const ChildView view = describeChild(c, focused);
            const RECT r = clientRectFromDesign(view.rect);
            if (!(view.state & STATE_SYSTEM_INVISIBLE) && PtInRect(&r, at)) found = c;
        }
        return answerChild(found, child);
    }
    // Done after the call returns, as a press would be: the press may close
    // the window, which disconnects this object.
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        ChildView view;
        const HRESULT found = look(child, view);
        if (FAILED(found)) return found;
        if (child.lVal == CHILDID_SELF || !*defaultAction(view)) return DISP_E_MEMBERNOTFOUND;
        PostMessageW(window_, kAccessibleActionMessage, static_cast<WPARAM>(child.lVal - 1), 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

private:
    ~LauncherAccessible() = default;

    HRESULT look(const VARIANT& child, ChildView& view) const {
        const HWND window = window_;
        if (!window) return CO_E_OBJNOTCONNECTED;
        const long c = childOf(child);
        if (c < 0) return E_INVALIDARG;
        const bool focused = holdsKeyboardFocus(window);
        if (c != CHILDID_SELF) {
            view = describeChild(c, focused);
            return S_OK;
        }
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        view = ChildView{title, {}, ROLE_SYSTEM_CLIENT, STATE_SYSTEM_FOCUSABLE, {}};
        if (focusChild(focused) == CHILDID_SELF) view.state |= STATE_SYSTEM_FOCUSED;
        return S_OK;
    }
    HRESULT answerNumber(const VARIANT& child, VARIANT* out, long ChildView::*field) const {
        if (!out) return E_POINTER;
        out->vt = VT_EMPTY;
        ChildView view;
        const HRESULT found = look(child, view);
        if (FAILED(found)) return found;
        out->vt = VT_I4;
        out->lVal = view.*field;
        return S_OK;
    }
    HRESULT answerNothing(const VARIANT& child, BSTR* out) const {
        if (!out) return E_POINTER;
        *out = nullptr;
        ChildView view;
        const HRESULT found = look(child, view);
        return FAILED(found) ? found : S_FALSE;
    }

    std::atomic<long> references_{1};
    std::atomic<HWND> window_;
};

LauncherAccessible* accessibleObject = nullptr;
bool comStarted = false;
// What the last announcement told, to tell only what changed.
std::vector<ChildView> announced;
long announcedFocus = -1;

std::vector<ChildView> describeChildren(bool windowFocused) {
    std::vector<ChildView> children;
    children.reserve(kAccessibleChildCount);
    for (long c = 1; c <= kAccessibleChildCount; ++c)
        children.push_back(describeChild(c, windowFocused));
    return children;
}

}  // namespace

LRESULT answerAccessibleObjectRequest(HWND window, WPARAM flags, LPARAM objectId) {
    // The id is a 32-bit value, whatever the width of LPARAM.
    if (static_cast<DWORD>(objectId) != static_cast<DWORD>(OBJID_CLIENT)) return 0;
    if (!accessibleObject) {
        // Started here, not with the program: most players never need it.
        // A thread that already has an apartment keeps it.
        comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
        accessibleObject = new (std::nothrow) LauncherAccessible(window);
        if (!accessibleObject) return 0;
        // What the client reads now: every later change is announced.
        const bool focused = holdsKeyboardFocus(window);
        announced = describeChildren(focused);
        announcedFocus = focusChild(focused);
    }
    return LresultFromObject(__uuidof(IAccessible), flags, accessibleObject);
}

void announceAccessibleChanges(HWND window) {
    if (!accessibleObject) return;
    const bool focused = holdsKeyboardFocus(window);
    std::vector<ChildView> now = describeChildren(focused);
    if (announced.size() == now.size()) {
        for (long c = 1; c <= kAccessibleChildCount; ++c) {
            const ChildView& was = announced[static_cast<size_t>(c - 1)];
            const ChildView& is = now[static_cast<size_t>(c - 1)];
            if (was.name != is.name)
                NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, c);
            if (was.state != is.state)
                NotifyWinEvent(EVENT_OBJECT_STATECHANGE, window, OBJID_CLIENT, c);
            if (was.value != is.value)
                NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, window, OBJID_CLIENT, c);
        }
    }
    const long focus = focusChild(focused);
    if (focus >= 0 && focus != announcedFocus)
        NotifyWinEvent(EVENT_OBJECT_FOCUS, window, OBJID_CLIENT, focus);
    announcedFocus = focus;
    announced.swap(now);
}

void disconnectAccessibleObject() {
    announced.clear();
    announcedFocus = -1;
    if (!accessibleObject) return;
    accessibleObject->disconnect();
    // Remote clients' calls end at their proxies from now on.
    CoDisconnectObject(accessibleObject, 0);
    accessibleObject->Release();
    accessibleObject = nullptr;
    if (comStarted) CoUninitialize();
    comStarted = false;
}
