#pragma once
#include <windows.h>

// True when the per-user Run value "Gatewright" exists, whatever it holds.
bool IsAutostartEnabled();
// Writes the Run value with the running executable's quoted path and registers
// the logon task, or deletes both. Returns the task's result.
HRESULT SetAutostart(bool enabled);
// With the Run value there, registers the logon task anew for the running
// executable: the Run value may come from before the task, or the executable
// may have moved. S_FALSE when autostart is off.
HRESULT RenewLogonTask();
