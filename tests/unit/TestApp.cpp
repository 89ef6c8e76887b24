#include "TestApp.h"

TestApp& TheTestApp()
{
    static TestApp app;
    return app;
}

namespace {
// Constructed before any test runs, like the program's global application object.
TestApp& g_app = TheTestApp();
}
