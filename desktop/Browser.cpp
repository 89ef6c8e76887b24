#include "Browser.h"
#include "../framework/ComRef.h"
#include "../framework/Format.h"
#include <exdisp.h>
#include <servprov.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

namespace {
// The desktop window's shell browser, as the shell's own process serves it;
// S_FALSE when there is no desktop shell.
HRESULT FindDesktopBrowser(CComRef<IShellBrowser>* browser)
{
    CComRef<IShellWindows> windows;
    HRESULT hr = ::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                    windows.Out());
    if (FAILED(hr))
        return S_FALSE;
    VARIANT empty;
    ::VariantInit(&empty);
    long hwnd = 0;
    CComRef<IDispatch> desktop;
    hr = windows->FindWindowSW(&empty, &empty, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH, desktop.Put());
    if (hr != S_OK || !desktop.Get())
        return S_FALSE;
    CComRef<IServiceProvider> services;
    hr = desktop->QueryInterface(IID_IServiceProvider, services.Out());
    if (SUCCEEDED(hr))
        hr = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser->Out());
    return hr;
}

// The shell's automation object of that browser's view.
HRESULT ShellOfBrowser(IShellBrowser* browser, CComRef<IShellDispatch2>* shell)
{
    CComRef<IShellView> view;
    CComRef<IDispatch> background;
    CComRef<IShellFolderViewDual> folderView;
    CComRef<IDispatch> application;
    HRESULT hr = browser->QueryActiveShellView(view.Put());
    if (SUCCEEDED(hr))
        hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.Out());
    if (SUCCEEDED(hr))
        hr = background->QueryInterface(IID_IShellFolderViewDual, folderView.Out());
    if (SUCCEEDED(hr))
        hr = folderView->get_Application(application.Put());
    if (SUCCEEDED(hr))
        hr = application->QueryInterface(IID_IShellDispatch2, shell->Out());
    return hr;
}

HRESULT OpenThroughShell(IShellDispatch2* shell, const std::string& address)
{
    BSTR file = ::SysAllocString(WideText(address).c_str());
    VARIANT none, verb, show;
    ::VariantInit(&none);
    ::VariantInit(&verb);
    verb.vt = VT_BSTR;
    verb.bstrVal = ::SysAllocString(L"open");
    ::VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    HRESULT hr = shell->ShellExecute(file, none, none, verb, show);
    ::VariantClear(&verb);
    ::SysFreeString(file);
    return hr;
}

BrowserStart OpenWithCom(const std::string& address)
{
    CComRef<IShellBrowser> browser;
    HRESULT hr = FindDesktopBrowser(&browser);
    if (hr == S_FALSE) {
        HINSTANCE started = ::ShellExecuteA(nullptr, "open", address.c_str(), nullptr, nullptr, SW_SHOW);
        // Above 32 is success, as the call has always told it.
        return reinterpret_cast<INT_PTR>(started) > 32 ? BrowserStart::Direct : BrowserStart::Failed;
    }
    CComRef<IShellDispatch2> shell;
    if (SUCCEEDED(hr))
        hr = ShellOfBrowser(browser.Get(), &shell);
    if (SUCCEEDED(hr))
        hr = OpenThroughShell(shell.Get(), address);
    return SUCCEEDED(hr) ? BrowserStart::Desktop : BrowserStart::Failed;
}
}

BrowserStart OpenInBrowser(const std::string& address)
{
    HRESULT hrCom = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    BrowserStart started = OpenWithCom(address);
    if (SUCCEEDED(hrCom))
        ::CoUninitialize();
    return started;
}
