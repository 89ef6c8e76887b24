#pragma once
#include <windows.h>

// Success code of SetAutostart and RenewLogonTask: the Run value is there,
// but no logon task, and one from before is removed, since someone other than
// an administrator could change the executable or its folder.
extern const HRESULT kLogonTaskRefused;

// True when the per-user Run value "Gatewright" exists, whatever it holds.
bool IsAutostartEnabled();
// Writes the Run value with the running executable's quoted path and registers
// the logon task, or deletes both. Returns the task's result, or kLogonTaskRefused.
HRESULT SetAutostart(bool enabled);
// With the Run value there, registers the logon task anew for the running
// executable: the Run value may come from before the task, or the executable
// may have moved. S_FALSE when autostart is off; kLogonTaskRefused as above.
HRESULT RenewLogonTask();
