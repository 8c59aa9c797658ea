#include "drawing.h"

#include <QBuffer>
#include <QIODevice>
#include <QTextStream>
#include <QXmlStreamReader>
#include <algorithm>
#include <zlib.h>

namespace drawing {

namespace {

// A drawing larger than this, inflated, is not drawn: no legitimate drawing needs it, and a
// small compressed file can claim gigabytes.
constexpr qsizetype documentlimit = qsizetype(32) << 20;
// Elements nested deeper than this, or more of them, are refused rather than walked.
constexpr int depthlimit = 256;
constexpr qint64 elementlimit = 1000000;

bool gzipped(QByteArrayView bytes)
{
    return bytes.size() >= 2 && uchar(bytes[0]) == 0x1f && uchar(bytes[1]) == 0x8b;
}

// The start of a file as the toolkit's SVG reader looks at it: 64 bytes, read as text.
bool claimedbytes(const QByteArray &start)
{
    if (start.size() < 8)
        return false;
    if (gzipped(start))
        return true;
    QTextStream text(start);
    const QByteArray first = text.read(16).trimmed().toLatin1();
    return first.startsWith("<?xml") || first.startsWith("<svg") || first.startsWith("<!--")
        || first.startsWith("<!DOCTYPE svg");
}

// Gzip data inflated, or nothing when it is broken or inflates past the limit.
QByteArray inflated(const QByteArray &bytes)
{
    z_stream stream {};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return QByteArray();
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    QByteArray out;
    char chunk[1 << 16];
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef *>(chunk);
        stream.avail_out = sizeof chunk;
        status = inflate(&stream, Z_NO_FLUSH);
        out.append(chunk, qsizetype(sizeof chunk - stream.avail_out));
        if (out.size() > documentlimit
            || (status == Z_OK && stream.avail_in == 0 && stream.avail_out))
            status = Z_DATA_ERROR;
    }
    inflateEnd(&stream);
    return status == Z_STREAM_END ? out : QByteArray();
}

// Whether a reference stays inside the drawing: a fragment of it, or data of a picture given in
// place, which must not itself be a drawing (its own references would go unchecked).
bool inside(QStringView reference)
{
    const QStringView value = reference.trimmed();
    if (value.startsWith(QLatin1Char('#')))
        return true;
    if (!value.startsWith(QLatin1String("data:"), Qt::CaseInsensitive))
        return false;
    const qsizetype comma = value.indexOf(QLatin1Char(','));
    if (comma < 0)
        return false;
    const QByteArray encoded = value.mid(comma + 1).toLatin1();
    const QByteArray payload = value.first(comma).contains(QLatin1String(";base64"))
        ? QByteArray::fromBase64(encoded)
        : QByteArray::fromPercentEncoding(encoded);
    return !claimedbytes(payload.left(64));
}

// Whether the document type declares an entity outside the drawing.
bool external(const QXmlStreamReader &xml)
{
    const QXmlStreamEntityDeclarations entities = xml.entityDeclarations();
    return std::any_of(entities.begin(), entities.end(), [](const QXmlStreamEntityDeclaration &e) {
        return !e.systemId().isEmpty() || !e.publicId().isEmpty();
    });
}

// Whether an element refers outside the drawing; a link (`a`) is only followed by a click.
bool refersout(const QXmlStreamReader &xml)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    return xml.name() != QLatin1String("a")
        && std::any_of(attributes.begin(), attributes.end(), [](const QXmlStreamAttribute &a) {
               return a.name() == QLatin1String("href") && !inside(a.value());
           });
}

bool bounded(const QByteArray &document)
{
    QXmlStreamReader xml(document);
    int depth = 0;
    qint64 elements = 0;
    bool style = false;
    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            if (external(xml))
                return false;
            break;
        case QXmlStreamReader::EntityReference:
            return false;
        case QXmlStreamReader::StartElement:
            if (++depth > depthlimit || ++elements > elementlimit || refersout(xml))
                return false;
            style = xml.name() == QLatin1String("style");
            break;
        case QXmlStreamReader::EndElement:
            --depth;
            style = false;
            break;
        case QXmlStreamReader::Characters:
            if (style && xml.text().contains(QLatin1String("@import"), Qt::CaseInsensitive))
                return false;
            break;
        default:
            break;
        }
    }
    return !xml.hasError();
}

} // namespace

bool claimed(QIODevice &file)
{
    return claimedbytes(file.peek(64));
}

QByteArray checked(QIODevice &file)
{
    if (file.size() > documentlimit)
        return QByteArray();
    QByteArray document = file.read(qMin(file.size(), qint64(documentlimit) + 1));
    if (gzipped(document))
        document = inflated(document);
    if (document.isEmpty() || document.size() > documentlimit || gzipped(document)
        || !bounded(document))
        return QByteArray();
    return document;
}

} // namespace drawing
