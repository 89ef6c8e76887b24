#include "InstallFolder.h"
#include "../framework/Path.h"
#include <aclapi.h>
#include <sddl.h>
#include <cstring>

namespace {
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
bool GrantsToOthers(const ACE_HEADER* header, ACCESS_MASK rights)
{
    if (header->AceType == ACCESS_DENIED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
        return false;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE)
        return true;
    const ACCESS_ALLOWED_ACE* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
    return (ace->Mask & rights) && !IsTrusted(const_cast<DWORD*>(&ace->SidStart));
}

bool IsAdminOnlyObject(const std::string& path, ACCESS_MASK rights)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    bool adminOnly = IsAdminOnlyDescriptor(descriptor, rights);
    ::LocalFree(descriptor);
    return adminOnly;
}

// The folder holding path (C:\ for a top-level one), or "" above the root.
std::string ParentFolder(const std::string& path)
{
    size_t slash = FindLastBackslash(path);
    if (slash == std::string::npos || slash + 1 == path.size())
        return std::string();
    // "C:" alone would name the current folder of drive C, not its root.
    std::string folder = path.substr(0, slash);
    if (!folder.empty() && folder.back() == ':')
        folder += '\\';
    return folder;
}

bool IsDriveRoot(const std::string& path)
{
    return path.size() == 3 && path[1] == ':' && path[2] == '\\';
}
}

bool IsAdminOnlyInstall(const std::string& executablePath, const InstallChecks& checks)
{
    std::string folder = ParentFolder(executablePath);
    if (folder.empty() || !checks.isAdminOnly(executablePath, kWriteRights) || !checks.isAdminOnly(folder, kWriteRights))
        return false;
    for (std::string part = executablePath; !part.empty(); part = ParentFolder(part)) {
        if (!IsDriveRoot(part) && checks.isReparsePoint(part))
            return false;
        // Above the folder, no one else may rename a folder on the path away and put another in its place.
        if (part != executablePath && part != folder && !checks.isAdminOnly(part, kRenameRights))
            return false;
    }
    return true;
}

bool IsAdminOnlyDescriptor(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights)
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
        if (!::GetAce(dacl, i, &ace) || GrantsToOthers(static_cast<const ACE_HEADER*>(ace), rights))
            return false;
    }
    return true;
}

bool IsAdminOnlyInstall(const std::string& executablePath)
{
    return IsAdminOnlyInstall(executablePath, { IsAdminOnlyObject, IsReparsePoint });
}
