#pragma once

#include "sessionresult.h"

#include <QByteArray>
#include <QList>
#include <QString>

// A board's record as the station keeps it for export: the slot it was on and the result.
struct StationRecord
{
    QString slotName;
    SessionResult result;
};

// The records as CSV for a spreadsheet (RFC 4180): a header row, then one row per board, fields
// quoted where they hold a comma, a quote or a line end, rows ended by CRLF.
QByteArray recordsCsv(const QList<StationRecord> &records);
