#include "RegKey.h"

LONG CRegKey::Open(HKEY hParent, const char* path, REGSAM sam)
{
    Close();
    return ::RegOpenKeyExA(hParent, path, 0, sam, &m_hKey);
}

LONG CRegKey::Create(HKEY hParent, const char* path)
{
    Close();
    return ::RegCreateKeyExA(hParent, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_READ | KEY_WRITE, nullptr, &m_hKey, nullptr);
}

void CRegKey::Close()
{
    if (m_hKey)
        ::RegCloseKey(m_hKey);
    m_hKey = nullptr;
}

LONG CRegKey::QueryDWORD(const char* name, DWORD* value) const
{
    DWORD type = 0, size = sizeof(DWORD);
    LONG result = ::RegQueryValueExA(m_hKey, name, nullptr, &type,
                                     reinterpret_cast<BYTE*>(value), &size);
    if (result == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(DWORD)))
        return ERROR_UNSUPPORTED_TYPE;
    return result;
}

LONG CRegKey::QueryString(const char* name, std::string* value) const
{
    DWORD type = 0, size = 0;
    LONG result = ::RegQueryValueExA(m_hKey, name, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ)
        return ERROR_UNSUPPORTED_TYPE;
    std::string data(size + 1, '\0');
    result = ::RegQueryValueExA(m_hKey, name, nullptr, &type,
                                reinterpret_cast<BYTE*>(&data[0]), &size);
    if (result != ERROR_SUCCESS)
        return result;
    // Stored strings need not end in a zero; stop at the first one that is there.
    data.resize(size);
    value->assign(data.c_str());
    return ERROR_SUCCESS;
}

LONG CRegKey::SetDWORD(const char* name, DWORD value) const
{
    return ::RegSetValueExA(m_hKey, name, 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&value), sizeof value);
}

LONG CRegKey::SetString(const char* name, const char* value) const
{
    return ::RegSetValueExA(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                            static_cast<DWORD>(lstrlenA(value) + 1));
}

bool CRegKey::HasValue(const char* name) const
{
    return ::RegQueryValueExA(m_hKey, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

LONG CRegKey::DeleteValue(const char* name) const
{
    return ::RegDeleteValueA(m_hKey, name);
}

LONG CRegKey::QueryValueCount(DWORD* count) const
{
    return ::RegQueryInfoKeyA(m_hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, count,
                              nullptr, nullptr, nullptr, nullptr);
}

LONG CRegKey::EnumValueName(DWORD index, std::string* name) const
{
    char buffer[16384];
    DWORD length = sizeof buffer;
    LONG result = ::RegEnumValueA(m_hKey, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_SUCCESS)
        name->assign(buffer, length);
    return result;
}
