#pragma once
// Times ahead on the 32-bit millisecond tick count, which wraps every 49
// days: compared by their difference, never by their value.
#include <windows.h>

inline bool TickPassed(DWORD tick)
{
    return static_cast<LONG>(::GetTickCount() - tick) >= 0;
}

// Milliseconds until tick, 0 once it has passed; one reading of the clock,
// so that it cannot wrap between two.
inline DWORD TickLeft(DWORD tick)
{
    LONG left = static_cast<LONG>(tick - ::GetTickCount());
    return left > 0 ? static_cast<DWORD>(left) : 0;
}
