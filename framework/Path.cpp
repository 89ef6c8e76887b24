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
