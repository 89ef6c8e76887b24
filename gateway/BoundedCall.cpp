#include "BoundedCall.h"
#include "../framework/Thread.h"
#include <algorithm>
#include <memory>

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

// Calls run together, and what each gave; the flags are under the lock.
struct CTogether {
    std::vector<std::function<bool()>> calls;
    std::vector<bool> succeeded;
    size_t left;
};

struct CTogetherCall {
    std::shared_ptr<CTogether> together;
    size_t index;
};

unsigned __stdcall TogetherProc(void* param)
{
    std::unique_ptr<CTogetherCall> call(static_cast<CTogetherCall*>(param));
    bool succeeded = call->together->calls[call->index]();
    ::AcquireSRWLockExclusive(&g_lock);
    call->together->succeeded[call->index] = succeeded;
    --call->together->left;
    ::ReleaseSRWLockExclusive(&g_lock);
    ::WakeAllConditionVariable(&g_changed);
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

std::vector<bool> RunTogether(std::vector<std::function<bool()>> calls, DWORD timeoutMs,
                              const std::atomic<bool>* stop, bool firstWins)
{
    auto together = std::make_shared<CTogether>();
    together->succeeded.assign(calls.size(), false);
    together->left = calls.size();
    together->calls = std::move(calls);
    for (size_t index = 0; index < together->calls.size(); ++index) {
        auto* call = new CTogetherCall{ together, index };
        if (!StartWorkerThread(TogetherProc, call)) {
            delete call;
            CSrwLockGuard guard(g_lock);
            --together->left;
        }
    }
    CSrwLockGuard guard(g_lock);
    const std::vector<bool>& succeeded = together->succeeded;
    ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    while (together->left && !(firstWins && std::count(succeeded.begin(), succeeded.end(), true))
           && !g_bAbandonAll && !(stop && *stop) && SleepUntil(g_changed, g_lock, deadline)) {
    }
    return succeeded;
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
