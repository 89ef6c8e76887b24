#include "../../desktop/InstallFolder.h"
#include "../../framework/Path.h"
#include "SymbolicLink.h"
#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

namespace {

const std::string kTrustedInstaller = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
// Administrators and SYSTEM in full, Users reading and running.
const std::string kAdminAces = "(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
const std::string kAdminOnly = "O:BAD:P" + kAdminAces;
const std::string kUsersModify = "(A;OICI;0x1301bf;;;BU)";

// The security descriptor of an SDDL string.
struct CSddl {
    explicit CSddl(const std::string& text)
    {
        ::ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &m_pDescriptor, nullptr);
    }
    ~CSddl() { ::LocalFree(m_pDescriptor); }
    PSECURITY_DESCRIPTOR m_pDescriptor = nullptr;
};

bool IsAdminOnlySddl(const std::string& text)
{
    return IsAdminOnlyDescriptor(CSddl(text).m_pDescriptor);
}

// Exactly that owner and DACL: SetFileSecurity adds nothing inherited from the parent.
bool Secure(const std::string& path, const std::string& text)
{
    return ::SetFileSecurityA(path.c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                              CSddl(text).m_pDescriptor);
}

TEST(InstallFolder, OnlyAdministratorsSystemAndTrustedInstallerMayOwnOrChangeIt)
{
    EXPECT_TRUE(IsAdminOnlySddl(kAdminOnly));
    // As under Program Files: CREATOR OWNER passes full control only to what its creator adds.
    EXPECT_TRUE(IsAdminOnlySddl("O:" + kTrustedInstaller + "D:PAI(A;;FA;;;" + kTrustedInstaller + ")(A;OICIIO;GA;;;CO)"
                                + kAdminAces));
    // Adding a file plants a DLL; deleting renames the executable away; WRITE_DAC grants the rest.
    for (const char* ace : { "(A;;0x2;;;BU)", "(A;;0x4;;;AU)", "(A;;SD;;;AU)", "(A;;WD;;;WD)", "(A;;GW;;;BU)",
                             "(A;;GA;;;CO)" })
        EXPECT_FALSE(IsAdminOnlySddl(kAdminOnly + ace)) << ace;
    EXPECT_FALSE(IsAdminOnlySddl("O:S-1-5-21-1-2-3-1001D:P" + kAdminAces)) << "a user as the owner";
    EXPECT_FALSE(IsAdminOnlySddl("D:P" + kAdminAces)) << "no owner";

    // Built by hand: Wine reads "D:NO_ACCESS_CONTROL" as an empty DACL, not a NULL one.
    BYTE admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof admins;
    ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
    SECURITY_DESCRIPTOR nullDacl;
    ::InitializeSecurityDescriptor(&nullDacl, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorOwner(&nullDacl, admins, FALSE);
    ::SetSecurityDescriptorDacl(&nullDacl, TRUE, nullptr, FALSE);
    EXPECT_FALSE(IsAdminOnlyDescriptor(&nullDacl)) << "a NULL DACL lets everyone write";
}

TEST(InstallFolder, AFolderAboveMayTakeNewFilesButNoOneElseMayRenameWhatItHolds)
{
    // As C:\ is: Users add folders and files, Authenticated Users modify only what is below.
    const std::string root = kAdminOnly + "(A;CI;0x4;;;BU)(A;CIIO;0x2;;;BU)(A;OICIIO;SDGXGWGR;;;AU)";
    EXPECT_TRUE(IsAdminOnlyDescriptor(CSddl(root).m_pDescriptor, kRenameRights));
    EXPECT_FALSE(IsAdminOnlyDescriptor(CSddl(root).m_pDescriptor, kWriteRights)) << "not for the install's own folder";
    for (const char* ace : { "(A;;0x40;;;BU)", "(A;;SD;;;AU)", "(A;;WD;;;WD)", "(A;;GA;;;BU)" })
        EXPECT_FALSE(IsAdminOnlyDescriptor(CSddl(kAdminOnly + ace).m_pDescriptor, kRenameRights)) << ace;
    EXPECT_FALSE(IsAdminOnlyDescriptor(CSddl("O:S-1-5-21-1-2-3-1001D:P" + kAdminAces).m_pDescriptor, kRenameRights))
        << "its owner can grant itself the rest";
}

TEST(InstallFolder, OnDiskTheFolderAndTheExecutableBothCount)
{
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "gwinstall-" + std::to_string(::GetCurrentProcessId());
    std::string exe = folder + "\\Gatewright.exe";
    ::CreateDirectoryA(folder.c_str(), nullptr);
    ::CloseHandle(::CreateFileA(exe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    // Users may modify the folder, then the executable, then neither.
    const std::string folders[] = { kAdminOnly + kUsersModify, kAdminOnly, kAdminOnly };
    const std::string exes[] = { kAdminOnly, kAdminOnly + kUsersModify, kAdminOnly };
    bool accepted[3] = {};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(Secure(folder, folders[i]) && Secure(exe, exes[i]));
        accepted[i] = IsAdminOnlyInstall(exe);
    }
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ::GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                            &descriptor);
    bool ownerKept = owner && ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    ::LocalFree(descriptor);
    EXPECT_FALSE(IsAdminOnlyInstall(folder + "\\absent.exe"));
    ::SetFileAttributesA(exe.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(exe.c_str());
    ::RemoveDirectoryA(folder.c_str());

    EXPECT_FALSE(accepted[0]) << "Users may modify the folder";
    EXPECT_FALSE(accepted[1]) << "Users may modify the executable";
    if (!ownerKept)
        GTEST_SKIP() << "refusals checked; Wine keeps no descriptor it is given, it shows the Unix owner and mode";
    EXPECT_TRUE(accepted[2]) << "only Administrators and SYSTEM may modify either";
}

// Every part admin-only; the one path named here is a reparse point.
std::string g_reparsePoint;
bool AllAdminOnly(const std::string&, ACCESS_MASK) { return true; }
bool IsTheReparsePoint(const std::string& path) { return path == g_reparsePoint; }

TEST(InstallFolder, AJunctionOrLinkAnywhereOnThePathIsNotAdminOnlyButTheDrivesRootIs)
{
    const InstallChecks checks = { AllAdminOnly, IsTheReparsePoint };
    const std::string exe = "C:\\J\\Gatewright\\Gatewright.exe";
    for (const char* part : { "", "C:\\" }) {
        g_reparsePoint = part;
        EXPECT_TRUE(IsAdminOnlyInstall(exe, checks)) << part;
    }
    for (const char* part : { "C:\\J", "C:\\J\\Gatewright", "C:\\J\\Gatewright\\Gatewright.exe" }) {
        g_reparsePoint = part;
        EXPECT_FALSE(IsAdminOnlyInstall(exe, checks)) << part;
    }
}

TEST(InstallFolder, OnDiskALinkIsAReparsePointAndAFolderIsNot)
{
    char temp[MAX_PATH];
    ::GetTempPathA(MAX_PATH, temp);
    std::string folder = std::string(temp) + "gw-reparse", link = folder + "-link";
    RemoveSymbolicLink(link);
    ::CreateDirectoryA(folder.c_str(), nullptr);
    EXPECT_FALSE(IsReparsePoint(folder));
    EXPECT_TRUE(IsReparsePoint(folder + "\\missing")) << "what cannot be opened is not trusted";
    bool linked = MakeSymbolicLink(link, folder);
    if (linked) {
        EXPECT_TRUE(IsReparsePoint(link));
    }
    RemoveSymbolicLink(link);
    ::RemoveDirectoryA(folder.c_str());
    if (!linked)
        GTEST_SKIP() << "no symbolic link could be made here";
}

}
