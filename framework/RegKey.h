#pragma once
#include <windows.h>
#include <string>

// Owns one open registry key; each method is one registry call.
class CRegKey {
public:
    CRegKey() = default;
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;
    ~CRegKey() { Close(); }

    LONG Open(HKEY hParent, const char* path, REGSAM sam);
    LONG Create(HKEY hParent, const char* path);
    void Close();

    // A value of another type than asked for counts as absent.
    LONG QueryDWORD(const char* name, DWORD* value) const;
    LONG QueryString(const char* name, std::string* value) const;
    LONG SetDWORD(const char* name, DWORD value) const;
    LONG SetString(const char* name, const char* value) const;
    LONG DeleteValue(const char* name) const;
    // True when a value of that name exists, whatever its type and size.
    bool HasValue(const char* name) const;
    LONG QueryValueCount(DWORD* count) const;
    // Name of the value at position index of the key's value list.
    LONG EnumValueName(DWORD index, std::string* name) const;

    HKEY m_hKey = nullptr;
};
