#include "RouterTableDlg.h"
#include "MappingDlg.h"
#include "../framework/App.h"
#include "../framework/DottedAddress.h"
#include "../framework/Format.h"
#include "../gateway/upnp/GatewayRequests.h"
#include "../gateway/GatewayWorker.h"
#include "../gateway/local/Listeners.h"
#include "../mappings/MappingList.h"
#include "../mappings/MappingStore.h"
#include "../res/resource.h"
#include <algorithm>
#include <cstdlib>

namespace {
enum TableColumn {
    kTableProtocol, kTableExternalPort, kTableClient, kTableInternalPort, kTableDescription, kTableLease, kTableOwner
};

// How each control follows the window's size: by how much of the change its
// left, top, right and bottom move (0 stays, 1 follows).
struct Anchor {
    int id;
    int left, top, right, bottom;
};
const Anchor kAnchors[] = {
    { IDC_TABLE_LIST, 0, 0, 1, 1 },    { IDC_TABLE_STATUS, 0, 1, 1, 1 }, { IDC_TABLE_REFRESH, 0, 1, 0, 1 },
    { IDC_TABLE_DELETE, 0, 1, 0, 1 },  { IDC_TABLE_ADOPT, 0, 1, 0, 1 },  { IDCANCEL, 1, 1, 1, 1 },
};

const char* OwnerText(MappingOwner owner)
{
    switch (owner) {
    case MappingOwner::Listed:
        return "本列表";
    case MappingOwner::ThisHost:
        return "本机";
    default:
        return "其他主机";
    }
}

std::string StatusText(const TableRead& read)
{
    int count = static_cast<int>(read.mappings.size());
    switch (read.outcome) {
    case TableRead::CutAtLimit:
        return FormatText("共%d个映射（路由器的映射表超过%u个，只读取了前%u个）", count, kTableReadLimit,
                          kTableReadLimit);
    case TableRead::CutAtPageLimit:
        return FormatText("共%d个映射（路由器的映射表过大，每种协议只读取了前%u个）", count, kTablePagedReadLimit);
    case TableRead::Interrupted:
        return FormatText("读取被停止或关闭打断，映射表没有读完（已读取%d个映射）。", count);
    case TableRead::OwnOnly:
        return "此路由器不能列出映射表，下面只有本程序做的映射。";
    case TableRead::Lost:
        return FormatText("与路由器的连接已中断，映射表没有读完（已读取%d个映射）。", count);
    case TableRead::Failed:
        return FormatText("读取路由器的映射表失败: 错误代码 %d (%s)", read.code, UpnpErrorText(read.code));
    default:
        return FormatText("共%d个映射", count);
    }
}

bool IsInList(const std::vector<MappingEntry>& listed, const MappingEntry& row)
{
    return std::any_of(listed.begin(), listed.end(), [&row](const MappingEntry& entry) {
        return entry.protocol == row.protocol
            && std::atol(entry.externalPort.c_str()) == std::atol(row.externalPort.c_str());
    });
}
}

BEGIN_MESSAGE_MAP(CRouterTableDlg)
    ON_BN_CLICKED(IDC_TABLE_REFRESH, OnRefresh)
    ON_BN_CLICKED(IDC_TABLE_DELETE, OnDelete)
    ON_BN_CLICKED(IDC_TABLE_ADOPT, OnAdopt)
    ON_NOTIFY(LVN_GETDISPINFOA, IDC_TABLE_LIST, OnGetDispInfo)
    ON_MESSAGE(WM_SIZE, OnSize)
    ON_MESSAGE(WM_GETMINMAXINFO, OnGetMinMaxInfo)
END_MESSAGE_MAP()

HWND CRouterTableDlg::s_hOpen = nullptr;
HHOOK CRouterTableDlg::s_hFilter = nullptr;

CRouterTableDlg::CRouterTableDlg(CMappingDlg& main) : CDialog(IDD_ROUTER_TABLE), m_main(main) {}

LRESULT CALLBACK CRouterTableDlg::MessageFilter(int code, WPARAM wParam, LPARAM lParam)
{
    auto* msg = reinterpret_cast<MSG*>(lParam);
    bool ours = code == MSGF_DIALOGBOX && s_hOpen && (msg->hwnd == s_hOpen || ::IsChild(s_hOpen, msg->hwnd));
    if (ours && ::IsDialogMessageA(s_hOpen, msg))
        return TRUE;
    return ::CallNextHookEx(s_hFilter, code, wParam, lParam);
}

LRESULT CRouterTableDlg::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG) {
        s_hOpen = m_hWnd;
        s_hFilter = ::SetWindowsHookExA(WH_MSGFILTER, MessageFilter, nullptr, ::GetCurrentThreadId());
    } else if (msg == WM_DESTROY) {
        ::UnhookWindowsHookEx(s_hFilter);
        s_hOpen = nullptr;
        s_hFilter = nullptr;
    }
    return CDialog::WindowProc(msg, wParam, lParam);
}

BOOL CRouterTableDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_listTable.Attach(::GetDlgItem(m_hWnd, IDC_TABLE_LIST));
    m_listTable.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    const struct {
        const char* heading;
        int width;
    } columns[] = { { "协议", 44 }, { "外部端口", 64 }, { "内网IP", 96 }, { "内部端口", 64 },
                    { "描述", 140 }, { "剩余租期", 70 }, { "归属", 70 } };
    for (int column = 0; column < 7; ++column)
        m_listTable.InsertColumn(column, columns[column].heading, LVCFMT_LEFT, columns[column].width);
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    m_templateSize = { client.right, client.bottom };
    for (const Anchor& anchor : kAnchors) {
        RECT rect;
        ::GetWindowRect(::GetDlgItem(m_hWnd, anchor.id), &rect);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rect), 2);
        m_layout.push_back(rect);
    }
    RequestTable();
    return TRUE;
}

void CRouterTableDlg::RequestTable()
{
    ShowStatus("正在读取路由器的映射表...");
    m_main.m_worker->PostReadTable();
}

void CRouterTableDlg::ShowStatus(const std::string& text) const
{
    GetDlgItem(IDC_TABLE_STATUS).SetWindowText(text.c_str());
}

void CRouterTableDlg::ShowTable(const TableRead& read)
{
    // The list asks for each cell it shows: the largest table costs the window nothing.
    m_mappings = read.mappings;
    m_listTable.SetItemCount(0);
    ShowOwners();
    m_listTable.SetItemCount(static_cast<int>(m_mappings.size()));
    ShowStatus(StatusText(read));
}

void CRouterTableDlg::ShowOwners()
{
    std::vector<MappingEntry> listed = m_main.ReadRows();
    std::vector<std::string> thisMachine = { m_main.GetAddressItem(IDC_LAN_ADDRESS).GetAddressText() };
    for (DWORD address : ThisMachineAddresses())
        thisMachine.push_back(DottedText(address));
    m_owners.clear();
    for (const RouterMapping& mapping : m_mappings)
        m_owners.push_back(OwnerText(OwnerOf(mapping, listed, thisMachine)));
    m_listTable.RedrawItems(0, static_cast<int>(m_mappings.size()) - 1);
}

void CRouterTableDlg::OnGetDispInfo(NMHDR* pNMHDR, LRESULT*)
{
    LVITEMA& item = reinterpret_cast<NMLVDISPINFOA*>(pNMHDR)->item;
    if (!(item.mask & LVIF_TEXT) || item.iItem < 0 || static_cast<size_t>(item.iItem) >= m_mappings.size())
        return;
    const RouterMapping& mapping = m_mappings[static_cast<size_t>(item.iItem)];
    std::string lease = mapping.leaseLeft ? std::to_string(mapping.leaseLeft) : "永久";
    const std::string cells[] = { mapping.protocol, mapping.externalPort, mapping.internalClient, mapping.internalPort,
                                  mapping.description, lease, m_owners[static_cast<size_t>(item.iItem)] };
    if (item.iSubItem >= 0 && item.iSubItem <= kTableOwner && item.cchTextMax > 0)
        ::lstrcpynA(item.pszText, cells[item.iSubItem].c_str(), item.cchTextMax);
}

std::vector<RouterMapping> CRouterTableDlg::SelectedMappings() const
{
    std::vector<RouterMapping> selected;
    for (int row = m_listTable.GetNextSelected(-1); row != -1; row = m_listTable.GetNextSelected(row))
        selected.push_back(m_mappings.at(static_cast<size_t>(row)));
    return selected;
}

void CRouterTableDlg::OnRefresh()
{
    RequestTable();
}

void CRouterTableDlg::OnDelete()
{
    std::vector<RouterMapping> selected = SelectedMappings();
    if (selected.empty()) {
        ShowStatus("还没有选中映射。");
        return;
    }
    std::string question = FormatText("确定要从路由器上删除选中的%d个映射吗？", static_cast<int>(selected.size()));
    if (GetApp()->MessageBox(question.c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
        return;
    // A listed row's mapping would come back at the next run.
    std::vector<MappingEntry> listed = m_main.ReadRows();
    std::vector<RouterMapping> deleted;
    for (const RouterMapping& mapping : selected) {
        int row = m_main.m_bMappingActive ? ListedRowOf(mapping, listed) : 0;
        if (row)
            m_main.Report(FormatText("第%d行的映射正在使用中，请先在主窗口中删除该行。", row));
        else
            deleted.push_back(mapping);
    }
    if (deleted.empty())
        return;
    ShowStatus("正在读取路由器的映射表...");
    m_main.m_worker->PostDeleteFromTable(std::move(deleted));
}

void CRouterTableDlg::OnAdopt()
{
    std::vector<MappingEntry> listed = m_main.ReadRows();
    for (const RouterMapping& mapping : SelectedMappings()) {
        // Only what a typed row may hold: the router's answer is not to be trusted.
        MappingEntry row = { mapping.protocol, mapping.internalPort, mapping.externalPort, mapping.internalClient,
                             AsRemark(mapping.description) };
        if (!IsTypableRow(row) || IsInList(listed, row))
            continue;
        AppendMappingEntry(m_main.m_listMappings, row);
        listed.push_back(row);
    }
    MappingStore::SaveList(m_main.m_listMappings);
    ShowOwners();
}

LRESULT CRouterTableDlg::OnSize(WPARAM, LPARAM lParam)
{
    if (m_layout.empty())
        return 0;
    int dx = LOWORD(lParam) - m_templateSize.cx, dy = HIWORD(lParam) - m_templateSize.cy;
    for (size_t index = 0; index < m_layout.size(); ++index) {
        const Anchor& anchor = kAnchors[index];
        const RECT& rect = m_layout[index];
        int left = rect.left + anchor.left * dx, top = rect.top + anchor.top * dy;
        int right = rect.right + anchor.right * dx, bottom = rect.bottom + anchor.bottom * dy;
        ::MoveWindow(::GetDlgItem(m_hWnd, anchor.id), left, top, right - left, bottom - top, TRUE);
    }
    return 0;
}

LRESULT CRouterTableDlg::OnGetMinMaxInfo(WPARAM, LPARAM lParam)
{
    // Never smaller than the template: the buttons keep their row.
    RECT frame = { 0, 0, m_templateSize.cx, m_templateSize.cy };
    if (frame.right) {
        ::AdjustWindowRectEx(&frame, static_cast<DWORD>(::GetWindowLongPtrA(m_hWnd, GWL_STYLE)), FALSE,
                             static_cast<DWORD>(::GetWindowLongPtrA(m_hWnd, GWL_EXSTYLE)));
        auto* info = reinterpret_cast<MINMAXINFO*>(lParam);
        info->ptMinTrackSize = { frame.right - frame.left, frame.bottom - frame.top };
    }
    return 0;
}
