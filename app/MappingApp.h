#pragma once
#include "../framework/App.h"

class CMappingApp : public CApp {
public:
    BOOL InitInstance() override;
};
