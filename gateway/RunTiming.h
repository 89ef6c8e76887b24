#pragma once
#include <windows.h>

// Timers for the benchmark's own build of the program (GATEWRIGHT_RUN_TIMING,
// set in bench/CMakeLists.txt): how long the worker's runs take, and how much
// of that the library's calls. In the shipped program they are empty and cost
// nothing.
#ifdef GATEWRIGHT_RUN_TIMING

// Adds the time of one library call, from its construction to its end.
class CLibraryCallTimer {
public:
    CLibraryCallTimer();
    ~CLibraryCallTimer();
    CLibraryCallTimer(const CLibraryCallTimer&) = delete;
    CLibraryCallTimer& operator=(const CLibraryCallTimer&) = delete;

private:
    LONGLONG m_start;
};

// Times one run of the worker, and the library calls made meanwhile.
class CRunTimer {
public:
    CRunTimer();
    ~CRunTimer();
    CRunTimer(const CRunTimer&) = delete;
    CRunTimer& operator=(const CRunTimer&) = delete;

private:
    LONGLONG m_start;
    LONGLONG m_libraryBefore;
    int m_nCallsBefore;
};

struct RunTiming {
    double runMs = 0;
    double libraryMs = 0;
    int libraryCalls = 0;
};

// The last run that ended since the last call; waits up to timeoutMs for one
// to end, and is false when none did.
bool TakeRunTiming(DWORD timeoutMs, RunTiming* timing);

#else

class CLibraryCallTimer {
public:
    CLibraryCallTimer() {}
};

class CRunTimer {
public:
    CRunTimer() {}
};

#endif
