#include "Dialog.h"
#include "App.h"

CDialog::CDialog(UINT nTemplateId, HWND hParent)
    : m_nTemplateId(nTemplateId)
    , m_hParent(hParent)
{
}

INT_PTR CDialog::DoModal()
{
    // A dialog without a parent is owned by the main window, unless it is the main window.
    HWND hOwner = m_hParent;
    CApp* app = GetApp();
    if (!hOwner && app && app->m_pMainWnd && app->m_pMainWnd != this)
        hOwner = app->m_pMainWnd->m_hWnd;
    return ::DialogBoxParamA(app ? app->m_hInstance : ::GetModuleHandleA(nullptr),
                             MAKEINTRESOURCEA(m_nTemplateId), hOwner, DialogProc,
                             reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::Create(HWND hOwner)
{
    CApp* app = GetApp();
    return ::CreateDialogParamA(app ? app->m_hInstance : ::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_nTemplateId),
                                hOwner, DialogProc, reinterpret_cast<LPARAM>(this)) != nullptr;
}

BOOL CDialog::OnInitDialog()
{
    DoDataExchange();
    return TRUE;
}

bool CDialog::DispatchToMap(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    const MessageMapEntry* entry = GetMessageMap();
    for (; entry && entry->thunk; ++entry) {
        if (entry->message != msg)
            continue;
        if (msg == WM_COMMAND && (entry->id != LOWORD(wParam) || entry->code != HIWORD(wParam)))
            continue;
        if (msg == WM_NOTIFY) {
            const NMHDR* header = reinterpret_cast<const NMHDR*>(lParam);
            if (entry->id != header->idFrom || entry->code != header->code)
                continue;
        }
        *result = entry->thunk(this, wParam, lParam);
        return true;
    }
    return false;
}

LRESULT CDialog::WindowProc(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG)
        return OnInitDialog();
    LRESULT result = 0;
    if (DispatchToMap(msg, wParam, lParam, &result))
        return result;
    if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDOK)
        OnOK();
    else if (msg == WM_COMMAND && HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDCANCEL)
        OnCancel();
    else
        Default();
    return 0;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    CDialog* self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hWnd, DWLP_USER, lParam);
        self->m_hWnd = hWnd;
    }
    if (!self)
        return FALSE;
    // Handlers may run nested (a modal box inside a handler), so the request
    // for default processing is kept per message.
    bool outerDefault = self->m_bDefault;
    self->m_bDefault = false;
    LRESULT result = self->WindowProc(msg, wParam, lParam);
    bool wantsDefault = self->m_bDefault;
    self->m_bDefault = outerDefault;
    if (msg == WM_NCDESTROY)
        self->m_hWnd = nullptr;
    if (wantsDefault)
        return FALSE;
    return SetDlgMsgResult(hWnd, msg, result);
}

namespace {
BOOL CALLBACK EndIfModal(HWND hWnd, LPARAM)
{
    char className[8] = {};
    HWND hOwner = ::GetWindow(hWnd, GW_OWNER);
    if (hOwner && !::IsWindowEnabled(hOwner) && ::GetClassNameA(hWnd, className, sizeof className)
        && lstrcmpA(className, "#32770") == 0)
        ::EndDialog(hWnd, IDCANCEL);
    return TRUE;
}
}

void EndModalDialogs()
{
    ::EndMenu();
    ::EnumThreadWindows(::GetCurrentThreadId(), EndIfModal, 0);
}
