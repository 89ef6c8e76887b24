#pragma once
#include <windows.h>
#include <string>

// What became of a copy to the clipboard, step by step.
enum class ClipboardResult { Copied, NoMemory, CannotOpen, CannotEmpty, CannotSet };

// Puts the text on the clipboard as CF_TEXT; the clipboard is closed again
// whatever the result.
ClipboardResult CopyToClipboard(HWND hOwner, const std::string& text);
