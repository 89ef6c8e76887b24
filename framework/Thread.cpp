#include "Thread.h"
#include <windows.h>
#include <process.h>

bool StartWorkerThread(WorkerThreadProc proc, void* param)
{
    uintptr_t handle = _beginthreadex(nullptr, 0, proc, param, 0, nullptr);
    if (handle == 0)
        return false;
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

bool SleepUntil(CONDITION_VARIABLE& condition, SRWLOCK& lock, ULONGLONG deadline)
{
    ULONGLONG now = ::GetTickCount64();
    if (now >= deadline)
        return false;
    DWORD waitMs = deadline - now < INFINITE ? static_cast<DWORD>(deadline - now) : INFINITE;
    ::SleepConditionVariableSRW(&condition, &lock, waitMs, 0);
    return true;
}
