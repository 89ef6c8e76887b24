#pragma once
// The router's whole table, in a window of its own beside the main window:
// every mapping the router holds, whose it is, and the means to delete stale
// ones and take one into the list. Modeless; the main window keeps at most
// one. Every request goes through the main window's worker: this window only
// asks and shows what comes back.
#include "../framework/Dialog.h"
#include "../framework/ListCtrl.h"
#include "../gateway/RouterTable.h"
#include <vector>

class CMappingDlg;

class CRouterTableDlg : public CDialog {
public:
    explicit CRouterTableDlg(CMappingDlg& main);
    bool IsOpen() const { return m_hWnd != nullptr; }
    // A read of the table came: its mappings and how the read ended.
    void ShowTable(const TableRead& read);

protected:
    BOOL OnInitDialog() override;
    void OnOK() override {}
    void OnCancel() override { DestroyWindow(); }
    LRESULT WindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void OnRefresh();
    void OnDelete();
    void OnAdopt();
    void OnGetDispInfo(NMHDR* pNMHDR, LRESULT* pResult);
    LRESULT OnSize(WPARAM wParam, LPARAM lParam);
    LRESULT OnGetMinMaxInfo(WPARAM wParam, LPARAM lParam);
    void RequestTable();
    void ShowStatus(const std::string& text) const;
    // Fills the owner column from the list as it is now.
    void ShowOwners();
    std::vector<RouterMapping> SelectedMappings() const;

    // The main window's modal loop hands its messages to this hook first: the
    // hook gives this window's keys its dialog manager (Tab, Alt+letter).
    static LRESULT CALLBACK MessageFilter(int code, WPARAM wParam, LPARAM lParam);
    static HWND s_hOpen;
    static HHOOK s_hFilter;

    CMappingDlg& m_main;
    CListCtrl m_listTable;
    std::vector<RouterMapping> m_mappings;
    // Whose each mapping is, as the list was when it was last shown.
    std::vector<std::string> m_owners;
    // Each control's rectangle at the template's size, which the layout keeps
    // its margins from.
    std::vector<RECT> m_layout;
    SIZE m_templateSize = {};

    DECLARE_MESSAGE_MAP()
};
