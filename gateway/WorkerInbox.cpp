#include "WorkerInbox.h"
#include "../framework/Thread.h"
#include <algorithm>

namespace {
void AddOnce(std::vector<MappingEntry>* rows, const MappingEntry& row)
{
    if (std::find(rows->begin(), rows->end(), row) == rows->end())
        rows->push_back(row);
}

void MoveRows(std::vector<MappingEntry>* from, std::vector<MappingEntry>* to)
{
    for (const MappingEntry& row : *from)
        AddOnce(to, row);
    from->clear();
}
}

void CWorkerInbox::Push(GatewayJob job)
{
    {
        CSrwLockGuard guard(m_lock);
        m_queue.Push(std::move(job));
    }
    ::WakeConditionVariable(&m_wake);
}

void CWorkerInbox::PushClose(GatewayJob job)
{
    {
        CSrwLockGuard guard(m_lock);
        m_queue.Push(std::move(job));
        m_closeRowsLeft = m_queue.CloseRows();
        MoveRows(&m_pendingRemovals, &m_closeRowsLeft);
    }
    ::WakeConditionVariable(&m_wake);
}

bool CWorkerInbox::Take(GatewayJob* job)
{
    CSrwLockGuard guard(m_lock);
    return m_queue.Pop(job);
}

void CWorkerInbox::NoteAddressChange()
{
    {
        CSrwLockGuard guard(m_lock);
        m_bAddressChanged = true;
    }
    ::WakeConditionVariable(&m_wake);
}

bool CWorkerInbox::WaitForChange(DWORD timeoutMs)
{
    CSrwLockGuard guard(m_lock);
    ULONGLONG deadline = timeoutMs == INFINITE ? kNoDeadline : ::GetTickCount64() + timeoutMs;
    while (m_queue.Empty() && !m_bAddressChanged && SleepUntil(m_wake, m_lock, deadline)) {
    }
    bool changed = m_bAddressChanged;
    m_bAddressChanged = false;
    return changed;
}

void CWorkerInbox::AddPending(const MappingEntry& row)
{
    CSrwLockGuard guard(m_lock);
    AddOnce(&m_pendingRemovals, row);
}

std::vector<MappingEntry> CWorkerInbox::TakePending()
{
    std::vector<MappingEntry> rows;
    CSrwLockGuard guard(m_lock);
    MoveRows(&m_pendingRemovals, &rows);
    return rows;
}

void CWorkerInbox::ClosePending()
{
    CSrwLockGuard guard(m_lock);
    MoveRows(&m_pendingRemovals, &m_closeRowsLeft);
}

void CWorkerInbox::SetOpenPinholeLines(std::vector<std::string> lines)
{
    CSrwLockGuard guard(m_lock);
    if (!m_bCloseRowsTaken)
        m_closePinholeLines = std::move(lines);
}

bool CWorkerInbox::ClaimClosePinholes()
{
    CSrwLockGuard guard(m_lock);
    if (m_bCloseRowsTaken)
        return false;
    m_closePinholeLines.clear();
    return true;
}

bool CWorkerInbox::NextCloseRow(MappingEntry* row)
{
    CSrwLockGuard guard(m_lock);
    if (m_bCloseRowsTaken || m_closeRowsLeft.empty())
        return false;
    *row = m_closeRowsLeft.front();
    m_closeRowsLeft.erase(m_closeRowsLeft.begin());
    return true;
}

CloseLeft CWorkerInbox::TakeCloseLeft()
{
    CSrwLockGuard guard(m_lock);
    m_bCloseRowsTaken = true;
    return { std::move(m_closeRowsLeft), std::move(m_closePinholeLines) };
}

bool CWorkerInbox::CloseRowsTaken()
{
    CSrwLockGuard guard(m_lock);
    return m_bCloseRowsTaken;
}
