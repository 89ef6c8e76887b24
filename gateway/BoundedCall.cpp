#include "BoundedCall.h"
#include "../framework/Thread.h"
#include <mutex>

namespace {
// A thread that makes calls one at a time, so that a request costs no thread
// of its own. One that is given up on while a call hangs is abandoned: it
// finishes that call, frees what the call owns, and ends.
struct CRunner {
    HANDLE hStart = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE hDone = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::function<void()> call;
    // Orders the end of a call against its being given up on.
    std::mutex lock;
    bool bAbandoned = false;

    ~CRunner()
    {
        ::CloseHandle(hStart);
        ::CloseHandle(hDone);
    }
};

// The runner waiting for the next call. Calls come from one thread at a time.
CRunner* g_pIdleRunner = nullptr;

HANDLE AbandonEvent()
{
    static HANDLE s_hAbandon = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return s_hAbandon;
}

unsigned __stdcall RunnerProc(void* param)
{
    CRunner* runner = static_cast<CRunner*>(param);
    for (;;) {
        ::WaitForSingleObject(runner->hStart, INFINITE);
        runner->call();
        runner->call = nullptr;
        std::lock_guard<std::mutex> guard(runner->lock);
        if (runner->bAbandoned)
            break;
        ::SetEvent(runner->hDone);
    }
    delete runner;
    return 0;
}

CRunner* IdleRunner()
{
    if (g_pIdleRunner)
        return g_pIdleRunner;
    CRunner* runner = new CRunner;
    if (!runner->hStart || !runner->hDone || !StartWorkerThread(RunnerProc, runner)) {
        delete runner;
        return nullptr;
    }
    return g_pIdleRunner = runner;
}
}

bool RunBounded(std::function<void()> call, DWORD timeoutMs)
{
    CRunner* runner = IdleRunner();
    if (!runner)
        return false;
    runner->call = std::move(call);
    ::SetEvent(runner->hStart);
    HANDLE handles[] = { runner->hDone, AbandonEvent() };
    if (::WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0)
        return true;
    std::lock_guard<std::mutex> guard(runner->lock);
    // The call may have ended just now.
    if (::WaitForSingleObject(runner->hDone, 0) == WAIT_OBJECT_0)
        return true;
    runner->bAbandoned = true;
    g_pIdleRunner = nullptr;
    return false;
}

void AbandonBoundedCalls()
{
    ::SetEvent(AbandonEvent());
}
