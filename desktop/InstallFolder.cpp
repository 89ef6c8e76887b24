#include "InstallFolder.h"
#include "../framework/Path.h"
#include <aclapi.h>
#include <sddl.h>
#include <cstring>

namespace {
// Each of these changes what the object holds or who may change it. The
// attribute rights count as well: erring towards refusing costs only the task.
const ACCESS_MASK kWriteRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES
                               | FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

const char* const kTrustedSids[] = {
    "S-1-5-32-544", // Administrators
    "S-1-5-18",     // SYSTEM
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", // NT SERVICE\TrustedInstaller
};

bool IsTrusted(PSID sid)
{
    char* text = nullptr;
    if (!sid || !::ConvertSidToStringSidA(sid, &text))
        return false;
    bool trusted = false;
    for (const char* trustedSid : kTrustedSids)
        trusted = trusted || std::strcmp(text, trustedSid) == 0;
    ::LocalFree(text);
    return trusted;
}

// A deny entry can only take rights away, so passing over it errs towards
// refusing. An entry of another kind (conditional, object) is not understood
// here and counts as granting.
bool GrantsWriteToOthers(const ACE_HEADER* header)
{
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
        return false;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
        return true;
    const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    return (ace->Mask & kWriteRights) && !IsTrusted(const_cast<DWORD*>(&ace->SidStart));
}

bool IsAdminOnlyObject(const std::string& path)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool adminOnly = IsAdminOnlyDescriptor(descriptor);
    ::LocalFree(descriptor);
    return adminOnly;
}
}

bool IsAdminOnlyDescriptor(PSECURITY_DESCRIPTOR descriptor)
{
    // The owner may always rewrite the DACL.
    PSID owner = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !IsTrusted(owner)
        || !::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!::GetAce(dacl, i, &ace) || GrantsWriteToOthers(static_cast<const ACE_HEADER*>(ace)))
            return false;
    }
    return true;
}

bool IsAdminOnlyInstall(const std::string& executablePath)
{
    size_t slash = FindLastBackslash(executablePath);
    if (slash == std::string::npos)
        return false;
    // "C:" alone would name the current folder of drive C, not its root.
    std::string folder = executablePath.substr(0, slash);
    if (!folder.empty() && folder.back() == ':')
        folder += '\\';
    return IsAdminOnlyObject(executablePath) && IsAdminOnlyObject(folder);
}
