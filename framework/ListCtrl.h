#pragma once
#include "Window.h"
#include <commctrl.h>

// Non-owning wrapper of a report-view list control; every method is one message.
class CListCtrl : public CWindow {
public:
    int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
    UINT GetSelectedCount() const { return static_cast<UINT>(SendMessage(LVM_GETSELECTEDCOUNT)); }
    int GetNextSelected(int nAfter) const
    {
        return static_cast<int>(SendMessage(LVM_GETNEXTITEM, nAfter, LVNI_SELECTED));
    }
    BOOL DeleteItem(int nItem) const { return static_cast<BOOL>(SendMessage(LVM_DELETEITEM, nItem)); }
    BOOL DeleteAllItems() const { return static_cast<BOOL>(SendMessage(LVM_DELETEALLITEMS)); }
    // A list that keeps no items of its own (LVS_OWNERDATA): how many its owner has.
    BOOL SetItemCount(int nItems) const { return static_cast<BOOL>(SendMessage(LVM_SETITEMCOUNT, nItems)); }
    BOOL RedrawItems(int nFirst, int nLast) const
    {
        return static_cast<BOOL>(SendMessage(LVM_REDRAWITEMS, nFirst, nLast));
    }
    void SetExtendedStyle(DWORD dwStyle) const
    {
        SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, dwStyle, dwStyle);
    }
    // The list destroys its image lists with itself.
    void SetImageList(HIMAGELIST hImages, int nType) const
    {
        SendMessage(LVM_SETIMAGELIST, nType, reinterpret_cast<LPARAM>(hImages));
    }
    int InsertColumn(int nCol, const char* heading, int nFormat, int nWidth) const;
    // Returns the index the control really used (a sorted list places the row
    // itself); the row shows the first image.
    int InsertItem(int nItem, const char* text) const;
    BOOL SetItemText(int nItem, int nSubItem, const char* text) const;
    BOOL SetItemImage(int nItem, int nImage) const;
    int GetItemImage(int nItem) const;
    // Copies at most nSize - 1 bytes and always terminates the buffer.
    int GetItemText(int nItem, int nSubItem, char* buffer, int nSize) const;
};
