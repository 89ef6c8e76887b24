#include "Clipboard.h"

namespace {
// A movable block holding the text and its zero; null when there is no memory.
HGLOBAL TextBlock(const std::string& text)
{
    HGLOBAL hBlock = ::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, text.size() + 1);
    char* copy = hBlock ? static_cast<char*>(::GlobalLock(hBlock)) : nullptr;
    if (!copy) {
        ::GlobalFree(hBlock);
        return nullptr;
    }
    lstrcpynA(copy, text.c_str(), static_cast<int>(text.size() + 1));
    ::GlobalUnlock(hBlock);
    return hBlock;
}

ClipboardResult PutBlock(HGLOBAL hBlock)
{
    if (!::EmptyClipboard())
        return ClipboardResult::CannotEmpty;
    // Once set, the block belongs to the clipboard.
    return ::SetClipboardData(CF_TEXT, hBlock) ? ClipboardResult::Copied : ClipboardResult::CannotSet;
}
}

ClipboardResult CopyToClipboard(HWND hOwner, const std::string& text)
{
    HGLOBAL hBlock = TextBlock(text);
    if (!hBlock)
        return ClipboardResult::NoMemory;
    if (!::OpenClipboard(hOwner)) {
        ::GlobalFree(hBlock);
        return ClipboardResult::CannotOpen;
    }
    ClipboardResult result = PutBlock(hBlock);
    ::CloseClipboard();
    if (result != ClipboardResult::Copied)
        ::GlobalFree(hBlock);
    return result;
}
