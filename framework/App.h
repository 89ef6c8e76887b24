#pragma once
#include "Window.h"
#include <string>

// The application object: one per process, constructed as a global before
// WinMain runs. It knows the main window, the application name (the
// executable's base name) and the registry root of the profile functions.
class CApp {
public:
    // Without a name the application is named after the executable's base name.
    explicit CApp(const char* appName = nullptr);
    CApp(const CApp&) = delete;
    CApp& operator=(const CApp&) = delete;
    virtual ~CApp();

    // Returns false to end the process when it returns.
    virtual BOOL InitInstance() = 0;

    // Profile functions work under HKEY_CURRENT_USER\Software\<company>\<app>.
    void SetRegistryKey(const char* company);
    std::string GetProfileKeyPath(const char* section) const;
    int GetProfileInt(const char* section, const char* entry, int nDefault) const;
    BOOL WriteProfileInt(const char* section, const char* entry, int nValue) const;
    std::string GetProfileString(const char* section, const char* entry,
                                 const char* strDefault = "") const;
    BOOL WriteProfileString(const char* section, const char* entry, const char* value) const;

    // Modal message box owned by the main window (its active pop-up), captioned
    // with the application name; OK-style boxes without an icon get the
    // exclamation icon.
    int MessageBox(const char* text, UINT nType = MB_OK) const;

    HINSTANCE m_hInstance;
    CWindow* m_pMainWnd = nullptr;
    // What the process ends with, for a program that started it.
    int m_nExitCode = 0;

private:
    std::string m_strAppName;
    std::string m_strRegistryKey;
};

CApp* GetApp();
