#pragma once
#include "../framework/App.h"

// The profile root and the message boxes' caption are "Gatewright" whatever
// the executable is called: a second download named "Gatewright (1).exe"
// finds the same list.
class CMappingApp : public CApp {
public:
    CMappingApp() : CApp("Gatewright") {}
    BOOL InitInstance() override;
};
