#include "MappingApp.h"
#include "MappingDlg.h"
#include "../desktop/Autostart.h"
#include "../desktop/OneCopy.h"
#include "../framework/Format.h"
#include "../gateway/LogLines.h"
#include "../gateway/local/WindowsFirewall.h"
#include "../log/ActivityLog.h"
#include <commctrl.h>

CMappingApp theApp;

namespace {
// How long the setup waits for a running copy to have closed.
const DWORD kCloseForSetupMs = 15000;

// For the uninstaller: this user's autostart and the program's firewall rules go, and nothing else happens.
void Unregister()
{
    bool hadRunValue = IsAutostartEnabled();
    HRESULT hr = SetAutostart(false);
    std::string task = SUCCEEDED(hr) ? "已删除" : FormatText("删除失败(0x%08lX)", static_cast<unsigned long>(hr));
    ActivityLog log;
    log.Report(FormatText("已取消开机自动运行: 启动项%s，登录任务%s。", hadRunValue ? "已删除" : "本来没有", task.c_str()));
    // No door stays open after the program: its firewall rules go with it.
    int removed = RemoveOwnRules();
    if (removed >= 0)
        log.Report(FormatFirewallRulesRemoved(removed));
}
}

BOOL CMappingApp::InitInstance()
{
    // The setup's and the uninstaller's switches: no window of this copy's own.
    if (HasArgument("/unregister")) {
        SetRegistryKey("Gatewright");
        Unregister();
        return FALSE;
    }
    if (HasArgument("/close")) {
        m_nExitCode = CloseFirstCopy(kCloseForSetupMs);
        return FALSE;
    }
    // A second copy hands over to the first before it changes anything.
    COneCopy oneCopy;
    if (!oneCopy.Claim())
        return FALSE;

    // The main window uses the list-view and IP-address classes.
    INITCOMMONCONTROLSEX classes = { sizeof classes, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES };
    ::InitCommonControlsEx(&classes);
    SetRegistryKey("Gatewright");

    CMappingDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
