#pragma once
#include <windows.h>
#include <string>

// The Task Scheduler task "Gatewright" that starts the program at the user's
// logon. The manifest asks for administrator rights, and with UAC on Windows
// skips such programs in the Run key; a task with the highest run level starts
// them without a prompt.

// The argument the task passes: this copy was started at logon.
extern const char kLogonStartArgument[];

// The task's definition: the user's logon, the highest run level, no time
// limit, also on batteries, the command the quoted path with the logon argument.
std::string LogonTaskXml(const std::string& quotedCommand, const std::string& user);
// Registers the task, or replaces it, with that command.
HRESULT RegisterLogonTask(const std::string& quotedCommand);
// Removes the task; a task that is not there counts as removed.
HRESULT DeleteLogonTask();
