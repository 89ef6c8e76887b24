#include "MappingDlg.h"
#include "AboutDlg.h"
#include "../framework/App.h"
#include "../desktop/Autostart.h"
#include "../desktop/OneCopy.h"
#include "../mappings/MappingList.h"
#include "../mappings/MappingStore.h"
#include "../framework/Format.h"

namespace {
const UINT kRefreshTimerId = 1;
// Reserved by the window's message routing; answered with 0.
const UINT WM_RESERVED_102 = WM_USER + 102;
}

BEGIN_MESSAGE_MAP(CMappingDlg)
    ON_WM_SYSCOMMAND()
    ON_WM_PAINT()
    ON_WM_QUERYDRAGICON()
    ON_BN_CLICKED(IDC_START, OnBnClickedStart)
    ON_COMMAND(IDM_ABOUT, OnAbout)
    ON_COMMAND(IDM_ADD_MAPPING, OnAddMapping)
    ON_NOTIFY(NM_RCLICK, IDC_MAPPING_LIST, OnRClickMappingList)
    ON_COMMAND(IDM_DELETE_MAPPING, OnDeleteMapping)
    ON_BN_CLICKED(IDC_STOP, OnBnClickedStop)
    ON_WM_CLOSE()
    ON_COMMAND(IDM_TRAY_SHOW, OnTrayShow)
    ON_COMMAND(IDM_TRAY_EXIT, OnTrayExit)
    ON_COMMAND(IDM_HOME_PAGE, OnHomePage)
    ON_BN_CLICKED(IDC_AUTOSTART, OnBnClickedAutostart)
    ON_COMMAND(IDM_VISIT_EXTERNAL_IP, OnVisitExternalIp)
    ON_COMMAND(IDM_COPY_EXTERNAL_IP, OnCopyExternalIp)
    ON_COMMAND(IDM_COPY_IPV6_ADDRESS, OnCopyIpv6Address)
    ON_COMMAND(IDM_ALLOW_IN_FIREWALL, OnAllowInFirewall)
    ON_COMMAND(IDM_VIEW_ROUTER_TABLE, OnViewRouterTable)
    ON_WM_LBUTTONDOWN()
    ON_MESSAGE(WM_RESERVED_102, OnReservedMessage)
    ON_MESSAGE(WM_APP_SHOW_STATUS, OnShowStatus)
    ON_MESSAGE(WM_APP_GATEWAY_EVENT, OnGatewayEvent)
    ON_MESSAGE(WM_APP_CLOSE_REQUEST, OnCloseRequest)
    ON_WM_TIMER()
    ON_MESSAGE(WM_QUERYENDSESSION, OnQueryEndSession)
    ON_MESSAGE(WM_ENDSESSION, OnEndSession)
END_MESSAGE_MAP()

CMappingDlg::CMappingDlg()
    : CDialog(IDD_MAPPING_DIALOG)
    , m_hIcon(::LoadIconA(GetApp()->m_hInstance, MAKEINTRESOURCEA(IDR_MAINFRAME)))
    , m_nRefreshTimerId(kRefreshTimerId)
    , m_nid()
    , m_log(std::make_shared<ActivityLog>())
    , m_worker(std::make_shared<CGatewayWorker>(m_log))
{
}

CMappingDlg::~CMappingDlg()
{
    m_worker->Release();
}

void CMappingDlg::DoDataExchange()
{
    m_listMappings.Attach(GetDlgItem(IDC_MAPPING_LIST).m_hWnd);
}

BOOL CMappingDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_log->Attach(GetDlgItem(IDC_STATUS_LINE).m_hWnd);

    AppendAboutItem();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    CheckButton(IDC_AUTOSTART, IsAutostartEnabled());
    ReportLogonTask(RenewLogonTask());

    GetDlgItem(IDC_REFRESH_INTERVAL).SetWindowText(FormatText("%d", MappingStore::LoadInterval()).c_str());

    m_bDiscoveryDone = false;
    // The worker's results are posted: they arrive once this initialisation
    // has finished and the list is complete.
    StartGateway();
    SetUpMappingList(m_listMappings);
    AddTrayIcon();
    MappingStore::LoadEntries(m_listMappings);
    MarkFirstCopyWindow(m_hWnd);
    return TRUE;
}

void CMappingDlg::AppendAboutItem()
{
    HMENU hSystemMenu = ::GetSystemMenu(m_hWnd, FALSE);
    char text[256] = {};
    if (!hSystemMenu || ::LoadStringA(GetApp()->m_hInstance, IDS_ABOUTBOX, text, sizeof text) <= 0)
        return;
    ::AppendMenuA(hSystemMenu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(hSystemMenu, MF_STRING, IDM_ABOUTBOX, text);
}

bool CMappingDlg::StartGatewayWorker()
{
    return m_worker->Start(m_hWnd);
}

void CMappingDlg::StartGateway()
{
    if (StartGatewayWorker())
        return;
    // Without the worker nothing would ever allow the window to close.
    Report("错误: 无法启动搜索网关的线程，请重新启动本程序。");
    EndDiscovery();
}

void CMappingDlg::EndDiscovery()
{
    m_bDiscoveryDone = true;
    if (m_bCloseRequested)
        BeginClose();
}

LRESULT CMappingDlg::OnCloseRequest(WPARAM, LPARAM)
{
    // Another program (the setup) asks: no box, the close comes once it may.
    // A box left open would hold the process in its own loop after the close.
    EndModalDialogs();
    m_bCloseRequested = true;
    if (m_bDiscoveryDone)
        BeginClose();
    return 0;
}

void CMappingDlg::TrackMenuAtCursor(UINT menuId, UINT flags)
{
    POINT cursor;
    ::GetCursorPos(&cursor);
    HMENU hMenu = ::LoadMenuA(GetApp()->m_hInstance, MAKEINTRESOURCEA(menuId));
    // The menu closes on a click elsewhere only when its owner is in the foreground.
    SetForegroundWindow();
    ::TrackPopupMenu(::GetSubMenu(hMenu, 0), flags, cursor.x, cursor.y, 0, m_hWnd, nullptr);
    // Lets the menu close properly when the user clicks elsewhere.
    PostMessage(WM_NULL);
    ::DestroyMenu(hMenu);
}

void CMappingDlg::OnSysCommand(UINT nID, LPARAM)
{
    if ((nID & 0xFFF0) == IDM_ABOUTBOX)
        OnAbout();
    else
        Default();
}

void CMappingDlg::OnAbout()
{
    CAboutDlg about;
    about.DoModal();
}

void CMappingDlg::OnPaint()
{
    if (!IsIconic()) {
        Default();
        return;
    }
    PAINTSTRUCT paint;
    HDC hdc = ::BeginPaint(m_hWnd, &paint);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(hdc), 0);
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    DrawCentredIcon(hdc, client);
    ::EndPaint(m_hWnd, &paint);
}

void CMappingDlg::DrawCentredIcon(HDC hdc, const RECT& client) const
{
    int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(hdc, x, y, m_hIcon);
}

HCURSOR CMappingDlg::OnQueryDragIcon()
{
    return static_cast<HCURSOR>(m_hIcon);
}

void CMappingDlg::OnLButtonDown(UINT, POINT point)
{
    // Dragging the background moves the window as if its caption were held.
    GetApp()->m_pMainWnd->PostMessage(WM_NCLBUTTONDOWN, HTCAPTION, MAKELPARAM(point.x, point.y));
    Default();
}

LRESULT CMappingDlg::OnReservedMessage(WPARAM, LPARAM)
{
    return 0;
}

LRESULT CMappingDlg::OnShowStatus(WPARAM, LPARAM)
{
    m_log->ShowLatest();
    return 0;
}

void CMappingDlg::OnClose()
{
    if (!m_bDiscoveryDone) {
        GetApp()->MessageBox("设备正在初始化，无法关闭窗口！", MB_OK);
        return;
    }
    BeginClose();
}
