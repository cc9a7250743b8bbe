#pragma once

#include "imagestamp.h"

#include <QByteArray>
#include <QString>

class QFile;

// What a record says about the image an update offered: where it is, how long it is and the
// SHA-256 of exactly those bytes.
struct ImageFacts
{
    QString path;
    qint64 size = 0;
    QByteArray sha256; // lowercase hex
};

// The firmware image of a run, shared by all its updates. It is hashed once, and hashed again only
// when an update finds the file changed, so that every record carries the hash of the bytes that
// update offered.
class FirmwareImage
{
public:
    explicit FirmwareImage(const QString &path) { m_facts.path = path; }

    // Reads the image as it is now. False, with the reason in problem, when it cannot be used:
    // missing, unreadable, empty, or larger than the protocol's offsets reach.
    bool load(QString *problem);

    // Opens file read-only and unbuffered for one update. facts and stamp describe the bytes the
    // file holds now; a file that changed since it was last hashed is hashed again. False, with
    // the reason in problem, when the image can no longer be used.
    bool openForUpdate(QFile &file, ImageFacts *facts, ImageStamp *stamp, QString *problem);

    const ImageFacts &facts() const { return m_facts; }

private:
    bool open(QFile &file, QString *problem);

    ImageFacts m_facts;
    ImageStamp m_stamp;
};
