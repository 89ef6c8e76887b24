#pragma once
#include "MappingEntry.h"
#include "../framework/Dialog.h"
#include "../res/resource.h"
#include <string>

// The add-mapping dialog: one entry, taken when the user presses the add
// button with the address filled in, both ports from 1 to 65535 and a remark
// the store can keep. It ends with IDOK and the entry in m_entry.
class CMappingAddDlg : public CDialog {
public:
    CMappingAddDlg() : CDialog(IDD_MAPPING_ADD) {}

    std::string m_strCaption;
    // The address the dialog offers first: this machine's.
    std::string m_strLanAddress;
    MappingEntry m_entry;

protected:
    BOOL OnInitDialog() override;
    void OnBnClickedAdd();

    DECLARE_MESSAGE_MAP()
};
