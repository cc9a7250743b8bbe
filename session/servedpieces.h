#pragma once

#include <QtGlobal>

#include <map>
#include <vector>

// The pieces of the image a device has been answered, to tell a repeated request from a new one.
// Kept as runs of consecutive pieces while that is the smaller: a device that asks in order costs
// one run whatever the image's size, where a flag per piece would be 1/32 of the image per port
// (half a megabyte for a 16 MiB image, 64 MiB for the largest). A device that asks all over the
// image, leaving more gaps than a flag per piece would cost, gets the flags instead.
class ServedPieces
{
public:
    void clear();

    // Marks the piece served; true when it had been served before.
    bool serve(quint32 piece);

    // Runs of consecutive served pieces, or -1 once kept as a flag per piece (for tests).
    int runs() const { return m_flags.empty() ? int(m_runs.size()) : -1; }

private:
    bool serveInRuns(quint32 piece);
    void switchToFlags();

    std::map<quint32, quint32> m_runs; // first piece -> one past the last
    std::vector<bool> m_flags;         // one per piece, once the runs cost more
    quint32 m_highest = 0;             // the highest piece served
};
