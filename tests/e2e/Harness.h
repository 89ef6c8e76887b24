#pragma once
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>

// What the end-to-end tests need from the outside world, set by scripts/check.sh.
struct TestEnvironment {
    std::string appExe;     // Gatewright.exe built for the Wine that runs the tests
    std::string driverExe;  // uidriver.exe of the same build
    std::string router;     // scripts/router.sh
    std::string lanPrefix;  // Wine prefix of the LAN host
    std::string workDir;    // scratch space, one folder per test
    std::string wine;
    static const TestEnvironment& Get();
};

// A Linux path as the Windows programs under Wine see it (drive Z:).
std::string WindowsPath(const std::string& linuxPath);

// Runs a shell command; returns its standard output, and its exit status in *status.
std::string RunShell(const std::string& command, int* status = nullptr);
// GBK bytes (the program's texts) as UTF-8, the tests' own encoding.
std::string GbkToUtf8(const std::string& gbk);
// Polls until done() is true or the time is up; returns done()'s last answer.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs = 100);

// How many of the lines start with start.
size_t CountStarting(const std::vector<std::string>& lines, const std::string& start);

// The demo router in its namespaces (scripts/router.sh).
class Router {
public:
    static void Run(const std::string& command);
    // What a command of router.sh printed.
    static std::string Output(const std::string& command);
    static std::string Variable(const std::string& name);  // from `router.sh env`
    static std::vector<std::string> Mappings();             // `router.sh list`
    // SOAP requests of one action (e.g. "AddPortMapping") in the router's log.
    static int Requests(const std::string& action);
    // PCP requests in the router's log.
    static int PcpRequests();
};

// While it lives, the router drops what it receives that matches an nft
// expression ("udp dport 1900"), counting it; each drop has a table of its own.
class RouterDrop {
public:
    RouterDrop(const std::string& table, const std::string& match);
    ~RouterDrop();
    RouterDrop(const RouterDrop&) = delete;
    RouterDrop& operator=(const RouterDrop&) = delete;
    // The table's listing, with its counter.
    std::string Listing() const;

private:
    std::string m_strTable;
};

// While it lives, a program on the LAN host listens on the TCP port (or is
// bound to the UDP port) at every address.
class LanListener {
public:
    explicit LanListener(int port, bool udp = false);
    ~LanListener();
    LanListener(const LanListener&) = delete;
    LanListener& operator=(const LanListener&) = delete;

private:
    int m_nPid = -1;
};

// Moves the calling process into a network namespace of the lab ("gw-router").
bool EnterNamespace(const char* name);

// A TCP connection from the WAN host to the router's WAN address and
// externalPort, answered by a listener on the LAN host's localPort: true when
// the bytes went there and back.
bool ConnectThroughRouter(int externalPort, int localPort);
// The same over IPv6, straight to the LAN host's global address: true when
// the router's firewall let it in.
bool ConnectOverIpv6(int localPort);

// The UI driver, running in the LAN namespace beside the program it starts.
class Driver {
public:
    Driver();
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    // Sends one command; returns the answer after "ok " or fails the test.
    std::string Call(const std::string& command);
    // Sends one command; true when it answered "ok".
    bool TryCall(const std::string& command, std::string* answer = nullptr);

    std::string Text(int id) { return Call("text " + std::to_string(id)); }
    std::string Address(int id) { return Call("address " + std::to_string(id)); }
    bool Enabled(int id) { return Call("enabled " + std::to_string(id)) == "1"; }
    bool Checked(int id) { return Call("checked " + std::to_string(id)) == "1"; }
    void Click(int id) { Call("click " + std::to_string(id)); }
    void Command(int id) { Call("command " + std::to_string(id)); }
    void Post(unsigned msg, long wParam = 0, long lParam = 0);
    long Send(unsigned msg, long wParam = 0, long lParam = 0);
    // "caption|text" of the next message box, or "" when none came in time.
    std::string MessageBox(int timeoutMs);
    bool WaitDialog(const std::string& caption, int timeoutMs);
    void Press(int buttonId) { Call("press " + std::to_string(buttonId)); }
    bool WaitExit(int timeoutMs);

private:
    int m_pid = -1;
    int m_in = -1;
    int m_out = -1;
    std::string m_buffer;
};

// One run of the program: a fresh folder with its own copy of the executable
// (so it has its own logs folder), a clean profile, and the driver.
class AppTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the program and waits for its main window.
    void Launch();
    // Waits for the discovery worker to finish with the gateway found.
    bool WaitForGateway(int timeoutMs = 30000);
    // Asks the program to close (WM_CLOSE, or a menu command) until it has
    // ended: the worker marks discovery finished only a moment after the window
    // shows its result, and a close in between is refused with a message box.
    bool CloseProgram(long command = 0, int timeoutMs = 20000);
    // Messages of today's log file, in order, converted to UTF-8; of the
    // program in this test's folder, or in another.
    std::vector<std::string> LogMessages() const { return LogMessagesIn(m_folder); }
    static std::vector<std::string> LogMessagesIn(const std::string& folder);
    bool WaitForLogMessage(const std::string& message, int timeoutMs);
    // Starts with the rows seeded, the interval set and Start pressed; waits
    // until the first run has added every row.
    void StartMapping(const std::vector<std::string>& records, const std::string& interval);
    // Stores mapping records and their count as the program's profile.
    void SeedRows(const std::vector<std::string>& records);
    // The rows of the mapping list as the window shows them, cells joined by tabs.
    std::vector<std::string> ListRows(int list = 1002);

    std::string m_folder;
    Driver m_driver;

public:
    const std::string& Folder() const { return m_folder; }
};

// A test with one of the demo router's roles switched on, and off again after it.
class RoleTest : public AppTest {
protected:
    explicit RoleTest(const std::string& role) : m_strRole(role) {}
    void SetUp() override;
    void TearDown() override;

private:
    std::string m_strRole;
};
