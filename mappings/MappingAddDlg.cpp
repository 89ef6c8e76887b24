#include "MappingAddDlg.h"
#include "MappingList.h"
#include "../framework/App.h"

BEGIN_MESSAGE_MAP(CMappingAddDlg)
    ON_BN_CLICKED(IDC_ADD_BUTTON, OnBnClickedAdd)
END_MESSAGE_MAP()

BOOL CMappingAddDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetWindowText(m_strCaption.c_str());
    GetAddressItem(IDC_ADD_ADDRESS).SetAddressText(m_strLanAddress.c_str());
    CheckButton(IDC_ADD_TCP, true);
    GetDlgItem(IDC_ADD_LOCAL_PORT).SetWindowText("80");
    GetDlgItem(IDC_ADD_EXTERNAL_PORT).SetWindowText("80");
    // Counts characters, not bytes: the add button checks the bytes.
    GetDlgItem(IDC_ADD_REMARK).SendMessage(EM_LIMITTEXT, static_cast<size_t>(kRemarkBytes));
    return TRUE;
}

void CMappingAddDlg::OnBnClickedAdd()
{
    // A blank address control counts as empty.
    MappingEntry entry;
    entry.internalIp = GetAddressItem(IDC_ADD_ADDRESS).GetAddressText();
    entry.localPort = GetDlgItem(IDC_ADD_LOCAL_PORT).GetWindowText();
    entry.externalPort = GetDlgItem(IDC_ADD_EXTERNAL_PORT).GetWindowText();
    entry.remark = GetDlgItem(IDC_ADD_REMARK).GetWindowText();
    entry.protocol = IsButtonChecked(IDC_ADD_TCP) ? "TCP" : "UDP";
    if (entry.internalIp.empty() || entry.localPort.empty() || entry.externalPort.empty()) {
        GetApp()->MessageBox("本地地址与端口项不能为空 ！", MB_OK);
        return;
    }
    // The port boxes take digits only as typed, not as pasted.
    if (!IsValidPort(entry.localPort) || !IsValidPort(entry.externalPort)) {
        GetApp()->MessageBox("端口必须是1到65535之间的数字 ！", MB_OK);
        return;
    }
    if (entry.remark.size() > static_cast<size_t>(kRemarkBytes)) {
        GetApp()->MessageBox("备注不能超过127个字节(一个汉字算2个) ！", MB_OK);
        return;
    }
    if (HasSeparator(entry.remark)) {
        GetApp()->MessageBox("备注不能包含“|” ！", MB_OK);
        return;
    }
    m_entry = entry;
    OnOK();
}
