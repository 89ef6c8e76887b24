#include "BoundedCall.h"
#include "../framework/Thread.h"

namespace {
// A thread that makes calls one at a time, so that a request costs no thread
// of its own. One that is given up on while a call hangs is abandoned: it
// finishes that call, frees what the call owns, and ends.
struct CRunner {
    std::function<void()> call;
    bool bCalling = false;
    bool bAbandoned = false;
};

// One lock and one condition for the hand-over both ways and for the
// give-up: events would cost a round trip through Wine's server each way,
// which was most of a fast router's answer time. Each side wakes the other
// only after letting go of the lock: woken while it is still held, the other
// thread would wake only to sleep again on the lock, two more switches per call.
SRWLOCK g_lock = SRWLOCK_INIT;
CONDITION_VARIABLE g_changed = CONDITION_VARIABLE_INIT;
bool g_bAbandonAll = false;
// The runner waiting for the next call. Calls come from one thread at a time.
CRunner* g_pIdleRunner = nullptr;

// Under the lock, which it lets go of for the wake and takes again.
void WakeWithLockLetGo()
{
    ::ReleaseSRWLockExclusive(&g_lock);
    ::WakeAllConditionVariable(&g_changed);
    ::AcquireSRWLockExclusive(&g_lock);
}

unsigned __stdcall RunnerProc(void* param)
{
    CRunner* runner = static_cast<CRunner*>(param);
    CSrwLockGuard guard(g_lock);
    while (!runner->bAbandoned) {
        if (!runner->bCalling) {
            ::SleepConditionVariableSRW(&g_changed, &g_lock, INFINITE, 0);
            continue;
        }
        ::ReleaseSRWLockExclusive(&g_lock);
        runner->call();
        runner->call = nullptr;
        ::AcquireSRWLockExclusive(&g_lock);
        runner->bCalling = false;
        WakeWithLockLetGo();
    }
    delete runner;
    return 0;
}

// Under the lock.
CRunner* IdleRunner()
{
    if (g_pIdleRunner)
        return g_pIdleRunner;
    CRunner* runner = new CRunner;
    if (!StartWorkerThread(RunnerProc, runner)) {
        delete runner;
        return nullptr;
    }
    return g_pIdleRunner = runner;
}
}

bool RunBounded(std::function<void()> call, DWORD timeoutMs, const std::atomic<bool>* stop)
{
    CSrwLockGuard guard(g_lock);
    CRunner* runner = IdleRunner();
    if (!runner)
        return false;
    runner->call = std::move(call);
    runner->bCalling = true;
    WakeWithLockLetGo();
    ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (runner->bCalling && !g_bAbandonAll && !(stop && *stop) && SleepUntil(g_changed, g_lock, deadline)) {
    }
    if (!runner->bCalling)
        return true;
    runner->bAbandoned = true;
    g_pIdleRunner = nullptr;
    return false;
}

void AbandonBoundedCalls()
{
    CSrwLockGuard guard(g_lock);
    g_bAbandonAll = true;
    ::WakeAllConditionVariable(&g_changed);
}

void WakeBoundedCalls()
{
    CSrwLockGuard guard(g_lock);
    ::WakeAllConditionVariable(&g_changed);
}
