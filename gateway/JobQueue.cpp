#include "JobQueue.h"
#include <algorithm>

namespace {
bool IsRun(const GatewayJob& job)
{
    return job.kind == GatewayJob::Run;
}

bool IsRunOrStop(const GatewayJob& job)
{
    return job.kind == GatewayJob::Run || job.kind == GatewayJob::Stop;
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
        TakeOverStops(&job);
        Drop(IsRunOrStop);
        m_bClosed = true;
        break;
    case GatewayJob::Remove:
        break;
    }
    m_jobs.push_back(std::move(job));
    return true;
}

void CJobQueue::TakeOverStops(GatewayJob* close) const
{
    for (const GatewayJob& stop : m_jobs) {
        if (stop.kind != GatewayJob::Stop)
            continue;
        for (const MappingEntry& row : stop.rows) {
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
