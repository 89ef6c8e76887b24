#pragma once
#include "../../framework/App.h"

// The test program's application object: named like the real program, so the
// profile functions work under Software\Gatewright\Gatewright.
class CTestApp : public CApp {
public:
    CTestApp() : CApp("Gatewright") { SetRegistryKey("Gatewright"); }
    BOOL InitInstance() override { return FALSE; }
};

CTestApp& TheTestApp();
