#pragma once
#include <windows.h>

typedef unsigned(__stdcall* WorkerThreadProc)(void* param);

// Starts a worker thread at normal priority with the default stack size and
// lets it run on its own (no handle is kept). False when it could not start.
bool StartWorkerThread(WorkerThreadProc proc, void* param);

// Holds an SRW lock exclusively for a scope.
class CSrwLockGuard {
public:
    explicit CSrwLockGuard(SRWLOCK& lock) : m_lock(lock) { ::AcquireSRWLockExclusive(&m_lock); }
    CSrwLockGuard(const CSrwLockGuard&) = delete;
    CSrwLockGuard& operator=(const CSrwLockGuard&) = delete;
    ~CSrwLockGuard() { ::ReleaseSRWLockExclusive(&m_lock); }

private:
    SRWLOCK& m_lock;
};

const ULONGLONG kNoDeadline = ~0ULL;

// With the lock held: sleeps on the condition until woken or until the
// deadline (a GetTickCount64 tick, or kNoDeadline); false, without sleeping,
// once the deadline has passed. Callers loop while what they wait for is not there.
bool SleepUntil(CONDITION_VARIABLE& condition, SRWLOCK& lock, ULONGLONG deadline);
