// Adding and deleting rows of the main window's mapping list.
#include "../app/MappingDlg.h"
#include "../framework/App.h"
#include "MappingAddDlg.h"

void CMappingDlg::OnAddMapping()
{
    CMappingAddDlg dialog;
    dialog.m_strCaption = "添加映射端口";
    dialog.DoModal();
}

void CMappingDlg::OnDeleteMapping()
{
    if (m_listMappings.GetSelectedCount() == 0) {
        Report("提示: 你还没有选中列表中项目,删除失败!");
        return;
    }
    for (int row; (row = m_listMappings.GetNextSelected(-1)) != -1;)
        m_listMappings.DeleteItem(row);
}

void CMappingDlg::OnRClickMappingList(NMHDR*, LRESULT* result)
{
    POINT cursor;
    ::GetCursorPos(&cursor);
    HMENU hMenu = ::LoadMenuA(GetApp()->m_hInstance, MAKEINTRESOURCEA(IDR_MAIN_MENU));
    ::TrackPopupMenu(::GetSubMenu(hMenu, 0), TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_hWnd, nullptr);
    PostMessage(WM_NULL);
    ::DestroyMenu(hMenu);
    *result = 0;
}
