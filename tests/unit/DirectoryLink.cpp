#include "DirectoryLink.h"
#include <windows.h>

namespace {
bool Exists(const std::string& path)
{
    return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The Unix path of a Windows one under Wine; "" on Windows.
std::string UnixPath(const std::string& path)
{
    using ToUnix = char* (CDECL*)(LPCWSTR);
    auto toUnix = reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t wide[MAX_PATH];
    if (!toUnix || !::MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH))
        return std::string();
    char* unix = toUnix(wide);
    std::string result = unix ? unix : "";
    ::HeapFree(::GetProcessHeap(), 0, unix);
    return result;
}

// Runs a Unix program from Wine, which starts native executables too.
bool RunUnix(std::string command)
{
    STARTUPINFOA startup = { sizeof startup };
    PROCESS_INFORMATION process;
    if (!::CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    ::WaitForSingleObject(process.hProcess, 10000);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return true;
}
}

bool MakeDirectoryLink(const std::string& link, const std::string& target)
{
    if (::CreateSymbolicLinkA(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) && Exists(link))
        return true;
    std::string unixTarget = UnixPath(target), unixLink = UnixPath(link);
    return !unixTarget.empty() && !unixLink.empty() && RunUnix("/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"")
        && Exists(link);
}

void RemoveDirectoryLink(const std::string& link)
{
    if (!::RemoveDirectoryA(link.c_str()))
        ::DeleteFileA(link.c_str());
}
