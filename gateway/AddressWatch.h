#pragma once
// Tells the worker when an address of this machine changes: a new network,
// a new lease, a cable plugged in. Where the system cannot tell, it never does.
// A pool thread waits for the change, so that the worker itself waits on its
// inbox alone. The system writes into the OVERLAPPED when the request
// completes, which may be after the cancel: it lives on the heap until its
// completion is certain, and is left to the process when that never comes.
#include <windows.h>

class CWorkerInbox;

class CAddressWatch {
public:
    explicit CAddressWatch(CWorkerInbox& inbox);
    CAddressWatch(const CAddressWatch&) = delete;
    CAddressWatch& operator=(const CAddressWatch&) = delete;
    // Returns once no callback runs any more.
    ~CAddressWatch();
    // Asks for the next change.
    void Arm();

private:
    static void CALLBACK OnSignal(void* param, BOOLEAN);
    // True once the request has completed, cancelled or not.
    bool Cancel();

    static const DWORD kCancelWaitMs = 500;
    CWorkerInbox& m_inbox;
    OVERLAPPED* m_pOverlapped;
    bool m_bArmed = false;
    HANDLE m_hWait = nullptr;
};
