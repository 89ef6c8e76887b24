// mapping_bench program|bare|answer|outage ROWS
//
// Finds the gateway once, then times one mapping run over ROWS TCP rows (local
// port 20000+i, external port 30000+i, to this machine's LAN address):
//   program  the main window's own run, in the window run modally as the program
//            runs it, through its gateway worker (it closes before it ever shows)
//            prints "rows=N mode=program ms=T"
//   bare     the same lookups and adds as a plain loop, no window: the floor;
//            it starts as long after its search as the program's run does
//            prints "rows=N mode=bare ms=T"
//   answer   the program's run again, with the window's slowest answer during it
//            prints "rows=N mode=answer worst_ms=W"
//   outage   the program maps the rows and prints "mapped"; the script then hangs
//            the router, lets it answer again and writes "answering" to standard
//            input. Prints the window's slowest answer until then and the time
//            from "answering" to a run with every row live:
//            "rows=N mode=outage worst_ms=W back_ms=T"
#include "../app/MappingDlg.h"
#include "../framework/App.h"
#include "../gateway/Discovery.h"
#include "../gateway/GatewayInfo.h"
#include "../gateway/GatewayWorker.h"
#include "../mappings/MappingList.h"
#include <winsock2.h>
#include <commctrl.h>
#include <upnpcommands.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <thread>
#include <string>
#include <vector>

namespace {
const int kSearchDelayMs = 500;
const unsigned char kMulticastTtl = 2;
const int kFirstLocalPort = 20000;
const int kFirstExternalPort = 30000;
const int kMaxRows = 10000;
const char* kDescription = "Gatewright";
const DWORD kAnswerPollMs = 20;
// The window's own timers use small ids; this one is the benchmark's.
const UINT_PTR kSettleTimerId = 0x6B00;
const UINT kSettleMs = 500;

// The dialog needs an application object; the benchmark drives it from main.
class CBenchApp : public CApp {
public:
    BOOL InitInstance() override { return FALSE; }
} g_app;

// The bare loop's own gateway, found as the worker finds it.
GatewayInfo g_gatewayInfo;

struct GatewayAddresses {
    std::string lan;
    std::string host;
    std::string external;
};

class CStopwatch {
public:
    CStopwatch() { ::QueryPerformanceCounter(&m_start); }
    double ElapsedMs() const
    {
        LARGE_INTEGER now, frequency;
        ::QueryPerformanceCounter(&now);
        ::QueryPerformanceFrequency(&frequency);
        return 1000.0 * static_cast<double>(now.QuadPart - m_start.QuadPart)
            / static_cast<double>(frequency.QuadPart);
    }

private:
    LARGE_INTEGER m_start;
};

// Fills g_gatewayInfo as the gateway worker does, but on this thread and
// with a shorter search: the bare loop's gateway, and this machine's address.
bool FindGateway(GatewayAddresses* addresses)
{
    int error = 0;
    UPNPDev* devices = upnpDiscover(kSearchDelayMs, nullptr, nullptr, 0, 0, kMulticastTtl, &error);
    if (!devices)
        return false;
    char lan[64] = {};
    int result = UPNP_GetValidIGD(devices, &g_gatewayInfo.urls, &g_gatewayInfo.data, lan, sizeof lan);
    freeUPNPDevlist(devices);
    // Only a connected gateway gives numbers worth comparing.
    if (result != 1)
        return false;
    char external[40] = {};
    UPNP_GetExternalIPAddress(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype, external);
    addresses->lan = lan;
    addresses->host = HostFromUrl(g_gatewayInfo.urls.controlURL);
    addresses->external = external;
    return true;
}

std::vector<MappingEntry> BenchRows(int count, const std::string& lanAddress)
{
    std::vector<MappingEntry> rows;
    for (int i = 0; i < count; ++i)
        rows.push_back({ "TCP", std::to_string(kFirstLocalPort + i), std::to_string(kFirstExternalPort + i),
                         lanAddress, "" });
    return rows;
}

// Asks the window for an answer every few milliseconds from another thread and
// keeps the slowest: a window that waits on the network answers late.
class CAnswerWatch {
public:
    CAnswerWatch() : m_hStopped(::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~CAnswerWatch()
    {
        Stop();
        ::CloseHandle(m_hStopped);
    }
    void Start(HWND hWnd)
    {
        m_bRunning = true;
        m_thread = std::thread([this, hWnd] {
            while (m_bRunning) {
                CStopwatch asked;
                DWORD_PTR result = 0;
                ::SendMessageTimeoutA(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 60000, &result);
                double ms = asked.ElapsedMs();
                std::lock_guard<std::mutex> guard(m_lock);
                m_worstMs = std::max(m_worstMs, ms);
                ::Sleep(kAnswerPollMs);
            }
            ::SetEvent(m_hStopped);
        });
    }
    // On the window's thread: it answers the last question while it waits.
    void Stop()
    {
        if (!m_thread.joinable())
            return;
        m_bRunning = false;
        while (::MsgWaitForMultipleObjects(1, &m_hStopped, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
            MSG msg;
            ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
        m_thread.join();
    }
    // The slowest answer since the last call.
    double TakeWorstMs()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        double worst = m_worstMs;
        m_worstMs = 0;
        return worst;
    }

private:
    std::thread m_thread;
    std::atomic<bool> m_bRunning{ false };
    HANDLE m_hStopped;
    std::mutex m_lock;
    double m_worstMs = 0;
};

// Posted by the standard-input reader when the benchmark script says the
// router answers again after an outage.
const UINT WM_APP_ROUTER_ANSWERS = WM_APP + 40;

// The main window as the program runs it, with its own gateway worker. Once
// the worker has found the gateway and the window has drawn it (half a second
// later), Start is pressed, and the first run is
// timed until the worker posts its end. In the outage case the window then
// says "mapped", goes on while the script hangs the router, and times the way
// back: from "answering" on standard input to a run with every row live.
class CBenchDlg : public CMappingDlg {
public:
    CBenchDlg(const std::vector<MappingEntry>& rows, bool watchAnswers, bool outage)
        : m_rows(rows), m_bWatchAnswers(watchAnswers), m_bOutage(outage)
    {
    }
    double ElapsedMs() const { return m_elapsedMs; }
    double WorstAnswerMs() const { return m_worstAnswerMs; }
    int ListedRows() const { return m_listedRows; }

protected:
    BOOL OnInitDialog() override
    {
        BOOL result = CMappingDlg::OnInitDialog();
        for (const MappingEntry& row : m_rows)
            AppendMappingEntry(m_listMappings, row);
        m_listedRows = m_listMappings.GetItemCount();
        return result;
    }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_TIMER && wParam == kSettleTimerId) {
            ::KillTimer(m_hWnd, kSettleTimerId);
            PressStart();
            return 0;
        }
        if (msg == WM_APP_ROUTER_ANSWERS) {
            m_worstAnswerMs = m_answers.TakeWorstMs();
            m_watch = CStopwatch();
            m_bRecovering = true;
            return 0;
        }
        if (msg != WM_APP_GATEWAY_EVENT)
            return CMappingDlg::WindowProc(msg, wParam, lParam);
        // The run ends when the worker's report of it arrives; showing it is the window's own work.
        double arrivedMs = m_watch.ElapsedMs();
        GatewayEvent event = *reinterpret_cast<const GatewayEvent*>(lParam);
        LRESULT result = CMappingDlg::WindowProc(msg, wParam, lParam);
        if (event.kind == GatewayEvent::RunDone) {
            OnRunDone(event, arrivedMs);
        } else if (event.kind == GatewayEvent::Found && !m_bStarted) {
            m_bStarted = true;
            // Locking the settings is Start's work on the window, not the run's:
            // done here, its repaint is over before the clock starts.
            EnableMappingControls(FALSE);
            // A user presses Start once the window shows the router, not while it draws it.
            ::SetTimer(m_hWnd, kSettleTimerId, kSettleMs, nullptr);
        }
        return result;
    }

    void PressStart()
    {
        // Asking the window costs it time too: only when its answers are measured.
        if (m_bWatchAnswers)
            m_answers.Start(m_hWnd);
        m_watch = CStopwatch();
        OnBnClickedStart();
    }

private:
    static bool AllLive(const GatewayEvent& event)
    {
        return std::all_of(event.rows.begin(), event.rows.end(),
                           [](const RowResult& row) { return row.state == RowState::Live; });
    }

    void OnRunDone(const GatewayEvent& event, double arrivedMs)
    {
        if (m_elapsedMs == 0 && !m_bOutage) {
            m_elapsedMs = arrivedMs;
            Finish();
        } else if (m_elapsedMs == 0) {
            m_elapsedMs = arrivedMs;
            std::printf("mapped\n");
            std::fflush(stdout);
            HWND hWnd = m_hWnd;
            std::thread([hWnd] {
                std::string line;
                while (std::getline(std::cin, line) && line.compare(0, 9, "answering") != 0) {
                }
                ::PostMessageA(hWnd, WM_APP_ROUTER_ANSWERS, 0, 0);
            }).detach();
        } else if (m_bRecovering && AllLive(event)) {
            m_elapsedMs = arrivedMs;
            Finish();
        }
    }

    void Finish()
    {
        m_answers.Stop();
        if (!m_bOutage)
            m_worstAnswerMs = m_answers.TakeWorstMs();
        // The mappings stay for the next case: no Stop, no close rules.
        EndDialog(IDOK);
    }

    const std::vector<MappingEntry>& m_rows;
    const bool m_bWatchAnswers;
    const bool m_bOutage;
    bool m_bStarted = false;
    bool m_bRecovering = false;
    CAnswerWatch m_answers;
    CStopwatch m_watch;
    double m_elapsedMs = 0;
    double m_worstAnswerMs = 0;
    int m_listedRows = 0;
};

// Runs the main window over the rows; *listedRows gets how many it listed.
void RunProgram(CBenchDlg& dialog, int* listedRows)
{
    INITCOMMONCONTROLSEX classes = { sizeof classes, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES };
    ::InitCommonControlsEx(&classes);
    g_app.m_pMainWnd = &dialog;
    dialog.DoModal();
    g_app.m_pMainWnd = nullptr;
    *listedRows = dialog.ListedRows();
}

bool MappingExists(const MappingEntry& row)
{
    char client[40] = {};
    char port[8] = {};
    char lease[16] = {};
    return UPNP_GetSpecificPortMappingEntry(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype,
                                            row.externalPort.c_str(), row.protocol.c_str(), nullptr, client,
                                            port, nullptr, nullptr, lease) == UPNPCOMMAND_SUCCESS;
}

void AddMapping(const MappingEntry& row)
{
    UPNP_AddPortMapping(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype,
                        row.externalPort.c_str(), row.localPort.c_str(), row.internalIp.c_str(), kDescription,
                        row.protocol.c_str(), nullptr, "3600");
}

double TimeBareLoop(const std::vector<MappingEntry>& rows)
{
    // The program's run begins half a second after the router answered, as a
    // user presses Start. The first request after a pause is slower (idle
    // cores wake, the router's caches are cold): both wait alike, so that
    // the difference is the program's own.
    ::Sleep(kSettleMs);
    CStopwatch watch;
    for (const MappingEntry& row : rows) {
        if (!MappingExists(row))
            AddMapping(row);
    }
    return watch.ElapsedMs();
}

int Usage()
{
    std::fprintf(stderr, "usage: mapping_bench program|bare|answer|outage ROWS (ROWS 1..%d)\n", kMaxRows);
    return 2;
}
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return Usage();
    std::string mode = argv[1];
    int rowCount = std::atoi(argv[2]);
    if ((mode != "program" && mode != "bare" && mode != "answer" && mode != "outage") || rowCount < 1
        || rowCount > kMaxRows)
        return Usage();

    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        std::fprintf(stderr, "mapping_bench: no socket layer\n");
        return 1;
    }
    GatewayAddresses addresses;
    if (!FindGateway(&addresses)) {
        std::fprintf(stderr, "mapping_bench: no connected gateway found\n");
        return 1;
    }
    std::vector<MappingEntry> rows = BenchRows(rowCount, addresses.lan);
    int listedRows = rowCount;
    if (mode == "bare") {
        std::printf("rows=%d mode=bare ms=%.1f\n", listedRows, TimeBareLoop(rows));
    } else {
        CBenchDlg dialog(rows, mode != "program", mode == "outage");
        RunProgram(dialog, &listedRows);
        if (mode == "program")
            std::printf("rows=%d mode=program ms=%.1f\n", listedRows, dialog.ElapsedMs());
        else if (mode == "answer")
            std::printf("rows=%d mode=answer worst_ms=%.1f\n", listedRows, dialog.WorstAnswerMs());
        else
            std::printf("rows=%d mode=outage worst_ms=%.1f back_ms=%.1f\n", listedRows, dialog.WorstAnswerMs(),
                        dialog.ElapsedMs());
    }
    ::WSACleanup();
    return 0;
}
