#include "App.h"
#include "RegKey.h"
#include "Path.h"

namespace {
CApp* g_pApp = nullptr;
}

CApp* GetApp()
{
    return g_pApp;
}

CApp::CApp(const char* appName)
    : m_hInstance(::GetModuleHandleA(nullptr))
    , m_strAppName(appName ? appName : GetExecutableBaseName())
{
    g_pApp = this;
}

CApp::~CApp()
{
    g_pApp = nullptr;
}

void CApp::SetRegistryKey(const char* company)
{
    m_strRegistryKey = company;
}

std::string CApp::GetProfileKeyPath(const char* section) const
{
    return "Software\\" + m_strRegistryKey + "\\" + m_strAppName + "\\" + section;
}

int CApp::GetProfileInt(const char* section, const char* entry, int nDefault) const
{
    CRegKey key;
    DWORD value;
    if (key.Open(HKEY_CURRENT_USER, GetProfileKeyPath(section).c_str(), KEY_READ) != ERROR_SUCCESS
        || key.QueryDWORD(entry, &value) != ERROR_SUCCESS)
        return nDefault;
    return static_cast<int>(value);
}

BOOL CApp::WriteProfileInt(const char* section, const char* entry, int nValue) const
{
    CRegKey key;
    return key.Create(HKEY_CURRENT_USER, GetProfileKeyPath(section).c_str()) == ERROR_SUCCESS
        && key.SetDWORD(entry, static_cast<DWORD>(nValue)) == ERROR_SUCCESS;
}

std::string CApp::GetProfileString(const char* section, const char* entry,
                                   const char* strDefault) const
{
    CRegKey key;
    std::string value;
    if (key.Open(HKEY_CURRENT_USER, GetProfileKeyPath(section).c_str(), KEY_READ) != ERROR_SUCCESS
        || key.QueryString(entry, &value) != ERROR_SUCCESS)
        return strDefault;
    return value;
}

BOOL CApp::WriteProfileString(const char* section, const char* entry, const char* value) const
{
    CRegKey key;
    return key.Create(HKEY_CURRENT_USER, GetProfileKeyPath(section).c_str()) == ERROR_SUCCESS
        && key.SetString(entry, value) == ERROR_SUCCESS;
}

int CApp::MessageBox(const char* text, UINT nType) const
{
    HWND hOwner = m_pMainWnd ? ::GetLastActivePopup(m_pMainWnd->m_hWnd) : nullptr;
    UINT buttons = nType & MB_TYPEMASK;
    bool exclamationByDefault = buttons == MB_OK || buttons == MB_OKCANCEL
        || buttons == MB_YESNO || buttons == MB_YESNOCANCEL;
    if ((nType & MB_ICONMASK) == 0 && exclamationByDefault)
        nType |= MB_ICONEXCLAMATION;
    return ::MessageBoxA(hOwner, text, m_strAppName.c_str(), nType);
}
