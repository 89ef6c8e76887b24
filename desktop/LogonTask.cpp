#include "LogonTask.h"
#include "../framework/Format.h"
#define SECURITY_WIN32
#include <security.h>
#include <taskschd.h>
#include <functional>

const char kLogonStartArgument[] = "/logon";

namespace {
const wchar_t kTaskName[] = L"Gatewright";

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

HRESULT RegisterLogonTask(const std::string& quotedCommand)
{
    std::wstring xml = WideText(LogonTaskXml(quotedCommand, CurrentUser()));
    return WithRootTaskFolder([&xml](ITaskFolder* folder) {
        BSTR name = ::SysAllocString(kTaskName);
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

HRESULT DeleteLogonTask()
{
    return WithRootTaskFolder([](ITaskFolder* folder) {
        BSTR name = ::SysAllocString(kTaskName);
        HRESULT hr = folder->DeleteTask(name, 0);
        ::SysFreeString(name);
        return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ? S_OK : hr;
    });
}
