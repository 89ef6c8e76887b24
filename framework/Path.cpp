#include "Path.h"
#include <windows.h>

std::string GetExecutablePath()
{
    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

size_t FindLastBackslash(const std::string& path)
{
    size_t last = std::string::npos;
    for (const char* p = path.c_str(); *p; p = ::CharNextA(p)) {
        if (*p == '\\')
            last = p - path.c_str();
    }
    return last;
}

std::string GetExecutableFolder()
{
    std::string path = GetExecutablePath();
    size_t slash = FindLastBackslash(path);
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string GetExecutableBaseName()
{
    std::string path = GetExecutablePath();
    size_t slash = FindLastBackslash(path);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool IsReparsePoint(const std::string& path)
{
    // Asked both ways: Wine shows a Unix symbolic link as a reparse point only to the first.
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    HANDLE file = ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    BY_HANDLE_FILE_INFORMATION info = {};
    bool known = ::GetFileInformationByHandle(file, &info);
    ::CloseHandle(file);
    return !known || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
