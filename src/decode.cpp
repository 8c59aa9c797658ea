#include "decode.h"

#include "files.h"

#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <algorithm>

namespace {

// The reader's own limit is 256 MiB; photographs and panoramas up to 1 GiB decoded must open.
constexpr int decodelimitmb = 1024;

// The pixmap formats of this screen, opaque and with alpha, as learnt from the screen itself.
QImage::Format opaqueformat = QImage::Format_RGB32;
QImage::Format alphaformat = QImage::Format_ARGB32_Premultiplied;

bool opaque(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        if (!std::all_of(line, line + image.width(), [](QRgb p) { return qAlpha(p) == 255; }))
            return false;
    }
    return true;
}

} // namespace

void setupdecoding()
{
    QImageReader::setAllocationLimit(decodelimitmb);
    QImage probe(1, 1, QImage::Format_ARGB32);
    probe.fill(Qt::transparent);
    alphaformat = QPixmap::fromImage(probe).toImage().format();
    probe.fill(Qt::black);
    opaqueformat
        = QPixmap::fromImage(probe.convertToFormat(QImage::Format_RGB32)).toImage().format();
}

// The reader sees the file's contents only, so its name neither picks the format nor gives the
// picture a pixel ratio ("@2x"); a photograph is turned upright as its orientation tag says.
QImage decode(const QString &file, qint64 maxpixels)
{
    QFile input;
    if (!openfile(file, input))
        return QImage();
    QImageReader reader(&input);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (qint64(size.width()) * size.height() > maxpixels)
        return QImage();
    QImage image = reader.read();
    // Where the reader knows the name (embedded pictures, other systems), "@2x" would halve it.
    image.setDevicePixelRatio(1);
    if (image.isNull() || !image.hasAlphaChannel())
        return image.isNull() ? image : std::move(image).convertToFormat(opaqueformat);
    image = std::move(image).convertToFormat(alphaformat);
    if (image.format() == QImage::Format_ARGB32_Premultiplied
        && opaqueformat == QImage::Format_RGB32 && opaque(image))
        image.reinterpretAsFormat(QImage::Format_RGB32);
    return image;
}
