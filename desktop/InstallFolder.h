#pragma once
#include <windows.h>
#include <string>

// Whether anyone but an administrator could change what a program started
// elevated runs: replace its executable, or put a DLL beside it that Windows
// would load first.

// Rights that change what a file or folder holds, or who may change it.
const ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES
                               | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
// Above the executable's folder, only what lets someone rename a folder on the
// path away and put another in its place: adding files or folders there is harmless.
const ACCESS_MASK kRenameRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// True when the descriptor's owner is Administrators, SYSTEM or
// TrustedInstaller and its DACL grants no one else any of the rights. A NULL
// DACL lets everyone. Deny entries are not weighed; entries that only pass to
// children are skipped, since each child on the path is looked at itself.
bool IsAdminOnlyDescriptor(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights = kWriteRights);
// True when the file at that path and its folder both have such descriptors,
// and no folder above them lets anyone else rename it away or change its
// DACL or owner; and no part of the path is a junction, a symbolic link or a
// mount point (a drive's root aside), which its creator could point elsewhere
// once the check has passed. False when any of them cannot be read.
bool IsAdminOnlyInstall(const std::string& executablePath);

// What the install check asks of each part of the path; tests put fakes in its place.
struct InstallChecks {
    bool (*isAdminOnly)(const std::string& path, ACCESS_MASK rights);
    // True, or true when it cannot be opened, for a reparse point.
    bool (*isReparsePoint)(const std::string& path);
};
bool IsAdminOnlyInstall(const std::string& executablePath, const InstallChecks& checks);
