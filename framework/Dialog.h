#pragma once
#include "IpAddressCtrl.h"
#include "Window.h"
#include <windowsx.h>

class CDialog;

// One entry of a dialog's message map: which message (and for WM_COMMAND and
// WM_NOTIFY which control and notification code) goes to which handler. The
// thunk casts the dialog to its class and calls the typed handler.
struct MessageMapEntry {
    UINT message;
    UINT code;
    UINT id;
    LRESULT (*thunk)(CDialog* dialog, WPARAM wParam, LPARAM lParam);
};

// A dialog built from a template, modal, or modeless with Create. Every message passes WindowProc,
// which a dialog may override to see messages before its message map.
class CDialog : public CWindow {
public:
    explicit CDialog(UINT nTemplateId, HWND hParent = nullptr);
    CDialog(const CDialog&) = delete;
    CDialog& operator=(const CDialog&) = delete;
    virtual ~CDialog() = default;

    INT_PTR DoModal();
    // Modeless, owned by hOwner; it lives until DestroyWindow, after which
    // m_hWnd is null again.
    BOOL Create(HWND hOwner);
    BOOL DestroyWindow() const { return ::DestroyWindow(m_hWnd); }
    void EndDialog(INT_PTR nResult) const { ::EndDialog(m_hWnd, nResult); }
    CIpAddressCtrl GetAddressItem(int id) const { return CIpAddressCtrl(::GetDlgItem(m_hWnd, id)); }
    bool IsButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id) == BST_CHECKED; }
    BOOL CheckButton(int id, bool bChecked) const
    {
        return ::CheckDlgButton(m_hWnd, id, bChecked ? BST_CHECKED : BST_UNCHECKED);
    }

protected:
    virtual BOOL OnInitDialog();
    // Ties member wrappers to their controls; called by OnInitDialog.
    virtual void DoDataExchange() {}
    virtual LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual const MessageMapEntry* GetMessageMap() const { return nullptr; }
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

    // Asks, from inside a handler, for the dialog manager's own processing of
    // the current message as well.
    void Default() { m_bDefault = true; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
    bool DispatchToMap(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result);

    UINT m_nTemplateId;
    HWND m_hParent;
    bool m_bDefault = false;
};

// Ends this thread's modal dialogs and message boxes (each one's owner is
// disabled while it runs), each as if cancelled, and any menu it tracks, so
// that the modal loops return to whoever opened them.
void EndModalDialogs();

#define DECLARE_MESSAGE_MAP() \
protected: \
    const MessageMapEntry* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass) \
    const MessageMapEntry* theClass::GetMessageMap() const \
    { \
        typedef theClass ThisClass; \
        static const MessageMapEntry entries[] = {

#define END_MESSAGE_MAP() \
            { 0, 0, 0, nullptr } \
        }; \
        return entries; \
    }

#define MAP_THUNK(...) \
    [](CDialog* dialog, WPARAM wParam, LPARAM lParam) -> LRESULT { \
        ThisClass* self = static_cast<ThisClass*>(dialog); \
        (void)self; (void)wParam; (void)lParam; \
        __VA_ARGS__; \
    }

#define ON_COMMAND(id, handler) \
    { WM_COMMAND, 0, id, MAP_THUNK(self->handler(); return 0) },
#define ON_BN_CLICKED(id, handler) \
    { WM_COMMAND, BN_CLICKED, id, MAP_THUNK(self->handler(); return 0) },
#define ON_NOTIFY(code, id, handler) \
    { WM_NOTIFY, static_cast<UINT>(code), id, MAP_THUNK( \
        LRESULT result = 0; \
        self->handler(reinterpret_cast<NMHDR*>(lParam), &result); \
        return result) },
#define ON_MESSAGE(msg, handler) \
    { msg, 0, 0, MAP_THUNK(return self->handler(wParam, lParam)) },
#define ON_WM_SYSCOMMAND() \
    { WM_SYSCOMMAND, 0, 0, MAP_THUNK(self->OnSysCommand(static_cast<UINT>(wParam), lParam); return 0) },
#define ON_WM_PAINT() \
    { WM_PAINT, 0, 0, MAP_THUNK(self->OnPaint(); return 0) },
#define ON_WM_QUERYDRAGICON() \
    { WM_QUERYDRAGICON, 0, 0, MAP_THUNK(return reinterpret_cast<LRESULT>(self->OnQueryDragIcon())) },
#define ON_WM_TIMER() \
    { WM_TIMER, 0, 0, MAP_THUNK(self->OnTimer(static_cast<UINT_PTR>(wParam)); return 0) },
#define ON_WM_CLOSE() \
    { WM_CLOSE, 0, 0, MAP_THUNK(self->OnClose(); return 0) },
#define ON_WM_LBUTTONDOWN() \
    { WM_LBUTTONDOWN, 0, 0, MAP_THUNK( \
        POINT point = { GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam) }; \
        self->OnLButtonDown(static_cast<UINT>(wParam), point); \
        return 0) },
