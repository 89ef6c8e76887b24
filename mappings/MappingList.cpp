#include "MappingList.h"
#include "../framework/DottedAddress.h"
#include "../res/resource.h"
#include <windows.h>

namespace {
// Buffer sizes of the cells, terminating zero included.
const int kCellBuffer[] = { 4, 10, 10, 40, kRemarkBytes + 1 };
const int kStateCount = 4;
const int kStateIconSize = 16;

HIMAGELIST LoadStateImages()
{
    HIMAGELIST hImages = ::ImageList_Create(kStateIconSize, kStateIconSize, ILC_COLOR24 | ILC_MASK, kStateCount, 0);
    for (int state = 0; state < kStateCount; ++state) {
        HICON hIcon = static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr),
                                                      MAKEINTRESOURCEA(IDI_STATE_FIRST + state), IMAGE_ICON,
                                                      kStateIconSize, kStateIconSize, LR_DEFAULTCOLOR));
        ::ImageList_AddIcon(hImages, hIcon);
        ::DestroyIcon(hIcon);
    }
    return hImages;
}

std::string ReadCell(const CListCtrl& list, int row, int column)
{
    char text[4096];
    list.GetItemText(row, column, text, sizeof text);
    return CutToBytes(text, kCellBuffer[column] - 1);
}
}

void SetUpMappingList(const CListCtrl& list)
{
    list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    list.SetImageList(LoadStateImages(), LVSIL_SMALL);
    list.InsertColumn(kColProtocol, "协议", LVCFMT_CENTER, 60);
    list.InsertColumn(kColLocalPort, "本机端口", LVCFMT_CENTER, 70);
    list.InsertColumn(kColExternalPort, "外网端口", LVCFMT_CENTER, 70);
    list.InsertColumn(kColInternalIp, "IP地址", LVCFMT_LEFT, 106);
    list.InsertColumn(kColRemark, "备注", LVCFMT_LEFT, 120);
}

void AppendMappingEntry(const CListCtrl& list, const MappingEntry& entry)
{
    int row = list.InsertItem(list.GetItemCount(), entry.protocol.c_str());
    list.SetItemText(row, kColLocalPort, entry.localPort.c_str());
    list.SetItemText(row, kColExternalPort, entry.externalPort.c_str());
    list.SetItemText(row, kColInternalIp, entry.internalIp.c_str());
    list.SetItemText(row, kColRemark, entry.remark.c_str());
}

MappingEntry ReadMappingTarget(const CListCtrl& list, int row)
{
    return { ReadCell(list, row, kColProtocol), ReadCell(list, row, kColLocalPort),
             ReadCell(list, row, kColExternalPort), ReadCell(list, row, kColInternalIp), std::string() };
}

MappingEntry ReadMappingRow(const CListCtrl& list, int row)
{
    MappingEntry entry = ReadMappingTarget(list, row);
    entry.remark = ReadCell(list, row, kColRemark);
    return entry;
}

bool HasSeparator(const std::string& text)
{
    for (const char* p = text.c_str(); *p; p = ::CharNextA(p)) {
        if (*p == '|')
            return true;
    }
    return false;
}

std::string AsRemark(const std::string& text)
{
    std::string remark;
    for (const char* p = text.c_str(); *p;) {
        const char* next = ::CharNextA(p);
        remark += *p == '|' ? std::string("/") : std::string(p, next);
        p = next;
    }
    return CutToBytes(remark, kRemarkBytes);
}

bool IsTypableRow(const MappingEntry& row)
{
    std::uint32_t address = 0;
    return (row.protocol == "TCP" || row.protocol == "UDP") && IsValidPort(row.localPort)
        && IsValidPort(row.externalPort) && ParseDottedAddress(row.internalIp.c_str(), &address);
}

std::string CutToBytes(const std::string& text, size_t maxBytes)
{
    const char* start = text.c_str();
    const char* end = start;
    for (const char* next = ::CharNextA(end); *end && static_cast<size_t>(next - start) <= maxBytes;
         next = ::CharNextA(end))
        end = next;
    return std::string(start, end);
}
