// A small UI driver for the end-to-end tests. It starts the program under
// test, finds its windows and acts on them the way a user would, answering
// one line per command on stdout:
//   "ok" or "ok <value>" on success, "error <reason>" otherwise.
// Texts cross the pipe as UTF-8; the windows' own texts are converted.
//
// Commands (numbers are decimal or 0x-hex):
//   launch <exe path> [arguments]     start the program, remember its process
//                                     (paths with spaces in double quotes)
//   run <timeout ms> <exe path> [arguments]
//                                     start another copy and wait for it to end:
//                                     "ok <exit code>"; one still running is killed
//   main <timeout ms>                 wait for its main window (the one with
//                                     the status line control 1013) to show,
//                                     which it does once initialised
//   attach <timeout ms>               take the running first copy (whoever
//                                     started it) as the program, shown or not
//   text <id>                         window text of control <id>
//   address <id>                      IP-address control text, "" when blank
//   set-text <id> <text>              set the text of control <id>
//   enabled <id> | checked <id>       1 or 0
//   visible                           1 when the main window is visible
//   click <id>                        press button <id> (posted)
//   command <id>                      post WM_COMMAND <id> from a menu
//   post <msg> <wparam> <lparam>      post a message to the main window
//   send <msg> <wparam> <lparam>      send it and answer its result
//   msgbox <timeout ms>               wait for a message box: "ok <caption>|<text>"
//   dialog <timeout ms> <caption>     wait for another dialog with that caption
//   press <button id>                 press a button of that message box or dialog
//   Registry keys are under HKEY_CURRENT_USER, or HKEY_LOCAL_MACHINE when they
//   start with "HKLM\"; the value name "@" is the key's default value.
//   reg-delete <key>                  delete the key with all below it
//   reg-unset <key> <name>            delete one value
//   reg-dword <key> <name> <value>    set a REG_DWORD value under HKEY_CURRENT_USER
//   reg-sz <key> <name> <text>        set a REG_SZ value (text may hold blanks)
//   reg-get <key> <name>              "ok dword <n>", "ok sz <text>" or "ok absent"
//   reg-names <key>                   the key's value names, sorted, joined by "|"
//   rows <id>                         number of rows of list control <id>
//   row <id> <row>                    the row's five cells joined by tabs
//   image <id> <row>                  the row's image index
//   select <id> <row>...              select exactly these rows of list control <id>
//   target main|popup                 whose controls the commands above address
//                                     (popup: the last message box or dialog found)
//   set-address <id> [a.b.c.d]        fill an IP-address control, or blank it
//   rclick <id> <x> <y>               right-click control <id> at a client point
//   key <id> <virtual key>            press a key while control <id> has the focus
//   iconic                            1 when the main window is minimised
//   rect                              the main window's "left top right bottom"
//   cursor                            where the mouse pointer is: "x y"
//   menu-rect                         the open pop-up menu's "left top right bottom"
//   tray-exists <uid>                 1 when the main window has that notification icon
//   tray-delete <uid>                 remove it, as a restarting shell loses it
//   broadcast <registered name>       post that registered message to the main window
//   clipboard                         the clipboard's text; fails while another
//                                     window has the clipboard open
//   set-clipboard <text>              put the text on the clipboard
//   user-sid                          the SID of the user the driver runs for
//
// Started as "uidriver.exe record <file> <argument>", it only appends the
// argument to the file: registered as the browser, it records what the shell
// was asked to open.
//   menu <timeout ms>                 wait for a pop-up menu of the program
//   menu-key <virtual key>            press a key in that menu
//   wait-exit <timeout ms>            wait for the program to end: "ok <exit code>"
//   kill                              end the program at once
//   quit                              end the driver
#include <windows.h>
#include <commctrl.h>
#include <sddl.h>
#include <shellapi.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

const int kStatusLineId = 1013;
const int kMessageBoxTextId = 0xFFFF;

PROCESS_INFORMATION g_process = {};
HWND g_main = nullptr;
HWND g_popup = nullptr;
HWND g_menu = nullptr;
bool g_targetPopup = false;

std::string ToUtf8(const std::wstring& text)
{
    int size = ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], size, nullptr, nullptr);
    out.resize(size > 0 ? size - 1 : 0);
    return out;
}

std::wstring FromUtf8(const std::string& text)
{
    int size = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(size, L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], size);
    out.resize(size > 0 ? size - 1 : 0);
    return out;
}

std::string WindowText(HWND hWnd)
{
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    ::SendMessageTimeoutW(hWnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 5000, &length);
    return ToUtf8(text);
}

std::string ClassName(HWND hWnd)
{
    char name[256] = {};
    ::GetClassNameA(hWnd, name, sizeof name);
    return name;
}

BOOL CALLBACK CollectProcessWindow(HWND hWnd, LPARAM param)
{
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hWnd, &pid);
    if (pid == g_process.dwProcessId)
        reinterpret_cast<std::vector<HWND>*>(param)->push_back(hWnd);
    return TRUE;
}

std::vector<HWND> ProcessWindows()
{
    std::vector<HWND> windows;
    ::EnumWindows(CollectProcessWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

template <typename Found>
HWND WaitForWindow(int timeoutMs, Found found)
{
    DWORD start = ::GetTickCount();
    do {
        for (HWND hWnd : ProcessWindows()) {
            if (found(hWnd))
                return hWnd;
        }
        ::Sleep(50);
    } while (static_cast<int>(::GetTickCount() - start) < timeoutMs);
    return nullptr;
}

bool IsDialog(HWND hWnd)
{
    return ClassName(hWnd) == "#32770";
}

long Number(const std::string& text)
{
    return std::strtol(text.c_str(), nullptr, 0);
}

HWND Control(const std::string& id)
{
    return ::GetDlgItem(g_targetPopup ? g_popup : g_main, static_cast<int>(Number(id)));
}

// Starts the program with those arguments (none when empty).
bool Start(const std::string& exe, const std::string& arguments, PROCESS_INFORMATION* process)
{
    STARTUPINFOW startup = { sizeof startup };
    std::wstring commandLine = L"\"" + FromUtf8(exe) + L"\"" + (arguments.empty() ? L"" : L" " + FromUtf8(arguments));
    return ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, process);
}

// A path read up to its first space, or, begun with a double quote, up to the closing one.
std::string WholePath(const std::string& first, std::istream& in)
{
    if (first.empty() || first[0] != '"')
        return first;
    if (first.size() > 1 && first.back() == '"')
        return first.substr(1, first.size() - 2);
    std::string rest;
    std::getline(in, rest, '"');
    return first.substr(1) + rest;
}

std::string UserSid()
{
    HANDLE token = nullptr;
    BYTE buffer[256];
    DWORD size = sizeof buffer;
    char* text = nullptr;
    std::string sid;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)
        && ::GetTokenInformation(token, TokenUser, buffer, size, &size)
        && ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        sid = text;
        ::LocalFree(text);
    }
    if (token)
        ::CloseHandle(token);
    return sid.empty() ? "error no SID" : "ok " + sid;
}

BOOL CALLBACK FindFirstCopy(HWND hWnd, LPARAM found)
{
    if (!::GetPropA(hWnd, "Gatewright.FirstCopy"))
        return TRUE;
    *reinterpret_cast<HWND*>(found) = hWnd;
    return FALSE;
}

// The first copy's process becomes the program the commands act on.
std::string Attach(DWORD timeoutMs)
{
    HWND hFirst = nullptr;
    for (DWORD start = ::GetTickCount(); !hFirst && ::GetTickCount() - start < timeoutMs; ::Sleep(50))
        ::EnumWindows(FindFirstCopy, reinterpret_cast<LPARAM>(&hFirst));
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hFirst, &pid);
    HANDLE hProcess = hFirst ? ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid) : nullptr;
    if (!hProcess)
        return "error no first copy";
    g_process = { hProcess, nullptr, pid, 0 };
    g_main = hFirst;
    return "ok";
}

std::string Launch(const std::string& exe, const std::string& arguments)
{
    if (!Start(exe, arguments, &g_process))
        return "error launch failed " + std::to_string(::GetLastError());
    g_main = nullptr;
    return "ok";
}

// Another copy, beside the launched one: waits for it to end.
std::string Run(DWORD timeoutMs, const std::string& exe, const std::string& arguments)
{
    PROCESS_INFORMATION process = {};
    if (!Start(exe, arguments, &process))
        return "error launch failed " + std::to_string(::GetLastError());
    DWORD code = 0;
    bool ended = ::WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0
        && ::GetExitCodeProcess(process.hProcess, &code);
    if (!ended)
        ::TerminateProcess(process.hProcess, 1);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return ended ? "ok " + std::to_string(code) : "error still running";
}

// The list control lives in the other process: its item texts are read
// through a buffer allocated there.
std::string ListRow(HWND list, int row)
{
    const int kChars = 1024;
    SIZE_T size = sizeof(LVITEMW) + kChars * sizeof(wchar_t);
    char* remote = static_cast<char*>(::VirtualAllocEx(g_process.hProcess, nullptr, size,
                                                       MEM_COMMIT, PAGE_READWRITE));
    if (!remote)
        return "<no memory>";
    std::string cells;
    DWORD_PTR header = 0, columns = 0;
    ::SendMessageTimeoutW(list, LVM_GETHEADER, 0, 0, SMTO_ABORTIFHUNG, 5000, &header);
    ::SendMessageTimeoutW(reinterpret_cast<HWND>(header), HDM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &columns);
    for (int column = 0; column < static_cast<int>(columns); ++column) {
        LVITEMW item = {};
        item.iSubItem = column;
        item.pszText = reinterpret_cast<wchar_t*>(remote + sizeof(LVITEMW));
        item.cchTextMax = kChars;
        ::WriteProcessMemory(g_process.hProcess, remote, &item, sizeof item, nullptr);
        DWORD_PTR length = 0;
        ::SendMessageTimeoutW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote),
                              SMTO_ABORTIFHUNG, 5000, &length);
        std::wstring text(length, L'\0');
        ::ReadProcessMemory(g_process.hProcess, item.pszText, &text[0], length * sizeof(wchar_t), nullptr);
        cells += (column ? "\t" : "") + ToUtf8(text);
    }
    ::VirtualFreeEx(g_process.hProcess, remote, 0, MEM_RELEASE);
    return cells;
}

std::string ListImage(HWND list, int row)
{
    LVITEMW* remote = static_cast<LVITEMW*>(::VirtualAllocEx(g_process.hProcess, nullptr, sizeof(LVITEMW),
                                                             MEM_COMMIT, PAGE_READWRITE));
    if (!remote)
        return "error no memory";
    LVITEMW item = {};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    ::WriteProcessMemory(g_process.hProcess, remote, &item, sizeof item, nullptr);
    DWORD_PTR found = 0;
    ::SendMessageTimeoutW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(remote), SMTO_ABORTIFHUNG, 5000, &found);
    ::ReadProcessMemory(g_process.hProcess, remote, &item, sizeof item, nullptr);
    ::VirtualFreeEx(g_process.hProcess, remote, 0, MEM_RELEASE);
    return found ? "ok " + std::to_string(item.iImage) : "error no such row";
}

std::string RectText(HWND hWnd)
{
    RECT r = {};
    if (!::GetWindowRect(hWnd, &r))
        return "error no window";
    return "ok " + std::to_string(r.left) + " " + std::to_string(r.top) + " " + std::to_string(r.right) + " "
        + std::to_string(r.bottom);
}

std::string SelectRows(HWND list, std::istringstream& in)
{
    LVITEMW* remote = static_cast<LVITEMW*>(::VirtualAllocEx(g_process.hProcess, nullptr, sizeof(LVITEMW),
                                                             MEM_COMMIT, PAGE_READWRITE));
    if (!remote)
        return "error no memory";
    auto setState = [&](int row, UINT state) {
        LVITEMW item = {};
        item.stateMask = LVIS_SELECTED;
        item.state = state;
        ::WriteProcessMemory(g_process.hProcess, remote, &item, sizeof item, nullptr);
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(remote),
                              SMTO_ABORTIFHUNG, 5000, &result);
    };
    setState(-1, 0);
    int row;
    while (in >> row)
        setState(row, LVIS_SELECTED);
    ::VirtualFreeEx(g_process.hProcess, remote, 0, MEM_RELEASE);
    return "ok";
}

std::string Registry(const std::string& verb, const std::string& key, std::istringstream& in)
{
    std::string name, value;
    in >> name >> std::ws;
    std::getline(in, value);
    HKEY root = HKEY_CURRENT_USER;
    std::wstring wideKey = FromUtf8(key), wideName = name == "@" ? std::wstring() : FromUtf8(name);
    if (wideKey.compare(0, 5, L"HKLM\\") == 0) {
        root = HKEY_LOCAL_MACHINE;
        wideKey.erase(0, 5);
    }
    if (verb == "reg-delete") {
        LONG result = ::RegDeleteTreeW(root, wideKey.c_str());
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? "ok" : "error " + std::to_string(result);
    }
    if (verb == "reg-unset") {
        LONG result = ::RegDeleteKeyValueW(root, wideKey.c_str(), wideName.c_str());
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? "ok" : "error " + std::to_string(result);
    }
    HKEY hKey;
    if (verb == "reg-dword" || verb == "reg-sz") {
        if (::RegCreateKeyExW(root, wideKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &hKey, nullptr) != ERROR_SUCCESS)
            return "error cannot create key";
        LONG result;
        if (verb == "reg-dword") {
            DWORD number = static_cast<DWORD>(std::strtoul(value.c_str(), nullptr, 0));
            result = ::RegSetValueExW(hKey, wideName.c_str(), 0, REG_DWORD,
                                      reinterpret_cast<BYTE*>(&number), sizeof number);
        } else {
            std::wstring text = FromUtf8(value);
            result = ::RegSetValueExW(hKey, wideName.c_str(), 0, REG_SZ,
                                      reinterpret_cast<const BYTE*>(text.c_str()),
                                      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        }
        ::RegCloseKey(hKey);
        return result == ERROR_SUCCESS ? "ok" : "error " + std::to_string(result);
    }
    if (::RegOpenKeyExW(root, wideKey.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return verb == "reg-names" ? "ok " : "ok absent";
    std::string answer;
    if (verb == "reg-get") {
        BYTE data[8192] = {};
        DWORD type = 0, size = sizeof data - sizeof(wchar_t);
        if (::RegQueryValueExW(hKey, wideName.c_str(), nullptr, &type, data, &size) != ERROR_SUCCESS)
            answer = "ok absent";
        else if (type == REG_DWORD)
            answer = "ok dword " + std::to_string(*reinterpret_cast<DWORD*>(data));
        else
            answer = "ok sz " + ToUtf8(reinterpret_cast<wchar_t*>(data));
    } else {
        std::vector<std::string> names;
        wchar_t valueName[16384];
        DWORD length = 16384;
        for (DWORD i = 0; ::RegEnumValueW(hKey, i, valueName, &length, nullptr, nullptr, nullptr,
                                          nullptr) == ERROR_SUCCESS; ++i, length = 16384)
            names.push_back(ToUtf8(valueName));
        std::sort(names.begin(), names.end());
        for (const std::string& n : names)
            answer += (answer.empty() ? "" : "|") + n;
        answer = "ok " + answer;
    }
    ::RegCloseKey(hKey);
    return answer;
}

std::string Execute(const std::string& line)
{
    std::istringstream in(line);
    std::string verb, a, b, c;
    in >> verb >> a;
    if (verb == "launch") {
        a = WholePath(a, in);
        std::getline(in >> std::ws, b);
        return Launch(a, b);
    }
    if (verb == "run") {
        in >> b;
        b = WholePath(b, in);
        std::getline(in >> std::ws, c);
        return Run(static_cast<DWORD>(Number(a)), b, c);
    }
    if (verb == "main") {
        g_main = WaitForWindow(Number(a), [](HWND hWnd) {
            return IsDialog(hWnd) && ::IsWindowVisible(hWnd) && ::GetDlgItem(hWnd, kStatusLineId) != nullptr;
        });
        return g_main ? "ok" : "error no main window";
    }
    if (verb == "user-sid")
        return UserSid();
    if (verb == "attach")
        return Attach(static_cast<DWORD>(Number(a)));
    if (verb == "msgbox") {
        g_popup = WaitForWindow(Number(a), [](HWND hWnd) {
            return IsDialog(hWnd) && ::IsWindowVisible(hWnd)
                && ::GetDlgItem(hWnd, kMessageBoxTextId) != nullptr;
        });
        if (!g_popup)
            return "error no message box";
        return "ok " + WindowText(g_popup) + "|" + WindowText(::GetDlgItem(g_popup, kMessageBoxTextId));
    }
    if (verb == "dialog") {
        in >> std::ws;
        std::getline(in, b);
        g_popup = WaitForWindow(Number(a), [&b](HWND hWnd) {
            return hWnd != g_main && IsDialog(hWnd) && ::IsWindowVisible(hWnd) && WindowText(hWnd) == b;
        });
        return g_popup ? "ok" : "error no such dialog";
    }
    if (verb == "press") {
        if (!g_popup)
            return "error no message box or dialog";
        ::PostMessageW(::GetDlgItem(g_popup, static_cast<int>(Number(a))), BM_CLICK, 0, 0);
        // Until the box is gone its own loop takes the program's messages: a
        // key posted meanwhile would reach the window below without its dialog
        // manager.
        HWND pressed = g_popup;
        g_popup = nullptr;
        for (DWORD start = ::GetTickCount(); ::IsWindowVisible(pressed); ::Sleep(10)) {
            if (::GetTickCount() - start > 5000)
                return "error still shown";
        }
        return "ok";
    }
    if (verb == "wait-exit") {
        if (::WaitForSingleObject(g_process.hProcess, Number(a)) != WAIT_OBJECT_0)
            return "error still running";
        DWORD code = 0;
        ::GetExitCodeProcess(g_process.hProcess, &code);
        return "ok " + std::to_string(code);
    }
    if (verb == "target") {
        g_targetPopup = a == "popup";
        return "ok";
    }
    if (verb == "menu") {
        g_menu = WaitForWindow(Number(a), [](HWND hWnd) {
            return ClassName(hWnd) == "#32768" && ::IsWindowVisible(hWnd);
        });
        return g_menu ? "ok" : "error no menu";
    }
    if (verb == "menu-key") {
        ::PostMessageW(g_menu, WM_KEYDOWN, Number(a), 0);
        ::PostMessageW(g_menu, WM_KEYUP, Number(a), 0xC0000000);
        return "ok";
    }
    if (verb == "clipboard") {
        if (!::OpenClipboard(nullptr))
            return "error clipboard is open";
        HANDLE data = ::GetClipboardData(CF_UNICODETEXT);
        const wchar_t* text = data ? static_cast<const wchar_t*>(::GlobalLock(data)) : nullptr;
        std::string answer = "ok " + (text ? ToUtf8(text) : std::string());
        if (text)
            ::GlobalUnlock(data);
        ::CloseClipboard();
        return answer;
    }
    if (verb == "set-clipboard") {
        std::wstring text = FromUtf8(a);
        HGLOBAL data = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
        if (!data || !::OpenClipboard(nullptr))
            return "error clipboard is open";
        std::copy(text.c_str(), text.c_str() + text.size() + 1, static_cast<wchar_t*>(::GlobalLock(data)));
        ::GlobalUnlock(data);
        ::EmptyClipboard();
        bool set = ::SetClipboardData(CF_UNICODETEXT, data) != nullptr;
        ::CloseClipboard();
        return set ? "ok" : "error clipboard not set";
    }
    if (verb == "menu-rect")
        return RectText(g_menu);
    if (verb == "cursor") {
        POINT cursor = {};
        ::GetCursorPos(&cursor);
        return "ok " + std::to_string(cursor.x) + " " + std::to_string(cursor.y);
    }
    if (verb == "kill") {
        // Ended, windows and all, before the next command starts another copy.
        bool ended = ::TerminateProcess(g_process.hProcess, 1)
            && ::WaitForSingleObject(g_process.hProcess, 10000) == WAIT_OBJECT_0;
        return ended ? "ok" : "error kill failed";
    }
    if (verb.compare(0, 4, "reg-") == 0)
        return Registry(verb, a, in);
    if (!g_main)
        return "error main window not found yet";
    if (verb == "rows") {
        DWORD_PTR count = 0;
        ::SendMessageTimeoutW(Control(a), LVM_GETITEMCOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count);
        return "ok " + std::to_string(count);
    }
    if (verb == "row") {
        in >> b;
        return "ok " + ListRow(Control(a), static_cast<int>(Number(b)));
    }
    if (verb == "image") {
        in >> b;
        return ListImage(Control(a), static_cast<int>(Number(b)));
    }
    if (verb == "select")
        return SelectRows(Control(a), in);
    if (verb == "set-address") {
        in >> b;
        unsigned parts[4];
        DWORD_PTR result = 0;
        if (std::sscanf(b.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) == 4)
            ::SendMessageTimeoutW(Control(a), IPM_SETADDRESS, 0,
                                  MAKEIPADDRESS(parts[0], parts[1], parts[2], parts[3]),
                                  SMTO_ABORTIFHUNG, 5000, &result);
        else
            ::SendMessageTimeoutW(Control(a), IPM_CLEARADDRESS, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
        return "ok";
    }
    if (verb == "key") {
        in >> b;
        HWND control = Control(a);
        ::PostMessageW(control, WM_KEYDOWN, Number(b), 1);
        ::PostMessageW(control, WM_KEYUP, Number(b), 0xC0000001);
        return "ok";
    }
    if (verb == "rclick") {
        in >> b >> c;
        LPARAM point = MAKELPARAM(Number(b), Number(c));
        ::PostMessageW(Control(a), WM_RBUTTONDOWN, MK_RBUTTON, point);
        ::PostMessageW(Control(a), WM_RBUTTONUP, 0, point);
        return "ok";
    }
    if (verb == "text")
        return "ok " + WindowText(Control(a));
    if (verb == "set-text") {
        std::getline(in >> std::ws, b);
        std::wstring text = FromUtf8(b);
        DWORD_PTR result = 0;
        ::SendMessageTimeoutW(Control(a), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                              SMTO_ABORTIFHUNG, 5000, &result);
        return result ? "ok" : "error not set";
    }
    if (verb == "address") {
        DWORD_PTR blank = 0;
        ::SendMessageTimeoutW(Control(a), IPM_ISBLANK, 0, 0,
                              SMTO_ABORTIFHUNG, 5000, &blank);
        return blank ? "ok " : "ok " + WindowText(Control(a));
    }
    if (verb == "enabled")
        return ::IsWindowEnabled(Control(a)) ? "ok 1" : "ok 0";
    if (verb == "checked") {
        DWORD_PTR state = 0;
        ::SendMessageTimeoutW(Control(a), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 5000, &state);
        return "ok " + std::to_string(state);
    }
    if (verb == "iconic")
        return ::IsIconic(g_main) ? "ok 1" : "ok 0";
    if (verb == "rect")
        return RectText(g_main);
    if (verb == "tray-exists" || verb == "tray-delete") {
        NOTIFYICONDATAW icon = {};
        icon.cbSize = sizeof icon;
        icon.hWnd = g_main;
        icon.uID = static_cast<UINT>(Number(a));
        BOOL done = ::Shell_NotifyIconW(verb == "tray-exists" ? NIM_MODIFY : NIM_DELETE, &icon);
        return done ? "ok 1" : "ok 0";
    }
    if (verb == "broadcast") {
        UINT msg = ::RegisterWindowMessageA(a.c_str());
        return ::PostMessageW(g_main, msg, 0, 0) ? "ok" : "error post failed";
    }
    if (verb == "visible")
        return ::IsWindowVisible(g_main) ? "ok 1" : "ok 0";
    if (verb == "click")
        return ::PostMessageW(Control(a), BM_CLICK, 0, 0) ? "ok" : "error post failed";
    if (verb == "command")
        return ::PostMessageW(g_main, WM_COMMAND, Number(a), 0) ? "ok" : "error post failed";
    in >> b >> c;
    if (verb == "post")
        return ::PostMessageW(g_main, Number(a), Number(b), Number(c)) ? "ok" : "error post failed";
    if (verb == "send") {
        DWORD_PTR result = 0;
        if (!::SendMessageTimeoutW(g_main, Number(a), Number(b), Number(c), SMTO_ABORTIFHUNG,
                                   10000, &result))
            return "error send failed";
        return "ok " + std::to_string(static_cast<long long>(result));
    }
    return "error unknown command " + verb;
}

}

int Record(const wchar_t* file, const wchar_t* argument)
{
    FILE* out = _wfopen(file, L"ab");
    if (!out)
        return 1;
    std::fputs((ToUtf8(argument) + "\n").c_str(), out);
    std::fclose(out);
    return 0;
}

int main()
{
    int argc = 0;
    wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    if (argc == 4 && std::wstring(argv[1]) == L"record")
        return Record(argv[2], argv[3]);
    char buffer[8192];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        if (line == "quit")
            break;
        std::string answer = Execute(line);
        std::fputs((answer + "\n").c_str(), stdout);
        std::fflush(stdout);
    }
    return 0;
}
