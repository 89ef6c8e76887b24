#pragma once
#include "../framework/Dialog.h"
#include "../res/resource.h"
#include <string>

// The add-mapping dialog: one entry, appended to the owner's mapping list when
// the user presses the add button with the address and both ports filled in.
class CMappingAddDlg : public CDialog {
public:
    CMappingAddDlg() : CDialog(IDD_MAPPING_ADD) {}

    std::string m_strCaption;

protected:
    BOOL OnInitDialog() override;
    void OnBnClickedAdd();

    DECLARE_MESSAGE_MAP()

private:
    HWND Owner() const { return ::GetWindow(m_hWnd, GW_OWNER); }
};
