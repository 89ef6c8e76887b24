#include "Notices.h"

void CNotices::BeginStart(long generation)
{
    if (generation == m_nGeneration)
        return;
    m_nGeneration = generation;
    m_told.clear();
}

void CNotices::Tell(const std::string& key, const std::string& value, const std::string& line)
{
    auto told = m_told.emplace(key, value);
    if (!told.second && told.first->second == value)
        return;
    told.first->second = value;
    m_report(line);
}

void CNotices::Clear(const std::string& key)
{
    m_told.erase(key);
}

void CNotices::TellOnce(const std::string& key, const std::string& line)
{
    if (m_toldOnce.insert(key).second)
        m_report(line);
}

void CNotices::NoteExternalAddress(const std::string& address, int status)
{
    // A router that did not answer, or refused the question, said nothing of its address.
    if (status != 0)
        return;
    std::string line = m_reach.Take(address);
    if (!line.empty())
        m_report(line);
}
