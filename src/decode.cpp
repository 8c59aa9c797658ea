#include "decode.h"

#include "formats/drawing.h"
#include "formats/kinds.h"
#include "formats/pixels.h"

#include <QBuffer>
#include <QColorSpace>
#include <QColorTransform>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPixmap>
#include <algorithm>
#include <cmath>

namespace {

// The reader's own limit is 256 MiB; photographs and panoramas up to 1 GiB decoded must open. A
// picture larger than that opens reduced until it fits, where its reader can decode it so.
constexpr int decodelimitmb = 1024;
// A drawing is rendered at the size shown up to this many pixels (128 MiB), and enlarged beyond.
constexpr qint64 drawnpixels = qint64(32) << 20;

// The pixmap formats of this screen, opaque and with alpha, as learnt from the screen itself.
QImage::Format opaqueformat = QImage::Format_RGB32;
QImage::Format alphaformat = QImage::Format_ARGB32_Premultiplied;

// Pixels laid out for the screen's pixmaps, opaque and with alpha.
struct layout
{
    QImage::Format opaque;
    QImage::Format alpha;
};

bool opaque(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        if (!std::all_of(line, line + image.width(), [](QRgb p) { return qAlpha(p) == 255; }))
            return false;
    }
    return true;
}

qint64 area(QSize size)
{
    return qint64(size.width()) * size.height();
}

// The largest decode of a picture the decoding limit allows: the whole, or else the least whole
// reduction of it (a half, a quarter...) under the limit, which JPEG decodes straight from the
// file; empty when none is.
QSize largestof(QSize whole)
{
    const auto reduced
        = [whole](int shrink) { return QSize(whole.width() / shrink, whole.height() / shrink); };
    const int shrink = pixels::leastshrink(
        [&](int shrink) { return area(reduced(shrink)) <= pixels::limitpixels(); });
    const QSize size = shrink ? reduced(shrink) : QSize();
    return size.isEmpty() ? QSize() : size;
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

QImage laidout(QImage image, layout formats)
{
    if (image.isNull() || !image.hasAlphaChannel())
        return image.isNull() ? image : std::move(image).convertToFormat(formats.opaque);
    image = std::move(image).convertToFormat(formats.alpha);
    if (image.format() == QImage::Format_ARGB32_Premultiplied
        && formats.opaque == QImage::Format_RGB32 && opaque(image))
        image.reinterpretAsFormat(QImage::Format_RGB32);
    return image;
}

// The size a drawing is rendered at to be shown fitted into the box: exactly that, within the
// largest rendering allowed.
QSize drawnsize(QSize whole, QSize box, bool *largest)
{
    QSize size = fitted(whole, box.isEmpty() ? whole : box);
    *largest = area(size) > drawnpixels;
    if (*largest)
        size = fitted(size, QSize(1, 1) * int(std::sqrt(double(drawnpixels))));
    return size;
}

} // namespace

void setupdecoding()
{
    findreaders(readersfolder());
    QImage probe(1, 1, QImage::Format_ARGB32);
    probe.fill(Qt::transparent);
    alphaformat = QPixmap::fromImage(probe).toImage().format();
    probe.fill(Qt::black);
    opaqueformat
        = QPixmap::fromImage(probe.convertToFormat(QImage::Format_RGB32)).toImage().format();
}

QImage::Format opaquepixmaps()
{
    return opaqueformat;
}

QImage::Format alphapixmaps()
{
    return alphaformat;
}

QString readersfolder()
{
    const QString program = QCoreApplication::instance()
        ? QCoreApplication::applicationDirPath()
        : QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).path();
    const QString installed = program + QLatin1String("/" PORVANE_PLUGINS);
    return QDir(installed).exists() ? installed : QStringLiteral(PORVANE_BUILT_PLUGINS);
}

void findreaders(const QString &folder)
{
    QCoreApplication::addLibraryPath(folder + QLatin1String("/readers"));
    QCoreApplication::addLibraryPath(folder + QLatin1String("/movie"));
    QImageReader::setAllocationLimit(decodelimitmb);
}

void indexreaders()
{
    // A format no reader offers, asked of nothing: every reader's file is looked at, none loaded.
    QBuffer nothing;
    nothing.open(QIODevice::ReadOnly);
    QImageReader reader(&nothing, QByteArrayLiteral("-"));
    reader.setAutoDetectImageFormat(false);
    reader.canRead();
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

namespace {

// What a decode asks of its reader: the picture's size as stored and whether its orientation
// turns it across, whether the reader decodes at a size, and the size it is decoded at, in the
// file's own orientation, which is the one the reader reduces in.
struct plan
{
    QSize stored;
    bool sideways = false;
    bool sized = false;
    bool drawing = false;
    QSize size;
    extent of;

    QSize asked() const { return sideways ? size.transposed() : size; }
};

// The reader of a file: a drawing only once it is checked, held in `document`; a picture of a
// format its first bytes tell by that format's reader alone, so that no other reader is loaded
// for it; only what they do not tell is offered to every reader. Its name neither picks the
// format nor gives the picture a pixel ratio ("@2x"); a photograph is turned upright as its
// orientation tag says.
bool prepare(QImageReader &reader, QFile &input, QBuffer &document)
{
    const bool drawing = drawing::claimed(input);
    if (drawing) {
        document.setData(drawing::checked(input));
        if (document.data().isEmpty() || !document.open(QIODevice::ReadOnly))
            return false;
    }
    const QByteArray format = drawing ? QByteArray("svg") : formatof(input);
    reader.setDevice(drawing ? static_cast<QIODevice *>(&document) : &input);
    reader.setFormat(format);
    reader.setAutoDetectImageFormat(format.isEmpty());
    reader.setAutoTransform(true);
    return true;
}

// The size to decode at: that shown, within the largest decode the limit allows; a drawing's
// within the largest rendering. Empty where nothing may be decoded.
plan planned(QImageReader &reader, bool drawing, QSize box)
{
    plan p;
    p.drawing = drawing;
    // A BMP stored top-down says so with a negative height.
    p.stored = QSize(qAbs(reader.size().width()), qAbs(reader.size().height()));
    p.sideways = reader.transformation() & QImageIOHandler::TransformationRotate90;
    if (p.sideways)
        box.transpose();
    p.of.whole = p.sideways ? p.stored.transposed() : p.stored;
    p.sized = drawing || reader.supportsOption(QImageIOHandler::ScaledSize);
    // Those that decode at a size may give less than the whole; the others decode it whole.
    const QSize largest = p.sized && !drawing ? largestof(p.stored) : p.stored;
    if (largest.isEmpty())
        return p;
    p.size = box.isEmpty() ? largest : fitted(p.stored, box).boundedTo(largest);
    p.of.drawn = drawing;
    if (drawing)
        p.size = drawnsize(p.stored, box, &p.of.finest);
    else
        p.of.finest = p.size == largest;
    return p;
}

QImage read(QImageReader &reader, const plan &p)
{
    if (p.sized && p.size != p.stored)
        reader.setScaledSize(p.size);
    QImage image = reader.read();
    // Where the reader knows the name (embedded pictures, other systems), "@2x" would halve it.
    image.setDevicePixelRatio(1);
    // Decoded whole, and averaged down to the size shown.
    if (!p.sized && !image.isNull() && image.size() != p.asked())
        image = image.scaled(p.asked(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

// A picture of other proportions than its header said is shown in its own; every picture comes
// in sRGB's colours, laid out as the screen's pixmaps.
decoded finish(QImage image, plan p, layout formats)
{
    const QSize kept = fitted(image.size(), p.asked());
    if (!p.drawing && !image.isNull() && !pixels::withinpixel(kept, p.asked())) {
        p.of.whole = image.size().scaled(p.of.whole, Qt::KeepAspectRatioByExpanding);
        p.of.finest = true;
    }
    // Deep pictures are brought into sRGB's colours before they lose their depth.
    if (image.depth() > 32)
        tosrgb(image);
    decoded result { laidout(std::move(image), formats), p.of };
    tosrgb(result.image);
    return result;
}

} // namespace

decoded decodeopen(
    QFile &input, QSize box, qint64 budget, QImage::Format opaque, QImage::Format alpha)
{
    // An empty file is no picture; no reader is loaded to say so.
    if (input.size() == 0)
        return {};
    QBuffer document;
    QImageReader reader;
    if (!prepare(reader, input, document))
        return {};
    const plan p = planned(reader, reader.device() == &document, box);
    if (p.size.isEmpty() || area(p.sized ? p.size : p.stored) > budget)
        return {};
    return finish(read(reader, p), p, { opaque, alpha });
}
