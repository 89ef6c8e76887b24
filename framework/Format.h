#pragma once
#include <string>

// printf-style formatting into a narrow string.
std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// Between the program's narrow texts (the ANSI code page) and Windows' wide ones.
std::wstring WideText(const std::string& text);
std::string NarrowText(const wchar_t* text);
// Text the network gives in UTF-8, such as a mapping's description.
std::string NarrowFromUtf8(const std::string& text);
