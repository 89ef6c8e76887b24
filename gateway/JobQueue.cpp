#include "JobQueue.h"
#include <algorithm>

namespace {
bool IsRun(const GatewayJob& job)
{
    return job.kind == GatewayJob::Run;
}

bool IsNotClose(const GatewayJob& job)
{
    return job.kind != GatewayJob::Close;
}
}

void CJobQueue::Drop(bool (*unwanted)(const GatewayJob&))
{
    m_jobs.erase(std::remove_if(m_jobs.begin(), m_jobs.end(), unwanted), m_jobs.end());
}

bool CJobQueue::Push(GatewayJob job)
{
    if (m_bClosed)
        return false;
    switch (job.kind) {
    case GatewayJob::Run:
    case GatewayJob::Stop:
        Drop(IsRun);
        break;
    case GatewayJob::Close:
        TakeOverRows(&job);
        Drop(IsNotClose);
        m_bClosed = true;
        break;
    default:
        break;
    }
    m_jobs.push_back(std::move(job));
    return true;
}

void CJobQueue::TakeOverRows(GatewayJob* close) const
{
    for (const GatewayJob& waiting : m_jobs) {
        // Only Stops and removals have mappings to leave the router.
        if (waiting.kind != GatewayJob::Stop && waiting.kind != GatewayJob::Remove)
            continue;
        for (const MappingEntry& row : waiting.rows) {
            if (std::find(close->rows.begin(), close->rows.end(), row) == close->rows.end())
                close->rows.push_back(row);
        }
    }
}

bool CJobQueue::Pop(GatewayJob* job)
{
    if (m_jobs.empty())
        return false;
    *job = std::move(m_jobs.front());
    m_jobs.pop_front();
    return true;
}

std::vector<MappingEntry> CJobQueue::CloseRows() const
{
    for (const GatewayJob& job : m_jobs) {
        if (job.kind == GatewayJob::Close)
            return job.rows;
    }
    return {};
}
