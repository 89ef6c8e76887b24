#pragma once
#include <windows.h>
#include <shellapi.h>
#include <string>

// The notification-area icon of a window, described by its record.

// Fills the record: the window, the icon's id, the callback message, the
// icon and the tip, in the 488-byte layout every shell since Windows 2000 takes.
void InitTrayIcon(NOTIFYICONDATAA* nid, HWND hWnd, UINT id, UINT callbackMessage, HICON hIcon, const char* tip);
// Adds the icon, or gives an icon that is there already the record anew.
bool AddOrRenewTrayIcon(NOTIFYICONDATAA* nid);
// Changes the tip; the shell, another process, is told only of a change.
void SetTrayTip(NOTIFYICONDATAA* nid, const std::string& tip);
void RemoveTrayIcon(NOTIFYICONDATAA* nid);
// The most bytes of a tip, without its zero.
const size_t kTrayTipBytes = sizeof(NOTIFYICONDATAA::szTip) - 1;

// True for the messages that announce a new notification area, which has lost every icon.
bool IsShellRestart(UINT msg);
// The program runs elevated, and the shell does not: its restart broadcasts
// must be let through to the window.
void AllowShellRestartMessages(HWND hWnd);
