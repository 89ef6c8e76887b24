// The tools menu, the home page and the start-with-Windows check box.
#include "MappingDlg.h"
#include "../desktop/Autostart.h"
#include "../desktop/Browser.h"
#include "../desktop/Clipboard.h"
#include "../framework/App.h"
#include "../framework/Format.h"

namespace {
// The external address; empty after telling the user that there is none yet
// (no router has answered, or a refresh found none).
std::string KnownExternalAddress(const CDialog& dialog)
{
    std::string address = dialog.GetAddressItem(IDC_EXTERNAL_ADDRESS).GetAddressText();
    if (address.empty())
        GetApp()->MessageBox("还没有获取到外网IP!");
    return address;
}

// what: the address copied, as the messages name it.
std::string ClipboardMessage(ClipboardResult result, const char* what)
{
    switch (result) {
    case ClipboardResult::Copied:
        return FormatText("成功复制%s到剪贴板!", what);
    case ClipboardResult::NoMemory:
        return FormatText("复制%s到剪贴板异常.", what);
    case ClipboardResult::CannotOpen:
        return "打开剪贴板失败!";
    case ClipboardResult::CannotEmpty:
        return "不能打开剪贴板! ";
    case ClipboardResult::CannotSet:
        break;
    }
    return "设置剪贴板内容失败!";
}
}

void CMappingDlg::OnCopyExternalIp()
{
    std::string address = KnownExternalAddress(*this);
    if (!address.empty())
        GetApp()->MessageBox(ClipboardMessage(CopyToClipboard(m_hWnd, address), "外网IP").c_str());
}

void CMappingDlg::OnCopyIpv6Address()
{
    if (m_strIpv6Address.empty())
        GetApp()->MessageBox("还没有获取到IPv6地址!");
    else
        GetApp()->MessageBox(ClipboardMessage(CopyToClipboard(m_hWnd, m_strIpv6Address), "IPv6地址").c_str());
}

void CMappingDlg::OnAllowInFirewall()
{
    // The firewall is asked on the worker's thread; its lines tell what came of it.
    m_worker->PostAllowInFirewall(ReadRows());
}

void CMappingDlg::OnViewRouterTable()
{
    if (!m_bFoundOnce) {
        GetApp()->MessageBox("还没有发现路由器!", MB_OK | MB_ICONEXCLAMATION);
        return;
    }
    if (m_pTableDlg && m_pTableDlg->IsOpen()) {
        ::SetForegroundWindow(m_pTableDlg->m_hWnd);
        return;
    }
    m_pTableDlg = std::make_unique<CRouterTableDlg>(*this);
    m_pTableDlg->Create(m_hWnd);
}

void CMappingDlg::OnVisitExternalIp()
{
    std::string address = KnownExternalAddress(*this);
    if (!address.empty())
        OpenAddress("http://" + address);
}

void CMappingDlg::OnHomePage()
{
    OpenAddress(GATEWRIGHT_HOME_PAGE);
}

void CMappingDlg::OpenAddress(const std::string& address)
{
    BrowserStart started = OpenInBrowser(address);
    if (started == BrowserStart::Direct)
        Report(FormatText("没有找到桌面外壳程序，浏览器由本程序直接打开(以管理员权限运行): %s", address.c_str()));
    else if (started == BrowserStart::Failed)
        Report(FormatText("错误: 没能打开浏览器: %s", address.c_str()));
}

void CMappingDlg::OnBnClickedAutostart()
{
    HRESULT hr = SetAutostart(IsButtonChecked(IDC_AUTOSTART));
    // Told when the box is ticked; each start after that renews quietly.
    if (hr == kLogonTaskRefused)
        Report("程序所在的文件夹普通用户可以修改，为安全起见没有创建开机计划任务；请把程序放到 Program Files 下再勾选。");
    ReportLogonTask(hr);
}

void CMappingDlg::ReportLogonTask(HRESULT hr)
{
    if (FAILED(hr))
        Report(FormatText("错误: 设置开机启动的计划任务失败(0x%08lX)。", static_cast<unsigned long>(hr)));
}
