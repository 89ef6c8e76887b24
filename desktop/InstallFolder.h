#pragma once
#include <windows.h>
#include <string>

// Whether anyone but an administrator could change what a program started
// elevated runs: replace its executable, or put a DLL beside it that Windows
// would load first.

// True when the descriptor's owner is Administrators, SYSTEM or
// TrustedInstaller and its DACL lets no one else write, append, delete, or
// change the DACL or the owner. A NULL DACL lets everyone. Deny entries are not
// weighed; entries that only pass to children are skipped, since each child on
// the path is looked at itself.
bool IsAdminOnlyDescriptor(PSECURITY_DESCRIPTOR descriptor);
// True when the file at that path and its folder both have such descriptors.
// False when either cannot be read.
bool IsAdminOnlyInstall(const std::string& executablePath);
