// Built only into the benchmark's copy of the program (bench/CMakeLists.txt).
#include "RunTiming.h"
#include "../framework/Thread.h"

namespace {
// Library calls run on the bounding thread, runs on the worker, and the
// benchmark reads on the window's thread: one lock for all.
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_runEnded = CONDITION_VARIABLE_INIT;
LONGLONG g_libraryTicks = 0;
int g_nLibraryCalls = 0;
LONGLONG g_lastRunTicks = 0;
LONGLONG g_lastRunLibraryTicks = 0;
int g_nLastRunCalls = 0;
bool g_bRunEnded = false;

LONGLONG Now()
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

double TicksToMs(LONGLONG ticks)
{
    LARGE_INTEGER frequency;
    ::QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
}
}

CLibraryCallTimer::CLibraryCallTimer() : m_start(Now()) {}

CLibraryCallTimer::~CLibraryCallTimer()
{
    LONGLONG elapsed = Now() - m_start;
    CSrwLockGuard guard(g_lock);
    g_libraryTicks += elapsed;
    ++g_nLibraryCalls;
}

CRunTimer::CRunTimer()
{
    {
        CSrwLockGuard guard(g_lock);
        m_libraryBefore = g_libraryTicks;
        m_nCallsBefore = g_nLibraryCalls;
    }
    m_start = Now();
}

CRunTimer::~CRunTimer()
{
    LONGLONG elapsed = Now() - m_start;
    {
        CSrwLockGuard guard(g_lock);
        g_lastRunTicks = elapsed;
        g_lastRunLibraryTicks = g_libraryTicks - m_libraryBefore;
        g_nLastRunCalls = g_nLibraryCalls - m_nCallsBefore;
        g_bRunEnded = true;
    }
    ::WakeAllConditionVariable(&g_runEnded);
}

bool TakeRunTiming(DWORD timeoutMs, RunTiming* timing)
{
    CSrwLockGuard guard(g_lock);
    ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (!g_bRunEnded && SleepUntil(g_runEnded, g_lock, deadline)) {
    }
    if (!g_bRunEnded)
        return false;
    g_bRunEnded = false;
    timing->runMs = TicksToMs(g_lastRunTicks);
    timing->libraryMs = TicksToMs(g_lastRunLibraryTicks);
    timing->libraryCalls = g_nLastRunCalls;
    return true;
}
