#include "SymbolicLink.h"
#include <windows.h>

namespace {
// There, and shown as a link: Wine shows a Unix link to a file as the file itself.
bool ShownAsLink(const std::string& path)
{
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
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

// Until done() or two seconds have passed: Wine's wait on a Unix program may end before it does.
template <typename Done>
bool Within2s(Done done)
{
    for (int tries = 0; tries < 40 && !done(); ++tries)
        ::Sleep(50);
    return done();
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

bool MakeSymbolicLink(const std::string& link, const std::string& target)
{
    DWORD attributes = ::GetFileAttributesA(target.c_str());
    DWORD flags = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
        ? SYMBOLIC_LINK_FLAG_DIRECTORY
        : 0;
    if (::CreateSymbolicLinkA(link.c_str(), target.c_str(), flags) && ShownAsLink(link))
        return true;
    std::string unixTarget = UnixPath(target), unixLink = UnixPath(link);
    return !unixTarget.empty() && !unixLink.empty() && RunUnix("/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"")
        && Within2s([&link] { return ShownAsLink(link); });
}

void RemoveSymbolicLink(const std::string& link)
{
    // Wine may follow a Unix link it is asked to remove.
    std::string unixLink = UnixPath(link);
    if (!unixLink.empty() && RunUnix("/bin/rm -f \"" + unixLink + "\""))
        Within2s([&link] { return ::GetFileAttributesA(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
    else if (!::RemoveDirectoryA(link.c_str()))
        ::DeleteFileA(link.c_str());
}
