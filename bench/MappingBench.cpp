// mapping_bench program|bare|answer|outage ROWS
//
// Finds the gateway, prints "found" and waits for "start" on standard input;
// half a second later it maps ROWS TCP rows (local port 20000+i, external port
// 30000+i, to this machine's LAN address):
//   program  the main window's own run, in the window run modally as the program
//            runs it, through its gateway worker (it closes before it ever shows);
//            then, on "refresh" and half a second later, the window's refresh of
//            the same rows, as its timer starts it. Prints one line for each:
//            "rows=N mode=program run=start|refresh ms=T worker_ms=W request_ms=R library_ms=L calls=C"
//            with the time from Start (or the timer) to the results at the
//            window, and the worker's own timing of the run: all of it, its
//            requests as it waits for them, and the library calls in them
//   bare     the same requests as a plain loop, no window: the floor; the
//            refresh asks for every row and the external address, as a
//            refresh by lookups does. Prints "rows=N mode=bare run=start|refresh ms=T"
//   answer   the program's first run, with the window's slowest answer during it
//            prints "rows=N mode=answer worst_ms=W"
//   outage   the program maps the rows and prints "mapped"; the script then hangs
//            the router, lets it answer again and writes "answering". Prints the
//            window's slowest answer until then and the time from "answering"
//            to a run with every row live:
//            "rows=N mode=outage worst_ms=W back_ms=T"
//   reboot   as outage, with the refresh interval at 2 s; the script reboots
//            the router (its table emptied) and writes "answering" once it
//            answers: "rows=N mode=reboot worst_ms=W back_ms=T"
// mapping_bench found fresh|known
//   the main window with an empty list, from the window showing to the router
//   found (Start enabled): "mode=found ms=T", 0 when it was found before the
//   window showed. fresh: the router found last is forgotten first, so the
//   program searches; known: it asks that router where it was.
// mapping_bench parts CALLS
//   times two parts of the program's own cost CALLS times each: an empty call
//   handed to the thread that bounds each request, and one line of the
//   activity log. "calls=N mode=parts handover_ms=F/M logline_ms=F/M"
//   (fastest/median)
#include "../app/MappingDlg.h"
#include "../framework/App.h"
#include "../framework/DottedAddress.h"
#include "../framework/Format.h"
#include "../gateway/Adapters.h"
#include "../gateway/BoundedCall.h"
#include "../gateway/GatewayInfo.h"
#include "../gateway/GatewayWorker.h"
#include "../gateway/local/Listeners.h"
#include "../gateway/local/LocalReach.h"
#include "../gateway/Notices.h"
#include "../gateway/pcp/PortControlRouter.h"
#include "../gateway/RunTiming.h"
#include "../log/ActivityLog.h"
#include "../mappings/MappingList.h"
#include <winsock2.h>
#include <commctrl.h>
#include <upnpcommands.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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

void BareCall(const std::function<void()>& call);

void QueryExternalAddress()
{
    char external[40] = {};
    BareCall([&] {
        UPNP_GetExternalIPAddress(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype, external);
    });
}

// Fills g_gatewayInfo as the gateway worker does, but on this thread and
// with a shorter search: the bare loop's gateway, and this machine's address.
bool FindGateway(std::string* lanAddress)
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
    QueryExternalAddress();
    *lanAddress = lan;
    return true;
}

// A router without UPnP: the rows are for this machine's address on the first adapter with a gateway.
bool FindPortControlHost(std::string* lanAddress)
{
    std::vector<NetworkAdapter> routed = AdaptersWithGateways(ReadNetworkAdapters());
    if (routed.empty())
        return false;
    *lanAddress = DottedText(routed.front().address);
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

// The script's words on standard input, one a line.
enum ScriptWord { kSaysStart, kSaysRefresh, kSaysAnswering, kInputEnded };
const char* const kScriptWords[] = { "start", "refresh", "answering" };

// Blocks until the script says one of its words.
ScriptWord ReadScriptWord()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        for (int word = kSaysStart; word < kInputEnded; ++word) {
            if (line.compare(0, std::strlen(kScriptWords[word]), kScriptWords[word]) == 0)
                return static_cast<ScriptWord>(word);
        }
    }
    return kInputEnded;
}

// Standard output is a pipe: each line goes out at once, as the script waits for it.
void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Posted by the standard-input reader with each word of the script.
const UINT WM_APP_SCRIPT_SAYS = WM_APP + 40;
// The worker's run timer ends just after it has posted the run's results.
const DWORD kRunTimingWaitMs = 1000;
const DWORD kHandOverLimitMs = 3000;

enum class Mode { Program, Bare, Answer, Outage, Reboot, Found, Parts };
const char* const kModeNames[] = { "program", "bare", "answer", "outage", "reboot", "found", "parts" };
// The interval the reboot mode refreshes at.
const char* kRebootInterval = "2";

// The main window as the program runs it, with its own gateway worker. Once
// the worker has found the gateway it says "found"; half a second after the
// script's "start", Start is pressed, and the run is timed until the worker's
// results arrive. The program mode then times the refresh the script asks
// for; the outage mode says "mapped", goes on while the script hangs the
// router, and times the way back: from "answering" to a run with every row live.
class CBenchDlg : public CMappingDlg {
public:
    CBenchDlg(const std::vector<MappingEntry>& rows, Mode mode) : m_rows(rows), m_mode(mode) {}

protected:
    BOOL OnInitDialog() override
    {
        BOOL result = CMappingDlg::OnInitDialog();
        for (const MappingEntry& row : m_rows)
            AppendMappingEntry(m_listMappings, row);
        m_listedRows = m_listMappings.GetItemCount();
        HWND hWnd = m_hWnd;
        std::thread([hWnd] {
            ScriptWord word;
            do {
                word = ReadScriptWord();
                ::PostMessageA(hWnd, WM_APP_SCRIPT_SAYS, word, 0);
            } while (word != kInputEnded);
        }).detach();
        return result;
    }

    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override
    {
        if (msg == WM_TIMER && wParam == kSettleTimerId) {
            ::KillTimer(m_hWnd, kSettleTimerId);
            OnSettled();
            return 0;
        }
        // The script, not the window's timer, says when the timed refresh comes.
        if (msg == WM_TIMER && wParam == m_nRefreshTimerId && m_mode == Mode::Program)
            return 0;
        if (msg == WM_APP_SCRIPT_SAYS) {
            OnScriptSays(static_cast<ScriptWord>(wParam));
            return 0;
        }
        if (msg == WM_SHOWWINDOW && wParam && !m_bShown) {
            m_bShown = true;
            m_watch = CStopwatch();
        }
        if (msg != WM_APP_GATEWAY_EVENT)
            return CMappingDlg::WindowProc(msg, wParam, lParam);
        // The run ends when the worker's report of it arrives; showing it is the window's own work.
        double arrivedMs = m_watch.ElapsedMs();
        GatewayEvent event = *reinterpret_cast<const GatewayEvent*>(lParam);
        LRESULT result = CMappingDlg::WindowProc(msg, wParam, lParam);
        if (event.kind == GatewayEvent::RunDone) {
            OnRunDone(event, arrivedMs);
        } else if (event.kind == GatewayEvent::Found && !m_bFound && m_mode == Mode::Found) {
            m_bFound = true;
            Finish(FormatText("mode=found ms=%.1f", m_bShown ? arrivedMs : 0.0));
        } else if (event.kind == GatewayEvent::Found && !m_bFound) {
            m_bFound = true;
            // Locking the settings is Start's work on the window, not the run's:
            // done here, its repaint is over before the clock starts.
            EnableMappingControls(FALSE);
            Say("found");
        }
        return result;
    }

private:
    static bool AllLive(const GatewayEvent& event)
    {
        return std::all_of(event.rows.begin(), event.rows.end(),
                           [](const RowResult& row) { return row.state == RowState::Live; });
    }

    void OnScriptSays(ScriptWord word)
    {
        // The script has gone: nothing more will be asked.
        if (word == kInputEnded) {
            EndDialog(IDCANCEL);
            return;
        }
        if (word == kSaysAnswering) {
            m_worstAnswerMs = m_answers.TakeWorstMs();
            m_watch = CStopwatch();
            m_bRecovering = true;
            return;
        }
        // A user presses Start once the window shows the router, not while it
        // draws it; a refresh, too, comes after a pause.
        m_bRefreshAsked = word == kSaysRefresh;
        ::SetTimer(m_hWnd, kSettleTimerId, kSettleMs, nullptr);
    }

    void OnSettled()
    {
        if (m_bRefreshAsked) {
            m_watch = CStopwatch();
            m_bRefreshing = true;
            // As the window's refresh timer does.
            CMappingDlg::WindowProc(WM_TIMER, m_nRefreshTimerId, 0);
            return;
        }
        // Asking the window costs it time too: only when its answers are measured.
        if (m_mode != Mode::Program)
            m_answers.Start(m_hWnd);
        if (m_mode == Mode::Reboot)
            GetDlgItem(IDC_REFRESH_INTERVAL).SetWindowText(kRebootInterval);
        m_watch = CStopwatch();
        OnBnClickedStart();
    }

    void OnRunDone(const GatewayEvent& event, double arrivedMs)
    {
        if (m_bRecovering && AllLive(event)) {
            Finish(FormatText("rows=%d mode=%s worst_ms=%.1f back_ms=%.1f", m_listedRows,
                              kModeNames[static_cast<int>(m_mode)], m_worstAnswerMs, arrivedMs));
        } else if (m_bRefreshing) {
            Finish(RunLine("refresh", arrivedMs));
        } else if (!m_bFirstRunDone) {
            m_bFirstRunDone = true;
            OnFirstRunDone(arrivedMs);
        }
    }

    void OnFirstRunDone(double arrivedMs)
    {
        if (m_mode == Mode::Program) {
            Say(RunLine("start", arrivedMs));
        } else if (m_mode == Mode::Answer) {
            m_answers.Stop();
            Finish(FormatText("rows=%d mode=answer worst_ms=%.1f", m_listedRows, m_answers.TakeWorstMs()));
        } else {
            Say("mapped");
        }
    }

    std::string RunLine(const char* run, double arrivedMs)
    {
        RunTiming timing;
        if (!TakeRunTiming(kRunTimingWaitMs, &timing))
            return "the worker's run timing never came";
        return FormatText("rows=%d mode=program run=%s ms=%.2f worker_ms=%.3f request_ms=%.3f library_ms=%.3f "
                          "calls=%d",
                          m_listedRows, run, arrivedMs, timing.runMs, timing.requestMs, timing.libraryMs,
                          timing.libraryCalls);
    }

    void Finish(const std::string& line)
    {
        m_answers.Stop();
        Say(line);
        // The mappings stay for the next case: no Stop, no close rules.
        EndDialog(IDOK);
    }

    const std::vector<MappingEntry>& m_rows;
    const Mode m_mode;
    bool m_bShown = false;
    bool m_bFound = false;
    bool m_bFirstRunDone = false;
    bool m_bRefreshAsked = false;
    bool m_bRefreshing = false;
    bool m_bRecovering = false;
    CAnswerWatch m_answers;
    CStopwatch m_watch;
    double m_worstAnswerMs = 0;
    int m_listedRows = 0;
};

// Runs the main window over the rows until it has said its last line.
void RunProgram(const std::vector<MappingEntry>& rows, Mode mode)
{
    INITCOMMONCONTROLSEX classes = { sizeof classes, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES };
    ::InitCommonControlsEx(&classes);
    CBenchDlg dialog(rows, mode);
    g_app.m_pMainWnd = &dialog;
    dialog.DoModal();
    g_app.m_pMainWnd = nullptr;
}

// Where the bare loop makes its calls (GW_BENCH_BARE), to tell the program's
// own costs apart: "main", the default, on the main thread alone; "thread" on
// a second thread while the main one waits; "bounded" each call handed to the
// program's bounding thread and back (RunBounded), as the worker's requests
// are; "window" on a second thread while the main one runs a window's
// message loop, as the program's window does.
enum class BarePlace { Main, Thread, Bounded, Window };

BarePlace BarePlaceFromEnvironment()
{
    const char* place = std::getenv("GW_BENCH_BARE");
    std::string name = place ? place : "main";
    if (name == "thread")
        return BarePlace::Thread;
    if (name == "bounded")
        return BarePlace::Bounded;
    return name == "window" ? BarePlace::Window : BarePlace::Main;
}

const BarePlace g_barePlace = BarePlaceFromEnvironment();

// One library call of the bare loop, where its place makes it.
void BareCall(const std::function<void()>& call)
{
    if (g_barePlace == BarePlace::Bounded)
        RunBounded(call, kHandOverLimitMs);
    else
        call();
}

bool MappingExists(const MappingEntry& row)
{
    char client[40] = {};
    char port[8] = {};
    char lease[16] = {};
    int result = 0;
    BareCall([&] { result = UPNP_GetSpecificPortMappingEntry(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype,
                                            row.externalPort.c_str(), row.protocol.c_str(), nullptr, client,
                                            port, nullptr, nullptr, lease); });
    return result == UPNPCOMMAND_SUCCESS;
}

void AddMapping(const MappingEntry& row)
{
    BareCall([&] {
        UPNP_AddPortMapping(g_gatewayInfo.urls.controlURL, g_gatewayInfo.data.first.servicetype,
                            row.externalPort.c_str(), row.localPort.c_str(), row.internalIp.c_str(), kDescription,
                            row.protocol.c_str(), nullptr, "3600");
    });
}

void MapEach(const std::vector<MappingEntry>& rows)
{
    for (const MappingEntry& row : rows) {
        if (!MappingExists(row))
            AddMapping(row);
    }
}

// Runs the loop where GW_BENCH_BARE places it and waits for it.
void RunBareLoop(const std::function<void()>& loop)
{
    if (g_barePlace != BarePlace::Thread && g_barePlace != BarePlace::Window) {
        loop();
        return;
    }
    DWORD mainThread = ::GetCurrentThreadId();
    MSG msg;
    // The thread's message queue, made before the loop's end is posted to it.
    ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    std::thread second([&] {
        loop();
        ::PostThreadMessageA(mainThread, WM_QUIT, 0, 0);
    });
    if (g_barePlace == BarePlace::Window) {
        HWND window = ::CreateWindowExA(0, "STATIC", "mapping_bench", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                        nullptr, nullptr, nullptr);
        ::ShowWindow(window, SW_SHOWNOACTIVATE);
        while (::GetMessageA(&msg, nullptr, 0, 0) > 0)
            ::DispatchMessageA(&msg);
        ::DestroyWindow(window);
    }
    second.join();
    // The thread variant's quit message waits in the queue: taken, it cannot end a later loop.
    ::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
}

// The program's runs begin half a second after the script's word, as a user
// presses Start or a timer refreshes. The first request after a pause is
// slower (idle cores wake, the router's caches are cold): both wait alike,
// so that the difference is the program's own.
bool TimeBareRun(const std::vector<MappingEntry>& rows, ScriptWord word)
{
    if (ReadScriptWord() != word)
        return false;
    ::Sleep(kSettleMs);
    CStopwatch watch;
    RunBareLoop([&] {
        MapEach(rows);
        if (word == kSaysRefresh)
            QueryExternalAddress();
    });
    Say(FormatText("rows=%d mode=bare run=%s ms=%.2f", static_cast<int>(rows.size()), kScriptWords[word],
                   watch.ElapsedMs()));
    return true;
}

struct Spread {
    double fastestMs;
    double medianMs;
};

Spread TimeEach(int count, const std::function<void()>& call)
{
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        CStopwatch watch;
        call();
        times.push_back(watch.ElapsedMs());
    }
    std::sort(times.begin(), times.end());
    return { times.front(), times[times.size() / 2] };
}

// Three parts of the program's own cost, each on its own: the hand-over of a
// request to the thread that bounds it and back, with nothing to call; one
// line of the activity log, written to its file (logs\ beside this program)
// as each added mapping's line is; and the check of this machine's side after
// each run, for 100 rows of this machine (its listeners and firewall read once).
void TimeParts(int count)
{
    Spread handOver = TimeEach(count, [] { RunBounded([] {}, kHandOverLimitMs); });
    ActivityLog log;
    Spread logLine = TimeEach(count, [&log] { log.Report("mapping_bench: one line of the activity log"); });
    std::vector<DWORD> addresses = ThisMachineAddresses();
    std::vector<MappingEntry> rows = BenchRows(100, addresses.empty() ? "" : DottedText(addresses.front()));
    CNotices notices([](const std::string&) {});
    Spread localCheck = TimeEach(count / 10, [&] { CheckLocalReach(rows, notices); });
    Say(FormatText("calls=%d mode=parts handover_ms=%.4f/%.4f logline_ms=%.4f/%.4f localcheck_ms=%.3f/%.3f", count,
                   handOver.fastestMs, handOver.medianMs, logLine.fastestMs, logLine.medianMs, localCheck.fastestMs,
                   localCheck.medianMs));
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: mapping_bench program|bare|answer|outage|reboot ROWS, parts CALLS (1..%d), or found fresh|known\n",
                 kMaxRows);
    return 2;
}

// The window alone, from showing to the router found; fresh forgets the router found last.
int TimeFound(const std::string& how)
{
    if (how != "fresh" && how != "known")
        return Usage();
    if (how == "fresh")
        g_app.WriteProfileString("Settings", "LastRouter", "");
    RunProgram({}, Mode::Found);
    return 0;
}

bool ParseMode(const std::string& text, Mode* mode)
{
    for (int index = 0; index < int(std::size(kModeNames)); ++index) {
        if (text == kModeNames[index]) {
            *mode = static_cast<Mode>(index);
            return true;
        }
    }
    return false;
}
}

int main(int argc, char** argv)
{
    Mode mode;
    if (argc != 3 || !ParseMode(argv[1], &mode))
        return Usage();
    int rowCount = std::atoi(argv[2]);
    if (mode != Mode::Found && (rowCount < 1 || rowCount > kMaxRows))
        return Usage();
    if (mode == Mode::Parts) {
        TimeParts(rowCount);
        return 0;
    }

    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        std::fprintf(stderr, "mapping_bench: no socket layer\n");
        return 1;
    }
    if (mode == Mode::Found) {
        int status = TimeFound(argv[2]);
        ::WSACleanup();
        return status;
    }
    std::string lanAddress;
    if (!FindGateway(&lanAddress) && (mode != Mode::Answer || !FindPortControlHost(&lanAddress))) {
        std::fprintf(stderr, "mapping_bench: no connected gateway found\n");
        return 1;
    }
    std::vector<MappingEntry> rows = BenchRows(rowCount, lanAddress);
    int status = 0;
    if (mode == Mode::Bare) {
        Say("found");
        status = TimeBareRun(rows, kSaysStart) && TimeBareRun(rows, kSaysRefresh) ? 0 : 1;
    } else {
        RunProgram(rows, mode);
    }
    ::WSACleanup();
    return status;
}
