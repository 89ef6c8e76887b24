#include "AddressWatch.h"
#include "WorkerInbox.h"
#include <winsock2.h>
#include <iphlpapi.h>

CAddressWatch::CAddressWatch(CWorkerInbox& inbox) : m_inbox(inbox), m_pOverlapped(new OVERLAPPED())
{
    m_pOverlapped->hEvent = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Arm();
    if (!::RegisterWaitForSingleObject(&m_hWait, m_pOverlapped->hEvent, OnSignal, this, INFINITE,
                                       WT_EXECUTEDEFAULT))
        m_hWait = nullptr;
}

CAddressWatch::~CAddressWatch()
{
    if (m_hWait)
        ::UnregisterWaitEx(m_hWait, INVALID_HANDLE_VALUE);
    if (m_bArmed && !Cancel())
        return;
    ::CloseHandle(m_pOverlapped->hEvent);
    delete m_pOverlapped;
}

void CAddressWatch::Arm()
{
    HANDLE handle = nullptr;
    m_bArmed = ::NotifyAddrChange(&handle, m_pOverlapped) == ERROR_IO_PENDING;
}

void CALLBACK CAddressWatch::OnSignal(void* param, BOOLEAN)
{
    static_cast<CAddressWatch*>(param)->m_inbox.NoteAddressChange();
}

bool CAddressWatch::Cancel()
{
    ::CancelIPChangeNotify(m_pOverlapped);
    return ::WaitForSingleObject(m_pOverlapped->hEvent, kCancelWaitMs) == WAIT_OBJECT_0
        || HasOverlappedIoCompleted(m_pOverlapped);
}
