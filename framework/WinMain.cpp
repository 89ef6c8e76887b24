#include "App.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // The program is one modal dialog run from InitInstance: no message loop here.
    GetApp()->InitInstance();
    return 0;
}
