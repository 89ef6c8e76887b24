// Built only into the benchmark's copy of the program (bench/CMakeLists.txt).
#include "RunTiming.h"
#include "../framework/Thread.h"

namespace {
// Library calls run on the bounding thread, requests and runs on the worker,
// and the benchmark reads on the window's thread: one lock for all.
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_runEnded = CONDITION_VARIABLE_INIT;
LONGLONG g_requestTicks = 0;
LONGLONG g_libraryTicks = 0;
int g_nLibraryCalls = 0;
RunTiming g_lastRun;
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

CSpanTimer::CSpanTimer(TimedSpan span) : m_span(span), m_start(Now()) {}

CSpanTimer::~CSpanTimer()
{
    LONGLONG elapsed = Now() - m_start;
    CSrwLockGuard guard(g_lock);
    if (m_span == TimedSpan::Request) {
        g_requestTicks += elapsed;
    } else {
        g_libraryTicks += elapsed;
        ++g_nLibraryCalls;
    }
}

CRunTimer::CRunTimer()
{
    {
        CSrwLockGuard guard(g_lock);
        m_requestsBefore = g_requestTicks;
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
        g_lastRun.runMs = TicksToMs(elapsed);
        g_lastRun.requestMs = TicksToMs(g_requestTicks - m_requestsBefore);
        g_lastRun.libraryMs = TicksToMs(g_libraryTicks - m_libraryBefore);
        g_lastRun.libraryCalls = g_nLibraryCalls - m_nCallsBefore;
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
    *timing = g_lastRun;
    return true;
}
