#pragma once

#include "stationconfig.h"

#include <QDateTime>
#include <QList>
#include <QString>

class QIODevice;

// A run of the station as the export reads its records back: from its start on, the records of its
// slots in its log.
struct ExportedRun
{
    QDateTime started; // UTC
    QList<SlotConfig> fixture;
    QString logPath;
};

// The boards of the runs as CSV for a spreadsheet (RFC 4180), read from their record logs, the one
// durable copy: a header row, then one row per record of a run's slots from the run's start on,
// fields quoted where they hold a comma, a quote or a line end, rows ended by CRLF. The logs are
// read a line at a time, so that a long shift costs no memory. Returns the rows written, or -1
// with the reason in error.
qint64 writeRecordsCsv(const QList<ExportedRun> &runs, QIODevice *out, QString *error);
