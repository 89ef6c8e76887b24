#include "App.h"

namespace {
// From here on DLLs come from System32 only, never from the executable's
// folder: those loaded on first use (see cmake/DelayLoad.cmake) and those the
// shell and COM load. Windows 7 has the function only with update KB2533623.
void LoadDllsFromSystem32Only()
{
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    auto setDefaultDllDirectories = reinterpret_cast<SetDefaultDllDirectoriesFunction>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories"));
    if (setDefaultDllDirectories)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    LoadDllsFromSystem32Only();
    // The program is one modal dialog run from InitInstance: no message loop here.
    GetApp()->InitInstance();
    return GetApp()->m_nExitCode;
}
