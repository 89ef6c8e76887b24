#include "Harness.h"
#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <iconv.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

const char* kLanNamespace = "gw-lan";
const int kDriverAnswerMs = 60000;

std::string Required(const char* name)
{
    const char* value = std::getenv(name);
    if (!value || !*value) {
        std::fprintf(stderr, "environment variable %s is not set (run the tests with make check)\n", name);
        std::exit(2);
    }
    return value;
}

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}

std::string WindowsPath(const std::string& linuxPath)
{
    std::string path = "Z:" + linuxPath;
    for (char& c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

namespace {

std::string Today()
{
    time_t now = time(nullptr);
    char date[16];
    strftime(date, sizeof date, "%Y-%m-%d", localtime(&now));
    return date;
}

// The router up and the LAN host's Wine prefix started inside its namespace.
class LabEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const TestEnvironment& env = TestEnvironment::Get();
        Router::Run("up");
        std::string scripts = env.router.substr(0, env.router.rfind('/'));
        int status = 0;
        RunShell(". " + Quote(scripts + "/wine-env.sh") + " && wine_prefix_up " + Quote(env.lanPrefix)
                 + " " + kLanNamespace + " && wine_virtual_desktop " + Quote(env.lanPrefix) + " " + kLanNamespace,
                 &status);
        ASSERT_EQ(0, status) << "the LAN host's Wine prefix did not start";
    }
};

::testing::Environment* const g_lab = ::testing::AddGlobalTestEnvironment(new LabEnvironment);

}

const TestEnvironment& TestEnvironment::Get()
{
    static const TestEnvironment env = {
        Required("GW_APP_EXE"), Required("GW_DRIVER_EXE"), Required("GW_ROUTER"),
        Required("GW_LAN_PREFIX"), Required("GW_WORK_DIR"), Required("WINE"),
    };
    return env;
}

std::string RunShell(const std::string& command, int* status)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        if (status)
            *status = -1;
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    int result = pclose(pipe);
    if (status)
        *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
    return output;
}

std::string GbkToUtf8(const std::string& gbk)
{
    iconv_t cd = iconv_open("UTF-8", "GBK");
    std::string out(gbk.size() * 3 + 1, '\0');
    char* in = const_cast<char*>(gbk.data());
    size_t inLeft = gbk.size();
    char* outPtr = &out[0];
    size_t outLeft = out.size();
    size_t result = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (result == static_cast<size_t>(-1))
        return "<not GBK: " + gbk + ">";
    out.resize(out.size() - outLeft);
    return out;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int pollMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

size_t CountStarting(const std::vector<std::string>& lines, const std::string& start)
{
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.compare(0, start.size(), start) == 0;
    }));
}

void Router::Run(const std::string& command)
{
    int status = 0;
    std::string output = RunShell("bash " + Quote(TestEnvironment::Get().router) + " " + command + " 2>&1", &status);
    ASSERT_EQ(0, status) << "router.sh " << command << ":\n" << output;
}

std::string Router::Output(const std::string& command)
{
    return RunShell("bash " + Quote(TestEnvironment::Get().router) + " " + command);
}

RouterDrop::RouterDrop(const std::string& table, const std::string& match) : m_strTable(table)
{
    Router::Run("exec router nft add table inet " + table);
    Router::Run("exec router nft \"add chain inet " + table + " input { type filter hook input priority -60 ; }\"");
    Router::Run("exec router nft add rule inet " + table + " input " + match + " counter drop");
}

RouterDrop::~RouterDrop()
{
    Router::Run("exec router nft delete table inet " + m_strTable);
}

std::string RouterDrop::Listing() const
{
    return Router::Output("exec router nft list table inet " + m_strTable);
}

std::string Router::Variable(const std::string& name)
{
    std::istringstream lines(Output("env"));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, name.size() + 1, name + "=") == 0)
            return line.substr(name.size() + 1);
    }
    return std::string();
}

std::vector<std::string> Router::Mappings()
{
    std::istringstream lines(RunShell("bash " + Quote(TestEnvironment::Get().router) + " list"));
    std::vector<std::string> mappings;
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            mappings.push_back(line);
    }
    return mappings;
}

namespace {
// Lines of the router's log that hold every one of the parts.
int CountRouterLogLines(const std::vector<std::string>& parts)
{
    std::string path = RunShell("bash " + Quote(TestEnvironment::Get().router) + " log");
    path.erase(path.find_last_not_of("\n") + 1);
    std::ifstream log(path);
    std::string line;
    int count = 0;
    while (std::getline(log, line)) {
        count += std::all_of(parts.begin(), parts.end(),
                             [&](const std::string& part) { return line.find(part) != std::string::npos; });
    }
    return count;
}
}

int Router::Requests(const std::string& action)
{
    return CountRouterLogLines({ "SOAPAction:", "#" + action });
}

int Router::PcpRequests()
{
    return CountRouterLogLines({ "PCP request received" });
}

bool EnterNamespace(const char* name)
{
    int fd = open((std::string("/run/netns/") + name).c_str(), O_RDONLY);
    bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0)
        close(fd);
    return entered;
}

namespace {

// An address of the family and port: any address when host is empty.
sockaddr_storage SocketAddress(int family, const std::string& host, int port)
{
    sockaddr_storage storage = {};
    if (family == AF_INET6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(&storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = htons(port);
        if (!host.empty())
            inet_pton(AF_INET6, host.c_str(), &address->sin6_addr);
    } else {
        auto* address = reinterpret_cast<sockaddr_in*>(&storage);
        address->sin_family = AF_INET;
        address->sin_port = htons(port);
        if (!host.empty())
            inet_pton(AF_INET, host.c_str(), &address->sin_addr);
    }
    return storage;
}

// In a child: listens on the LAN host at every address (a UDP socket is only
// bound) and says "ready" on readyFd; the child ends when it cannot.
int ListenOnLan(int family, int port, int readyFd, bool udp = false)
{
    // Sockets belong to the namespace they are made in: enter it first.
    if (!EnterNamespace(kLanNamespace))
        _exit(1);
    int server = socket(family, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    int yes = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_storage address = SocketAddress(family, "", port);
    if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || (!udp && listen(server, 1) != 0)
        || write(readyFd, "r", 1) != 1)
        _exit(1);
    return server;
}

// In a child: listen on the LAN host, say "ready" on readyFd, echo one message.
void EchoOnce(int family, int port, int readyFd)
{
    int server = ListenOnLan(family, port, readyFd);
    pollfd fd = { server, POLLIN, 0 };
    if (poll(&fd, 1, 10000) != 1)
        _exit(1);
    int client = accept(server, nullptr, nullptr);
    char buffer[16];
    ssize_t n = read(client, buffer, sizeof buffer);
    _exit(n > 0 && write(client, buffer, n) == n ? 0 : 1);
}

// In a child: connect from the WAN host, send a message, expect it back.
void SendFromWan(int family, const std::string& host, int port)
{
    if (!EnterNamespace("gw-wan"))
        _exit(1);
    int sock = socket(family, SOCK_STREAM, 0);
    // On the lab's links an open path connects in milliseconds.
    timeval timeout = { 5, 0 };
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_storage address = SocketAddress(family, host, port);
    char reply[16] = {};
    bool ok = connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && write(sock, "hello", 5) == 5 && read(sock, reply, sizeof reply) == 5
        && std::string(reply, 5) == "hello";
    _exit(ok ? 0 : 1);
}

bool ChildSucceeded(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}

LanListener::LanListener(int port, bool udp)
{
    int ready[2];
    if (pipe(ready) != 0)
        return;
    m_nPid = fork();
    if (m_nPid == 0) {
        ListenOnLan(AF_INET, port, ready[1], udp);
        for (;;)
            pause();
    }
    close(ready[1]);
    char signal = 0;
    EXPECT_EQ(1, read(ready[0], &signal, 1)) << "no listener on port " << port;
    close(ready[0]);
}

LanListener::~LanListener()
{
    if (m_nPid > 0) {
        kill(m_nPid, SIGKILL);
        ChildSucceeded(m_nPid);
    }
}

namespace {
// A connection from the WAN host to host:port, answered on the LAN host's localPort.
bool ConnectFromWan(int family, const std::string& host, int port, int localPort)
{
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    pid_t listener = fork();
    if (listener == 0)
        EchoOnce(family, localPort, ready[1]);
    close(ready[1]);
    char signal = 0;
    bool listening = read(ready[0], &signal, 1) == 1;
    close(ready[0]);
    pid_t sender = listening ? fork() : -1;
    if (sender == 0)
        SendFromWan(family, host, port);
    bool sent = sender > 0 && ChildSucceeded(sender);
    if (!sent)
        kill(listener, SIGKILL);
    return ChildSucceeded(listener) && sent;
}
}

bool ConnectThroughRouter(int externalPort, int localPort)
{
    return ConnectFromWan(AF_INET, Router::Variable("ROUTER_WAN_IP"), externalPort, localPort);
}

bool ConnectOverIpv6(int localPort)
{
    return ConnectFromWan(AF_INET6, Router::Variable("LAN_IP6"), localPort, localPort);
}

Driver::Driver()
{
    const TestEnvironment& env = TestEnvironment::Get();
    int toDriver[2], fromDriver[2];
    if (pipe(toDriver) != 0 || pipe(fromDriver) != 0)
        return;
    m_pid = fork();
    if (m_pid == 0) {
        dup2(toDriver[0], 0);
        dup2(fromDriver[1], 1);
        close(toDriver[1]);
        close(fromDriver[0]);
        std::string prefix = "WINEPREFIX=" + env.lanPrefix;
        execlp("ip", "ip", "netns", "exec", kLanNamespace, "env", prefix.c_str(), env.wine.c_str(),
               env.driverExe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toDriver[0]);
    close(fromDriver[1]);
    m_in = toDriver[1];
    m_out = fromDriver[0];
    signal(SIGPIPE, SIG_IGN);
}

Driver::~Driver()
{
    if (m_in >= 0) {
        TryCall("quit");
        close(m_in);
    }
    if (m_out >= 0)
        close(m_out);
    if (m_pid > 0)
        waitpid(m_pid, nullptr, 0);
}

bool Driver::TryCall(const std::string& command, std::string* answer)
{
    std::string line = command + "\n";
    if (write(m_in, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return false;
    if (command == "quit")
        return true;
    size_t end;
    while ((end = m_buffer.find('\n')) == std::string::npos) {
        pollfd fd = { m_out, POLLIN, 0 };
        char chunk[4096];
        ssize_t n = poll(&fd, 1, kDriverAnswerMs) == 1 ? read(m_out, chunk, sizeof chunk) : 0;
        if (n <= 0)
            return false;
        m_buffer.append(chunk, n);
    }
    std::string reply = m_buffer.substr(0, end);
    m_buffer.erase(0, end + 1);
    if (!reply.empty() && reply.back() == '\r')
        reply.pop_back();
    bool ok = reply.compare(0, 2, "ok") == 0;
    if (answer)
        *answer = reply.size() > 3 ? reply.substr(3) : (ok ? std::string() : reply);
    return ok;
}

std::string Driver::Call(const std::string& command)
{
    std::string answer;
    EXPECT_TRUE(TryCall(command, &answer)) << command << " -> " << answer;
    return answer;
}

void Driver::Post(unsigned msg, long wParam, long lParam)
{
    Call("post " + std::to_string(msg) + " " + std::to_string(wParam) + " " + std::to_string(lParam));
}

long Driver::Send(unsigned msg, long wParam, long lParam)
{
    return std::stol(Call("send " + std::to_string(msg) + " " + std::to_string(wParam) + " "
                          + std::to_string(lParam)));
}

std::string Driver::MessageBox(int timeoutMs)
{
    std::string answer;
    return TryCall("msgbox " + std::to_string(timeoutMs), &answer) ? answer : std::string();
}

bool Driver::WaitDialog(const std::string& caption, int timeoutMs)
{
    return TryCall("dialog " + std::to_string(timeoutMs) + " " + caption);
}

bool Driver::WaitExit(int timeoutMs)
{
    return TryCall("wait-exit " + std::to_string(timeoutMs));
}

void AppTest::SetUp()
{
    const TestEnvironment& env = TestEnvironment::Get();
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    m_folder = env.workDir + "/" + info->test_suite_name() + "." + info->name();
    RunShell("rm -rf " + Quote(m_folder) + " && mkdir -p " + Quote(m_folder) + " && cp "
             + Quote(env.appExe) + " " + Quote(m_folder + "/Gatewright.exe"));
    Router::Run("up");
    // Every test starts from an empty mapping table.
    if (!Router::Mappings().empty())
        Router::Run("restart");
    m_driver.Call("reg-delete Software\\Gatewright");
    m_driver.Call("reg-unset Software\\Microsoft\\Windows\\CurrentVersion\\Run Gatewright");
}

void AppTest::TearDown()
{
    if (!m_driver.WaitExit(0))
        m_driver.TryCall("kill");
}

void RoleTest::SetUp()
{
    AppTest::SetUp();
    Router::Run(m_strRole + " on");
}

void RoleTest::TearDown()
{
    AppTest::TearDown();
    Router::Run(m_strRole + " off");
}

void AppTest::Launch()
{
    ASSERT_TRUE(m_driver.TryCall("launch " + WindowsPath(m_folder + "/Gatewright.exe")));
    ASSERT_TRUE(m_driver.TryCall("main 30000")) << "no main window";
}

bool AppTest::WaitForGateway(int timeoutMs)
{
    return WaitUntil([this] { return m_driver.Enabled(1005); }, timeoutMs);
}

bool AppTest::CloseProgram(long command, int timeoutMs)
{
    return WaitUntil([&] {
        std::string close = command ? "command " + std::to_string(command) : "post 16 0 0";  // WM_CLOSE
        // The window may be gone while the process is still ending.
        if (!m_driver.TryCall(close))
            return m_driver.WaitExit(5000);
        if (m_driver.WaitExit(2000))
            return true;
        if (!m_driver.MessageBox(0).empty())
            m_driver.Press(1);  // IDOK
        return false;
    }, timeoutMs, 0);
}

void AppTest::StartMapping(const std::vector<std::string>& records, const std::string& interval)
{
    SeedRows(records);
    Launch();
    ASSERT_TRUE(WaitForGateway());
    m_driver.Call("set-text 1007 " + interval);
    m_driver.Click(1005);
    // The run has ended when its last line is in the log.
    ASSERT_TRUE(WaitUntil([&] { return CountStarting(LogMessages(), "映射成功") >= records.size(); }, 30000));
}

std::vector<std::string> AppTest::LogMessagesIn(const std::string& folder)
{
    std::ifstream in(folder + "/logs/" + Today() + ".log", std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    std::string text = content.str();
    std::vector<std::string> messages;
    size_t start = 0, end;
    while ((end = text.find("\r\n", start)) != std::string::npos) {
        std::string record = text.substr(start, end - start);
        messages.push_back(GbkToUtf8(record.size() >= 12 ? record.substr(12) : record));
        start = end + 2;
    }
    return messages;
}

void AppTest::SeedRows(const std::vector<std::string>& records)
{
    const std::string mapList = "Software\\Gatewright\\Gatewright\\MapList";
    m_driver.Call("reg-dword " + mapList + " ListCount " + std::to_string(records.size()));
    for (size_t i = 0; i < records.size(); ++i)
        m_driver.Call("reg-sz " + mapList + " " + std::to_string(i) + " " + records[i]);
}

std::vector<std::string> AppTest::ListRows(int list)
{
    std::vector<std::string> rows;
    std::string id = std::to_string(list);
    int count = std::stoi(m_driver.Call("rows " + id));
    for (int i = 0; i < count; ++i)
        rows.push_back(m_driver.Call("row " + id + " " + std::to_string(i)));
    return rows;
}

bool AppTest::WaitForLogMessage(const std::string& message, int timeoutMs)
{
    return WaitUntil([&] {
        for (const std::string& logged : LogMessages()) {
            if (logged == message)
                return true;
        }
        return false;
    }, timeoutMs);
}
