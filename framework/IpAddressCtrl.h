#pragma once
#include "Window.h"
#include <commctrl.h>

// Wrapper of an IP-address control ("SysIPAddress32"). Its text interface is
// the dotted form; Wine ignores WM_SETTEXT on this control, so texts are set
// through IPM_SETADDRESS and IPM_CLEARADDRESS, which Windows honours too.
class CIpAddressCtrl : public CWindow {
public:
    explicit CIpAddressCtrl(HWND hWnd) : CWindow(hWnd) {}

    // Shows a dotted IPv4 text; an empty text or one the control cannot hold
    // leaves the control blank.
    void SetAddressText(const char* text) const;
    // The dotted text, or "" while all four fields are blank.
    std::string GetAddressText() const;
};
