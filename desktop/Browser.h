#pragma once
#include <windows.h>
#include <string>

// How an address reached the default browser.
enum class BrowserStart {
    Desktop,   // through the desktop's shell, at the user's own level
    Direct,    // no desktop shell: this process started it, with its rights
    Failed     // the shell refused it; nothing was started
};

// Opens the address in the default browser. The program runs elevated, and a
// browser started by it would run with administrator rights; the desktop's
// shell process starts it at the user's normal level instead.
BrowserStart OpenInBrowser(const std::string& address);
