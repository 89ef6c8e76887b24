#include "Autostart.h"
#include "InstallFolder.h"
#include "LogonTask.h"
#include "../framework/Path.h"
#include "../framework/RegKey.h"
#include <string>

const HRESULT kLogonTaskRefused = MAKE_HRESULT(SEVERITY_SUCCESS, FACILITY_ITF, 0x201);

namespace {
const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char* kRunValue = "Gatewright";

// The path quoted: an unquoted path with blanks could start another program,
// and this one runs elevated.
std::string Quoted(const std::string& path)
{
    return "\"" + path + "\"";
}

// The task starts the executable elevated without asking: only one that no one
// but an administrator can replace, or put a DLL beside, may have it.
HRESULT RegisterLogonTaskIfAdminOnly()
{
    // The task gets exactly the path that was checked.
    std::string path = GetExecutablePath();
    if (IsAdminOnlyInstall(path))
        return RegisterLogonTask(Quoted(path));
    HRESULT hr = DeleteLogonTask(path);
    return FAILED(hr) ? hr : kLogonTaskRefused;
}
}

bool IsAutostartEnabled()
{
    // Any value counts, also one longer than 256 bytes: the quoted path this
    // program writes can be.
    CRegKey key;
    return key.Open(HKEY_CURRENT_USER, kRunKey, KEY_READ) == ERROR_SUCCESS && key.HasValue(kRunValue);
}

HRESULT SetAutostart(bool enabled)
{
    CRegKey key;
    bool opened = key.Open(HKEY_CURRENT_USER, kRunKey, KEY_WRITE) == ERROR_SUCCESS;
    if (opened && enabled)
        key.SetString(kRunValue, Quoted(GetExecutablePath()).c_str());
    else if (opened)
        key.DeleteValue(kRunValue);
    return enabled ? RegisterLogonTaskIfAdminOnly() : DeleteLogonTask(GetExecutablePath());
}

HRESULT RenewLogonTask()
{
    return IsAutostartEnabled() ? RegisterLogonTaskIfAdminOnly() : S_FALSE;
}
