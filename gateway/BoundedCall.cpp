#include "BoundedCall.h"
#include "../framework/Thread.h"
#include <atomic>

namespace {
// Shared by the caller and the call's thread; the last one out frees it, and
// with it whatever the call owns.
struct CallState {
    std::function<void()> call;
    HANDLE hDone = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> users{ 2 };

    void Release()
    {
        if (--users > 0)
            return;
        ::CloseHandle(hDone);
        delete this;
    }
};

HANDLE AbandonEvent()
{
    static HANDLE s_hAbandon = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return s_hAbandon;
}

unsigned __stdcall CallProc(void* param)
{
    CallState* state = static_cast<CallState*>(param);
    state->call();
    ::SetEvent(state->hDone);
    state->Release();
    return 0;
}
}

bool RunBounded(std::function<void()> call, DWORD timeoutMs)
{
    CallState* state = new CallState;
    state->call = std::move(call);
    if (!state->hDone || !StartWorkerThread(CallProc, state)) {
        state->users = 1;
        state->Release();
        return false;
    }
    HANDLE handles[] = { state->hDone, AbandonEvent() };
    bool done = ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
    state->Release();
    return done;
}

void AbandonBoundedCalls()
{
    ::SetEvent(AbandonEvent());
}
