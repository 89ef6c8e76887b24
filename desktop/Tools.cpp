// The tools menu, the home page and the start-with-Windows check box.
#include "../app/MappingDlg.h"
#include "../framework/App.h"
#include "../framework/Format.h"
#include "Autostart.h"

namespace {
const SIZE_T kClipboardBlock = 64;

void OpenInBrowser(const std::string& address)
{
    ::ShellExecuteA(nullptr, "open", address.c_str(), nullptr, nullptr, SW_SHOW);
}

// The external address; empty after telling the user that there is none yet
// (no router has answered, or a refresh found none).
std::string KnownExternalAddress(const CDialog& dialog)
{
    std::string address = dialog.GetAddressItem(IDC_EXTERNAL_ADDRESS).GetAddressText();
    if (address.empty())
        GetApp()->MessageBox("还没有获取到外网IP!");
    return address;
}
}

void CMappingDlg::OnCopyExternalIp()
{
    std::string address = KnownExternalAddress(*this);
    if (address.empty())
        return;
    HGLOBAL hBlock = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kClipboardBlock);
    char* text = hBlock ? static_cast<char*>(::GlobalLock(hBlock)) : nullptr;
    if (!text) {
        ::GlobalFree(hBlock);
        GetApp()->MessageBox("复制外网IP到剪贴板异常.");
        return;
    }
    lstrcpynA(text, address.c_str(), kClipboardBlock);
    ::GlobalUnlock(hBlock);
    if (!::OpenClipboard(m_hWnd)) {
        ::GlobalFree(hBlock);
        GetApp()->MessageBox("打开剪贴板失败!");
        return;
    }
    if (!::EmptyClipboard()) {
        ::CloseClipboard();
        ::GlobalFree(hBlock);
        GetApp()->MessageBox("不能打开剪贴板! ");
        return;
    }
    if (!::SetClipboardData(CF_TEXT, hBlock)) {
        GetApp()->MessageBox("设置剪贴板内容失败!");
        ::CloseClipboard();
        ::GlobalFree(hBlock);
        return;
    }
    ::CloseClipboard();
    GetApp()->MessageBox("成功复制外网IP到剪贴板!");
}

void CMappingDlg::OnVisitExternalIp()
{
    std::string address = KnownExternalAddress(*this);
    if (!address.empty())
        OpenInBrowser("http://" + address);
}

void CMappingDlg::OnHomePage()
{
    OpenInBrowser(GATEWRIGHT_HOME_PAGE);
}

void CMappingDlg::OnBnClickedAutostart()
{
    ReportLogonTask(SetAutostart(IsButtonChecked(IDC_AUTOSTART)));
}

void CMappingDlg::ReportLogonTask(HRESULT hr)
{
    if (FAILED(hr))
        Report(FormatText("错误: 设置开机启动的计划任务失败(0x%08lX)。", static_cast<unsigned long>(hr)));
}
