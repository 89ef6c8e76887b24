#include "MappingApp.h"
#include "MappingDlg.h"
#include "../desktop/OneCopy.h"
#include <commctrl.h>

CMappingApp theApp;

BOOL CMappingApp::InitInstance()
{
    // A second copy hands over to the first before it changes anything.
    COneCopy oneCopy;
    if (!oneCopy.Claim())
        return FALSE;

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
