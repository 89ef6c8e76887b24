#include "MappingApp.h"
#include "MappingDlg.h"
#include <commctrl.h>

CMappingApp theApp;

BOOL CMappingApp::InitInstance()
{
    // The main window uses the list-view and IP-address classes.
    INITCOMMONCONTROLSEX classes = { sizeof classes, ICC_LISTVIEW_CLASSES | ICC_INTERNET_CLASSES };
    ::InitCommonControlsEx(&classes);
    SetRegistryKey("Gatewright");

    CMappingDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}
