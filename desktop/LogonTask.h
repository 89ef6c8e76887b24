#pragma once
#include <windows.h>
#include <string>

// The Task Scheduler task that starts the program at the user's logon. The
// manifest asks for administrator rights, and with UAC on Windows skips such
// programs in the Run key; a task with the highest run level starts them
// without a prompt. One task per user, named with the user's SID, so that no
// user's replaces another's; and a copy removes only a task that starts its
// own executable, so that a portable copy run once leaves the installed
// program's task alone.

// The argument the task passes: this copy was started at logon.
extern const char kLogonStartArgument[];

// The task's definition: the user's logon, the highest run level, no time
// limit, also on batteries, the command the quoted path with the logon argument.
std::string LogonTaskXml(const std::string& quotedCommand, const std::string& user);
// The task's name for the user of that SID: "Gatewright S-1-5-21-…".
std::string LogonTaskName(const std::string& userSid);
// Whether a task's command (as the task keeps it, quoted or not) starts the
// executable at that path; paths compare without regard to case.
bool StartsExecutable(const std::string& taskCommand, const std::string& executablePath);
// Registers this user's task, or replaces it, with that command.
HRESULT RegisterLogonTask(const std::string& quotedCommand);
// Removes this user's task where it starts that executable (S_OK); a task
// that is not there, or that starts another, is left (S_FALSE).
HRESULT DeleteLogonTask(const std::string& executablePath);
