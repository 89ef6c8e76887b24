#pragma once
#include <string>

// Folder of the running executable, without a trailing backslash. The last
// backslash is found character by character in the ANSI code page, so the
// trail byte 0x5C of a double-byte character is never taken for one.
std::string GetExecutableFolder();
// Full path of the running executable.
std::string GetExecutablePath();
// File name of the running executable without folder and extension.
std::string GetExecutableBaseName();
// Position of the last backslash of a narrow path, or npos.
size_t FindLastBackslash(const std::string& path);
// Whether the path itself (not what it leads to) is a reparse point: a
// junction, a symbolic link, a mount point. What cannot be asked counts as one.
bool IsReparsePoint(const std::string& path);
