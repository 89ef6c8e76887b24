#pragma once
#include <windows.h>

// Parses "a.b.c.d" with each part 0..255 (at most three digits); false for
// anything else. The address comes back in host order, a first.
bool ParseDottedAddress(const char* text, DWORD* address);
