#include "Window.h"

std::string CWindow::GetWindowText() const
{
    int length = ::GetWindowTextLengthA(m_hWnd);
    std::string text(length + 1, '\0');
    text.resize(::GetWindowTextA(m_hWnd, &text[0], length + 1));
    return text;
}
