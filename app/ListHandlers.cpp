// Adding and deleting rows of the main window's mapping list.
#include "MappingDlg.h"
#include "../mappings/MappingAddDlg.h"
#include "../mappings/MappingList.h"
#include "../mappings/MappingStore.h"

void CMappingDlg::OnAddMapping()
{
    CMappingAddDlg dialog;
    dialog.m_strCaption = "添加映射端口";
    dialog.m_strLanAddress = GetAddressItem(IDC_LAN_ADDRESS).GetAddressText();
    if (dialog.DoModal() != IDOK)
        return;
    AppendMappingEntry(m_listMappings, dialog.m_entry);
    // Stored at once: a crash must not lose it.
    MappingStore::SaveList(m_listMappings);
}

void CMappingDlg::OnDeleteMapping()
{
    if (m_listMappings.GetSelectedCount() == 0) {
        Report("提示: 你还没有选中列表中项目,删除失败!");
        return;
    }
    std::vector<MappingEntry> deleted;
    for (int row; (row = m_listMappings.GetNextSelected(-1)) != -1;) {
        deleted.push_back(ReadMappingTarget(m_listMappings, row));
        m_listMappings.DeleteItem(row);
    }
    MappingStore::SaveList(m_listMappings);
    m_worker->PostForgetFirewallRules(deleted, ReadRows());
    // Stop would no longer see these rows: their mappings leave the router now.
    if (m_bMappingActive)
        m_worker->PostRemove(std::move(deleted));
}

void CMappingDlg::OnRClickMappingList(NMHDR*, LRESULT* result)
{
    // The first pop-up of the main menu holds the add and delete commands.
    TrackMenuAtCursor(IDR_MAIN_MENU, TPM_RIGHTBUTTON);
    *result = 0;
}
