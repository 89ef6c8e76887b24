#pragma once
#include <windows.h>

// Timers for the benchmark's own build of the program (GATEWRIGHT_RUN_TIMING,
// set in bench/CMakeLists.txt): how long the worker's runs take, how much of
// that its requests, and how much of those the library's calls. In the shipped
// program they are empty and cost nothing.
enum class TimedSpan {
    // A request as the worker waits for it: handed to the bounding thread, made, and back.
    Request,
    // The library's call alone, on the bounding thread.
    LibraryCall,
};

#ifdef GATEWRIGHT_RUN_TIMING

// Adds the time from its construction to its end to the span's total.
class CSpanTimer {
public:
    explicit CSpanTimer(TimedSpan span);
    ~CSpanTimer();
    CSpanTimer(const CSpanTimer&) = delete;
    CSpanTimer& operator=(const CSpanTimer&) = delete;

private:
    TimedSpan m_span;
    LONGLONG m_start;
};

// Times one run of the worker, and the spans within it.
class CRunTimer {
public:
    CRunTimer();
    ~CRunTimer();
    CRunTimer(const CRunTimer&) = delete;
    CRunTimer& operator=(const CRunTimer&) = delete;

private:
    LONGLONG m_start;
    LONGLONG m_requestsBefore;
    LONGLONG m_libraryBefore;
    int m_nCallsBefore;
};

struct RunTiming {
    double runMs = 0;
    double requestMs = 0;
    double libraryMs = 0;
    int libraryCalls = 0;
};

// The last run that ended since the last call; waits up to timeoutMs for one
// to end, and is false when none did.
bool TakeRunTiming(DWORD timeoutMs, RunTiming* timing);

#else

class CSpanTimer {
public:
    explicit CSpanTimer(TimedSpan) {}
};

class CRunTimer {
public:
    CRunTimer() {}
};

#endif
