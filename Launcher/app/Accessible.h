// What screen readers find in the window: an IAccessible for its client area
// whose children are the controls, the status line and the progress bar.
#pragma once

#include <windows.h>

// The children's ids: the focus stops (KeyboardFocus.h) from 1, then these.
constexpr long kStatusChild = 12;
constexpr long kProgressChild = 13;
constexpr long kAccessibleChildCount = 13;

// Posted by a screen reader's default action: wParam the focus stop pressed.
constexpr UINT kAccessibleActionMessage = WM_APP + 20;

// WM_GETOBJECT: the object for OBJID_CLIENT, made on the first request; 0
// (the system's own answer) for any other object.
LRESULT answerAccessibleObjectRequest(HWND window, WPARAM flags, LPARAM objectId);
// Tells screen readers what changed since the last call (texts, values,
// states, the keyboard focus); nothing until one has asked for the object.
void announceAccessibleChanges(HWND window);
// WM_DESTROY: clients that still hold the object get CO_E_OBJNOTCONNECTED.
void disconnectAccessibleObject();
