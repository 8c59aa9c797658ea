// Decodes pictures with the toolkit's own readers alone, as the suite's reference, and makes them
// what the viewer shows: in sRGB, eight bits a channel, premultiplied. For each file given it
// writes the name, then the whole picture and the picture averaged down to half its size in its
// own colours (as the viewer averages a picture it reduces), each as its width, height and pixels
// (a width and height of 0 when the toolkit cannot read it). Nothing of the project's own is
// linked in.

#include <QBuffer>
#include <QColorSpace>
#include <QCoreApplication>
#include <QDataStream>
#include <QFile>
#include <QImageReader>
#include <QMultiMap>
#include <QtEndian>

namespace {

// The chunks of a PNG file by type, each's body.
QMultiMap<QByteArray, QByteArray> chunks(const QByteArray &file)
{
    QMultiMap<QByteArray, QByteArray> found;
    for (qsizetype at = 8; at + 12 <= file.size();) {
        const qsizetype length = qFromBigEndian<quint32>(file.constData() + at);
        if (length > file.size() - at - 12)
            break;
        found.insert(file.mid(at + 4, 4), file.mid(at + 8, length));
        at += 12 + length;
    }
    return found;
}

// Where the toolkit's reader errs or does not look, the reference is made as the format says
// from what it reads right: a 16-bit picture keyed by tRNS (whose transparency it scrambles) is
// read without the key, then keyed; the cICP chunk, which it does not read, gives the colours.
QImage read(const QString &name)
{
    QFile file(name);
    file.open(QIODevice::ReadOnly);
    const QByteArray bytes = file.readAll();
    const QMultiMap<QByteArray, QByteArray> found = chunks(bytes);
    const QByteArray header = found.value("IHDR");
    const QByteArray keyed = found.value("tRNS");
    const bool deep = header.size() == 13 && header[8] == 16 && (header[9] == 0 || header[9] == 2);
    QBuffer buffer;
    if (deep && !keyed.isEmpty()) {
        buffer.setData(QByteArray(bytes).replace("tRNS", "tRNs"));
        buffer.open(QIODevice::ReadOnly);
    }
    QImageReader reader(buffer.isOpen() ? static_cast<QIODevice *>(&buffer) : &file);
    file.seek(0);
    reader.setAutoTransform(true);
    QImage picture = reader.read();
    if (buffer.isOpen() && !picture.isNull()) {
        picture = picture.convertToFormat(QImage::Format_RGBA64);
        const auto sample
            = [&keyed](int i) { return qFromBigEndian<quint16>(keyed.constData() + 2 * i); };
        const bool grey = header[9] == 0;
        for (int y = 0; y < picture.height(); ++y) {
            auto *line = reinterpret_cast<QRgba64 *>(picture.scanLine(y));
            for (int x = 0; x < picture.width(); ++x)
                if (grey ? line[x].red() == sample(0)
                         : line[x].red() == sample(0) && line[x].green() == sample(1)
                            && line[x].blue() == sample(2))
                    line[x] = QRgba64::fromRgba64(0, 0, 0, 0);
        }
    }
    const QByteArray codes = found.value("cICP");
    if (codes.size() == 4 && codes[0] == 12 && codes[1] == 13)
        picture.setColorSpace(QColorSpace::DisplayP3);
    return picture;
}

void write(QDataStream &stream, QImage picture)
{
    const QColorSpace space = picture.colorSpace();
    const bool convert = space.isValid() && space != QColorSpace::SRgb;
    if (picture.format() == QImage::Format_Grayscale16)
        picture = picture.convertToFormat(QImage::Format_RGBX64);
    if (convert && picture.depth() > 32)
        picture.convertToColorSpace(QColorSpace::SRgb);
    picture = picture.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    if (convert && picture.colorSpace() != QColorSpace::SRgb)
        picture.convertToColorSpace(QColorSpace::SRgb);
    stream << qint32(picture.width()) << qint32(picture.height());
    for (int y = 0; y < picture.height(); ++y)
        stream.writeRawData(
            reinterpret_cast<const char *>(picture.constScanLine(y)), picture.width() * 4);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QFile out;
    out.open(stdout, QIODevice::WriteOnly);
    QDataStream stream(&out);
    for (const QString &file : app.arguments().mid(1)) {
        const QImage picture = read(file);
        stream << file;
        write(stream, picture);
        const QSize half(qMax(1, picture.width() / 2), qMax(1, picture.height() / 2));
        write(stream, picture.scaled(half, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    }
    return 0;
}
