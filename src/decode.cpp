#include "decode.h"

#include "files.h"
#include "formats/drawing.h"
#include "formats/kinds.h"

#include <QBuffer>
#include <QColorSpace>
#include <QColorTransform>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QPixmap>
#include <QtConcurrentRun>
#include <algorithm>
#include <cmath>

namespace {

// The reader's own limit is 256 MiB; photographs and panoramas up to 1 GiB decoded must open. A
// picture larger than that opens reduced until it fits, where its reader can decode it so.
constexpr int decodelimitmb = 1024;
constexpr qint64 limitpixels = qint64(decodelimitmb) << 20 >> 2;
// A drawing is rendered at the size shown up to this many pixels (128 MiB), and enlarged beyond.
constexpr qint64 drawnpixels = qint64(32) << 20;

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

qint64 pixels(QSize size)
{
    return qint64(size.width()) * size.height();
}

// The largest decode of a picture the decoding limit allows: the whole, or else the least whole
// reduction of it (a half, a quarter...) under the limit, which JPEG decodes straight from the
// file; empty when none is.
QSize largestof(QSize whole)
{
    for (int shrink = 1; shrink <= 64; shrink *= 2) {
        const QSize size(whole.width() / shrink, whole.height() / shrink);
        if (pixels(size) <= limitpixels)
            return size.isEmpty() ? QSize() : size;
    }
    return QSize();
}

// Writers that mean sRGB often say so with sRGB's primaries and a plain 2.2 gamma (a PNG's gAMA
// and cHRM chunks, as image editors write them); browsers show such pictures as stored. (The
// toolkit takes two spaces of one set of primaries and gamma curves as the same, whatever their
// gammas: the curve is looked at itself.)
bool plainsrgb(const QColorSpace &space)
{
    if (space.transferFunction() != QColorSpace::TransferFunction::Gamma
        || qAbs(space.gamma() - 2.2f) > 0.01f)
        return false;
    if (space.primaries() == QColorSpace::Primaries::SRgb)
        return true;
    const QColorTransform primaries
        = space.withTransferFunction(QColorSpace::TransferFunction::SRgb)
              .transformationToColorSpace(QColorSpace::SRgb);
    for (const QRgb colour : { 0xffff0000, 0xff00ff00, 0xff0000ff, 0xff808080, 0xffc86464 }) {
        const QRgb mapped = primaries.map(colour);
        if (qAbs(qRed(mapped) - qRed(colour)) > 1 || qAbs(qGreen(mapped) - qGreen(colour)) > 1
            || qAbs(qBlue(mapped) - qBlue(colour)) > 1)
            return false;
    }
    return true;
}

// A picture's numbers mean what its colour profile says; the screen is taken to be sRGB, as an
// unmanaged screen is. A profile the toolkit cannot read (of grey or printing inks, tables it
// does not know, or broken) leaves the numbers shown as they are stored.
void tosrgb(QImage &image)
{
    const QColorSpace space = image.colorSpace();
    if (space.isValid() && space != QColorSpace::SRgb && !plainsrgb(space))
        image.convertToColorSpace(QColorSpace::SRgb);
}

QImage laidout(QImage image)
{
    if (image.isNull() || !image.hasAlphaChannel())
        return image.isNull() ? image : std::move(image).convertToFormat(opaqueformat);
    image = std::move(image).convertToFormat(alphaformat);
    if (image.format() == QImage::Format_ARGB32_Premultiplied
        && opaqueformat == QImage::Format_RGB32 && opaque(image))
        image.reinterpretAsFormat(QImage::Format_RGB32);
    return image;
}

// The size a drawing is rendered at to be shown fitted into the box: exactly that, within the
// largest rendering allowed.
QSize drawnsize(QSize whole, QSize box, bool *largest)
{
    QSize size = fitted(whole, box.isEmpty() ? whole : box);
    *largest = pixels(size) > drawnpixels;
    if (*largest)
        size = fitted(size, QSize(1, 1) * int(std::sqrt(double(drawnpixels))));
    return size;
}

} // namespace

void setupdecoding()
{
    // The project's own readers, and the reader the window's movie plays animations with, are
    // plugins in folders of the program's own (beside it as installed, or else in the build tree),
    // looked in before the toolkit's own: each is loaded, with its library, only when a picture
    // of its format is first read.
    const QString installed
        = QCoreApplication::applicationDirPath() + QLatin1String("/" PORVANE_PLUGINS);
    const QString plugins
        = QDir(installed).exists() ? installed : QStringLiteral(PORVANE_BUILT_PLUGINS);
    QCoreApplication::addLibraryPath(plugins + QLatin1String("/readers"));
    QCoreApplication::addLibraryPath(plugins + QLatin1String("/movie"));
    QImageReader::setAllocationLimit(decodelimitmb);
    QImage probe(1, 1, QImage::Format_ARGB32);
    probe.fill(Qt::transparent);
    alphaformat = QPixmap::fromImage(probe).toImage().format();
    probe.fill(Qt::black);
    opaqueformat
        = QPixmap::fromImage(probe.convertToFormat(QImage::Format_RGB32)).toImage().format();
}

void resolution::decoded(const QString &file, const extent &decode)
{
    source = file;
    of = decode;
    turns = 0;
}

void resolution::again(const extent &decode)
{
    of = decode;
}

void resolution::upright()
{
    turns = 0;
}

void resolution::turn(int quarters)
{
    turns = ((turns + quarters) % 4 + 4) % 4;
}

QSize resolution::turned(QSize size) const
{
    return turns % 2 ? size.transposed() : size;
}

QSize resolution::own() const
{
    return turned(of.whole);
}

bool resolution::covers(QSize image, QSize shown) const
{
    return source.isEmpty() || of.covers(image, shown);
}

QSize fitted(QSize picture, QSize box)
{
    if (picture.isEmpty() || box.isEmpty())
        return QSize();
    return picture.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
}

// The reader sees the file's contents only, so its name neither picks the format nor gives the
// picture a pixel ratio ("@2x"); a photograph is turned upright as its orientation tag says.
// Sizes are taken in the file's own orientation, which is the one the reader reduces in. A
// drawing reaches the toolkit's reader only once it is checked.
decoded decode(const QString &file, QSize box, qint64 budget)
{
    QFile input;
    // An empty file is no picture; no reader is loaded to say so.
    if (!openfile(file, input) || input.size() == 0)
        return {};
    QBuffer document;
    const bool drawing = drawing::claimed(input);
    if (drawing) {
        document.setData(drawing::checked(input));
        if (document.data().isEmpty() || !document.open(QIODevice::ReadOnly))
            return {};
    }
    // A picture of a format its first bytes tell is read by that format's reader alone, and no
    // other reader is loaded for it; only what they do not tell is offered to every reader.
    const QByteArray format = drawing ? QByteArray("svg") : formatof(input);
    QImageReader reader(drawing ? static_cast<QIODevice *>(&document) : &input, format);
    reader.setAutoDetectImageFormat(format.isEmpty());
    reader.setAutoTransform(true);
    // JPEG smooths its way from the step it decodes at to the size asked.
    reader.setQuality(100);
    const QSize stored = reader.size();
    const bool sideways = reader.transformation() & QImageIOHandler::TransformationRotate90;
    if (sideways)
        box.transpose();
    decoded result;
    result.of.whole = sideways ? stored.transposed() : stored;
    const bool sized = drawing || reader.supportsOption(QImageIOHandler::ScaledSize);
    // Those that decode at a size may give less than the whole; the others decode it whole.
    const QSize largest = sized && !drawing ? largestof(stored) : stored;
    if (largest.isEmpty())
        return {};
    QSize size = box.isEmpty() ? largest : fitted(stored, box).boundedTo(largest);
    if (drawing) {
        result.of.drawn = true;
        size = drawnsize(stored, box, &result.of.finest);
    } else {
        result.of.finest = size == largest;
    }
    if (pixels(sized ? size : stored) > budget)
        return {};
    if (sized && size != stored)
        reader.setScaledSize(size);
    QImage image = reader.read();
    // Where the reader knows the name (embedded pictures, other systems), "@2x" would halve it.
    image.setDevicePixelRatio(1);
    const QSize asked = sideways ? size.transposed() : size;
    if (!sized && !image.isNull() && image.size() != asked) {
        // Decoded whole, and averaged down to the size shown.
        image = image.scaled(asked, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    }
    // A picture of other proportions than its header said is shown in its own.
    const QSize kept = fitted(image.size(), asked);
    if (!drawing && !image.isNull()
        && (qAbs(kept.width() - asked.width()) > 1 || qAbs(kept.height() - asked.height()) > 1)) {
        result.of.whole = image.size().scaled(result.of.whole, Qt::KeepAspectRatioByExpanding);
        result.of.finest = true;
    }
    // Deep pictures are brought into sRGB's colours before they lose their depth.
    if (image.depth() > 32)
        tosrgb(image);
    result.image = laidout(std::move(image));
    tosrgb(result.image);
    return result;
}

QFuture<QList<QList<QImage>>> decodeahead(const QStringList &files)
{
    return QtConcurrent::run([files] {
        QList<QList<QImage>> pictures;
        for (const QString &file : files) {
            QImageReader reader(file);
            QList<QImage> all;
            for (QImage picture; reader.read(&picture);) {
                all << picture;
                if (!reader.jumpToNextImage())
                    break;
            }
            pictures << all;
        }
        return pictures;
    });
}
