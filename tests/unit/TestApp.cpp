#include "TestApp.h"

CTestApp& TheTestApp()
{
    static CTestApp app;
    return app;
}

namespace {
// Constructed before any test runs, like the program's global application object.
CTestApp& g_app = TheTestApp();
}
