#include "Autostart.h"
#include "../framework/RegKey.h"
#include <windows.h>
#include <string>

namespace {
const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* kRunValue = "Gatewright";

// The running executable, quoted: an unquoted path with blanks could start
// another program, and this one runs elevated.
std::string QuotedExecutablePath()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return std::string("\"") + path + "\"";
}
}

bool IsAutostartEnabled()
{
    CRegKey key;
    if (key.Open(HKEY_CURRENT_USER, kRunKey, KEY_READ) != ERROR_SUCCESS)
        return false;
    char data[256] = {};
    DWORD size = sizeof data;
    return ::RegQueryValueExA(key.m_hKey, kRunValue, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size)
        == ERROR_SUCCESS;
}

void SetAutostart(bool enabled)
{
    CRegKey key;
    if (key.Open(HKEY_CURRENT_USER, kRunKey, KEY_WRITE) != ERROR_SUCCESS)
        return;
    if (enabled)
        key.SetString(kRunValue, QuotedExecutablePath().c_str());
    else
        key.DeleteValue(kRunValue);
}
