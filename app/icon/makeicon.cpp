// Paints the icons of the two window programs and writes each as NAME.ico (seven 32-bit images
// for the Windows executable), NAME.png (128 px, the window icon elsewhere) and NAME-N.png, one per
// size of the .ico, for the desktop's icon theme: vantuupdate, a chip with a download arrow, and
// vantustation, four such chips side by side as boards sit on a fixture.
//
// Usage: makeicon OUTPUT_DIR

#include <QByteArray>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QRectF>
#include <QtEndian>

#include <array>
#include <cstdio>
#include <vector>

namespace {

constexpr std::array<int, 7> iconSizes{128, 96, 64, 48, 32, 24, 16};

const QColor pinColor(0xb0, 0xbe, 0xc5);
const QColor bodyColor(0x26, 0x32, 0x38);
const QColor bodyEdgeColor(0x45, 0x5a, 0x64);
const QColor arrowColor(0x4c, 0xaf, 0x50);
const QColor markColor(0x90, 0xa4, 0xae);

// Pins are drawn on whole pixels so that the small sizes stay crisp; their
// number shrinks with the size so that they never merge into a bar.
int pinsPerSide(int size)
{
    if (size >= 64)
        return 4;
    if (size >= 32)
        return 3;
    return 2;
}

QImage paintIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);

    const double s = size;
    const int pinLen = qMax(2, qRound(s * 0.10));
    const int bodyStart = pinLen + qMax(1, qRound(s * 0.03));
    const int bodyEnd = size - bodyStart;
    const int bodyLen = bodyEnd - bodyStart;

    QPainter p(&image);

    // Pins on all four sides, spread evenly along the body.
    const int pins = pinsPerSide(size);
    const int pinWidth = qMax(1, qRound(bodyLen / (pins * 2.2)));
    for (int i = 0; i < pins; ++i) {
        const double centre = bodyStart + bodyLen * (i + 0.5) / pins;
        const int from = qRound(centre - pinWidth / 2.0);
        p.fillRect(from, bodyStart - pinLen, pinWidth, pinLen + 1, pinColor);
        p.fillRect(from, bodyEnd - 1, pinWidth, pinLen + 1, pinColor);
        p.fillRect(bodyStart - pinLen, from, pinLen + 1, pinWidth, pinColor);
        p.fillRect(bodyEnd - 1, from, pinLen + 1, pinWidth, pinColor);
    }

    p.setRenderHint(QPainter::Antialiasing);

    // Chip body with a lighter rim.
    const QRectF body(bodyStart, bodyStart, bodyLen, bodyLen);
    const double radius = qMax(1.0, s * 0.06);
    const double rim = qMax(1.0, qRound(s * 0.025) * 1.0);
    p.setPen(Qt::NoPen);
    p.setBrush(bodyEdgeColor);
    p.drawRoundedRect(body, radius, radius);
    p.setBrush(bodyColor);
    p.drawRoundedRect(body.adjusted(rim, rim, -rim, -rim), radius - rim / 2, radius - rim / 2);

    // Pin-one mark, only where there is room for it.
    if (size >= 48) {
        const double d = s * 0.07;
        p.setBrush(markColor);
        p.drawEllipse(QRectF(bodyStart + rim + d * 0.7, bodyStart + rim + d * 0.7, d, d));
    }

    // Download arrow pointing down into the chip.
    const double cx = s / 2.0;
    const double shaftHalf = s * 0.085;
    const double headHalf = s * 0.22;
    const double top = bodyStart + bodyLen * 0.14;
    const double headTop = bodyStart + bodyLen * 0.50;
    const double tip = bodyEnd - bodyLen * 0.12;
    QPolygonF arrow;
    arrow << QPointF(cx - shaftHalf, top) << QPointF(cx + shaftHalf, top)
          << QPointF(cx + shaftHalf, headTop) << QPointF(cx + headHalf, headTop) << QPointF(cx, tip)
          << QPointF(cx - headHalf, headTop) << QPointF(cx - shaftHalf, headTop);
    p.setBrush(arrowColor);
    p.drawPolygon(arrow);

    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

// Four chips in a square, each half the size, a little apart.
QImage paintStationIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const int half = size / 2;
    const QImage chip = paintIcon(half);
    QPainter p(&image);
    for (int row = 0; row < 2; ++row) {
        for (int column = 0; column < 2; ++column)
            p.drawImage(column * (size - half), row * (size - half), chip);
    }
    p.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

void putLe16(QByteArray &out, quint16 v)
{
    char b[2];
    qToLittleEndian(v, b);
    out.append(b, 2);
}

void putLe32(QByteArray &out, quint32 v)
{
    char b[4];
    qToLittleEndian(v, b);
    out.append(b, 4);
}

// One icon image as a DIB: BITMAPINFOHEADER with doubled height, 32-bit BGRA
// rows bottom-up, then the 1-bit AND mask (bottom-up, rows padded to 32 bits)
// which older readers use when they ignore the alpha channel.
QByteArray iconDib(const QImage &image)
{
    const int w = image.width();
    const int h = image.height();
    const int maskStride = ((w + 31) / 32) * 4;
    const quint32 pixelBytes = quint32(w * h * 4);
    const quint32 maskBytes = quint32(maskStride * h);

    QByteArray out;
    putLe32(out, 40);             // biSize
    putLe32(out, quint32(w));     // biWidth
    putLe32(out, quint32(2 * h)); // biHeight: colour rows plus mask rows
    putLe16(out, 1);              // biPlanes
    putLe16(out, 32);             // biBitCount
    putLe32(out, 0);              // biCompression: BI_RGB
    putLe32(out, pixelBytes + maskBytes);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);
    putLe32(out, 0);

    QByteArray mask(int(maskBytes), '\0');
    for (int y = h - 1; y >= 0; --y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        char *maskRow = mask.data() + (h - 1 - y) * maskStride;
        for (int x = 0; x < w; ++x) {
            const QRgb px = line[x];
            const char bgra[4] = {char(qBlue(px)), char(qGreen(px)), char(qRed(px)),
                                  char(qAlpha(px))};
            out.append(bgra, 4);
            if (qAlpha(px) == 0)
                maskRow[x / 8] = char(maskRow[x / 8] | (0x80 >> (x % 8)));
        }
    }
    out.append(mask);
    return out;
}

// ICONDIR, one ICONDIRENTRY per image, then the images.
QByteArray iconFile(const std::vector<QImage> &images)
{
    std::vector<QByteArray> dibs;
    for (const QImage &image : images)
        dibs.push_back(iconDib(image));

    QByteArray out;
    putLe16(out, 0); // reserved
    putLe16(out, 1); // type: icon
    putLe16(out, quint16(images.size()));

    quint32 offset = quint32(6 + 16 * images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        const int w = images[i].width();
        const int h = images[i].height();
        out.append(char(w >= 256 ? 0 : w));
        out.append(char(h >= 256 ? 0 : h));
        out.append(char(0)); // no palette
        out.append(char(0)); // reserved
        putLe16(out, 1);     // planes
        putLe16(out, 32);    // bits per pixel
        putLe32(out, quint32(dibs[i].size()));
        putLe32(out, offset);
        offset += quint32(dibs[i].size());
    }
    for (const QByteArray &dib : dibs)
        out.append(dib);
    return out;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size()) {
        std::fprintf(stderr, "makeicon: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// Writes NAME.ico, NAME.png and one NAME-N.png per size into outDir.
bool writeIcon(const QDir &outDir, const QString &name, QImage (*paint)(int))
{
    std::vector<QImage> images;
    for (int size : iconSizes)
        images.push_back(paint(size));

    const QString icoPath = outDir.filePath(name + QStringLiteral(".ico"));
    const QString pngPath = outDir.filePath(name + QStringLiteral(".png"));
    if (!writeFile(icoPath, iconFile(images)))
        return false;
    if (!images.front().save(pngPath, "PNG")) {
        std::fprintf(stderr, "makeicon: cannot write %s\n", qPrintable(pngPath));
        return false;
    }
    for (const QImage &image : images) {
        const QString sizePath =
            outDir.filePath(QStringLiteral("%1-%2.png").arg(name).arg(image.width()));
        if (!image.save(sizePath, "PNG")) {
            std::fprintf(stderr, "makeicon: cannot write %s\n", qPrintable(sizePath));
            return false;
        }
    }
    std::printf("wrote %s, %s and one %s-N.png per size\n", qPrintable(icoPath),
                qPrintable(pngPath), qPrintable(name));
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    const QStringList args = app.arguments();
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: makeicon OUTPUT_DIR\n");
        return 2;
    }
    const QDir outDir(args.at(1));
    const bool written = writeIcon(outDir, QStringLiteral("vantuupdate"), paintIcon) &&
                         writeIcon(outDir, QStringLiteral("vantustation"), paintStationIcon);
    return written ? 0 : 1;
}
