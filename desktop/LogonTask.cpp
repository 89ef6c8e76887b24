#include "LogonTask.h"
#include "../framework/Format.h"
#define SECURITY_WIN32
#include <security.h>
#include <sddl.h>
#include <taskschd.h>
#include <functional>
#include <memory>

const char kLogonStartArgument[] = "/logon";

namespace {

// A path may hold "&", which would end the task's XML.
std::string EscapeXml(const std::string& text)
{
    std::string escaped;
    for (const char* p = text.c_str(); *p; p = ::CharNextA(p)) {
        const char* next = ::CharNextA(p);
        if (*p == '&')
            escaped += "&amp;";
        else if (*p == '<')
            escaped += "&lt;";
        else if (*p == '>')
            escaped += "&gt;";
        else
            escaped.append(p, next);
    }
    return escaped;
}

// "DOMAIN\user", as the task's trigger and principal name the user.
std::string CurrentUser()
{
    char name[512] = {};
    ULONG size = sizeof name;
    return ::GetUserNameExA(NameSamCompatible, name, &size) ? name : "";
}

// The SID of the user this process runs for, as text.
std::string CurrentUserSid()
{
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return std::string();
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<BYTE[]> buffer(new BYTE[size ? size : 1]);
    char* text = nullptr;
    std::string sid;
    if (::GetTokenInformation(token, TokenUser, buffer.get(), size, &size)
        && ::ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.get())->User.Sid, &text)) {
        sid = text;
        ::LocalFree(text);
    }
    ::CloseHandle(token);
    return sid;
}

// The executable a registered task starts, "" when it cannot be read.
std::string TaskCommand(IRegisteredTask* task)
{
    ITaskDefinition* definition = nullptr;
    IActionCollection* actions = nullptr;
    IAction* action = nullptr;
    IExecAction* exec = nullptr;
    BSTR path = nullptr;
    std::string command;
    if (SUCCEEDED(task->get_Definition(&definition)) && SUCCEEDED(definition->get_Actions(&actions))
        && SUCCEEDED(actions->get_Item(1, &action))
        && SUCCEEDED(action->QueryInterface(IID_IExecAction, reinterpret_cast<void**>(&exec)))
        && SUCCEEDED(exec->get_Path(&path)) && path)
        command = NarrowText(path);
    ::SysFreeString(path);
    for (IUnknown* held : std::initializer_list<IUnknown*>{ exec, action, actions, definition })
        if (held)
            held->Release();
    return command;
}

// COM lives only for the one operation on the root task folder.
HRESULT WithRootTaskFolder(const std::function<HRESULT(ITaskFolder*)>& operation)
{
    HRESULT hrCom = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ITaskService* service = nullptr;
    ITaskFolder* folder = nullptr;
    VARIANT none;
    ::VariantInit(&none);
    BSTR root = ::SysAllocString(L"\\");
    HRESULT hr = ::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                    reinterpret_cast<void**>(&service));
    if (SUCCEEDED(hr))
        hr = service->Connect(none, none, none, none);
    if (SUCCEEDED(hr))
        hr = service->GetFolder(root, &folder);
    if (SUCCEEDED(hr))
        hr = operation(folder);
    if (folder)
        folder->Release();
    if (service)
        service->Release();
    ::SysFreeString(root);
    if (SUCCEEDED(hrCom))
        ::CoUninitialize();
    return hr;
}
}

std::string LogonTaskXml(const std::string& quotedCommand, const std::string& user)
{
    std::string userId = "<UserId>" + EscapeXml(user) + "</UserId>";
    return "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
           "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
           "  <Triggers><LogonTrigger><Enabled>true</Enabled>" + userId + "</LogonTrigger></Triggers>\r\n"
           "  <Principals><Principal id=\"Author\">" + userId
           + "<LogonType>InteractiveToken</LogonType><RunLevel>HighestAvailable</RunLevel></Principal></Principals>\r\n"
           "  <Settings>\r\n"
           "    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\r\n"
           "    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
           "    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
           "    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\r\n"
           "  </Settings>\r\n"
           "  <Actions Context=\"Author\"><Exec><Command>" + EscapeXml(quotedCommand) + "</Command><Arguments>"
           + kLogonStartArgument + "</Arguments></Exec></Actions>\r\n"
           "</Task>\r\n";
}

std::string LogonTaskName(const std::string& userSid)
{
    return "Gatewright " + userSid;
}

bool StartsExecutable(const std::string& taskCommand, const std::string& executablePath)
{
    std::string command = taskCommand;
    if (command.size() >= 2 && command.front() == '"' && command.back() == '"')
        command = command.substr(1, command.size() - 2);
    return !command.empty() && ::CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, command.c_str(), -1,
                                                executablePath.c_str(), -1) == CSTR_EQUAL;
}

HRESULT RegisterLogonTask(const std::string& quotedCommand)
{
    std::wstring xml = WideText(LogonTaskXml(quotedCommand, CurrentUser()));
    std::wstring taskName = WideText(LogonTaskName(CurrentUserSid()));
    return WithRootTaskFolder([&xml, &taskName](ITaskFolder* folder) {
        BSTR name = ::SysAllocString(taskName.c_str());
        BSTR text = ::SysAllocString(xml.c_str());
        VARIANT none;
        ::VariantInit(&none);
        IRegisteredTask* task = nullptr;
        HRESULT hr = folder->RegisterTask(name, text, TASK_CREATE_OR_UPDATE, none, none,
                                          TASK_LOGON_INTERACTIVE_TOKEN, none, &task);
        if (task)
            task->Release();
        ::SysFreeString(text);
        ::SysFreeString(name);
        return hr;
    });
}

HRESULT DeleteLogonTask(const std::string& executablePath)
{
    std::wstring taskName = WideText(LogonTaskName(CurrentUserSid()));
    return WithRootTaskFolder([&taskName, &executablePath](ITaskFolder* folder) {
        BSTR name = ::SysAllocString(taskName.c_str());
        // A task that is not there, or cannot be read, is no one's to remove.
        IRegisteredTask* task = nullptr;
        HRESULT hr = S_FALSE;
        if (SUCCEEDED(folder->GetTask(name, &task))) {
            if (StartsExecutable(TaskCommand(task), executablePath))
                hr = folder->DeleteTask(name, 0);
            task->Release();
        }
        ::SysFreeString(name);
        return hr;
    });
}
