#include "servedpieces.h"

#include <algorithm>

namespace {

// What a run costs in a std::map: its node with two keys, the links and the colour.
constexpr size_t RunBytes = 48;
// Below this the runs stay, whatever flags would cost: too little to be worth a change.
constexpr size_t SmallBytes = 4096;

} // namespace

void ServedPieces::clear()
{
    m_runs.clear();
    m_flags.clear();
    m_flags.shrink_to_fit();
    m_highest = 0;
}

bool ServedPieces::serve(quint32 piece)
{
    m_highest = std::max(m_highest, piece);
    if (!m_flags.empty()) {
        if (piece >= m_flags.size())
            m_flags.resize(size_t(piece) + 1, false);
        const bool served = m_flags[piece];
        m_flags[piece] = true;
        return served;
    }
    const bool served = serveInRuns(piece);
    if (m_runs.size() * RunBytes > std::max(SmallBytes, size_t(m_highest) / 8))
        switchToFlags();
    return served;
}

bool ServedPieces::serveInRuns(quint32 piece)
{
    // The run that starts at or before the piece, if any.
    auto after = m_runs.upper_bound(piece);
    if (after != m_runs.begin()) {
        const auto before = std::prev(after);
        if (piece < before->second)
            return true;
        if (piece == before->second) {
            // Extends the run before it, and joins the one after when the gap closes.
            before->second = piece + 1;
            if (after != m_runs.end() && after->first == before->second) {
                before->second = after->second;
                m_runs.erase(after);
            }
            return false;
        }
    }
    if (after != m_runs.end() && after->first == piece + 1) {
        // Extends the run after it backwards.
        const quint32 end = after->second;
        m_runs.erase(after);
        m_runs.emplace(piece, end);
        return false;
    }
    m_runs.emplace(piece, piece + 1);
    return false;
}

void ServedPieces::switchToFlags()
{
    m_flags.assign(size_t(m_highest) + 1, false);
    for (const auto &[first, end] : m_runs) {
        for (quint32 piece = first; piece < end; ++piece)
            m_flags[piece] = true;
    }
    m_runs.clear();
}
