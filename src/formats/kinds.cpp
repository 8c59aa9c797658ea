#include "kinds.h"

#include <QIODevice>
#include <QtEndian>

namespace {

// The brands of an ISO base media file (HEIF's container) that name HEIF and AVIF pictures.
bool heifbrands(const QByteArray &start)
{
    if (start.size() < 16 || start.mid(4, 4) != "ftyp")
        return false;
    const qint64 size = qMin<qint64>(qFromBigEndian<quint32>(start.constData()), start.size());
    for (qint64 at = 8; at + 4 <= size; at += 4) {
        if (at == 12)
            continue; // the minor version
        const QByteArray brand = start.mid(at, 4);
        for (const char *known :
            { "heic", "heix", "heim", "heis", "hevc", "hevx", "avif", "avis", "mif1", "msf1" })
            if (brand == known)
                return true;
    }
    return false;
}

// Each format's signature, by the key of its reader.
struct signature
{
    const char *key;
    bool (*matches)(const QByteArray &start);
};

const signature signatures[] = {
    { "png", [](const QByteArray &start) { return start.startsWith("\x89PNG\r\n\x1a\n"); } },
    // JPEG's reader is keyed apart from the toolkit's own JPEG plugin, which the project's does
    // not replace as a writer.
    { "jfif", [](const QByteArray &start) { return start.startsWith("\xff\xd8\xff"); } },
    { "gif",
        [](const QByteArray &start) {
            return start.startsWith("GIF87a") || start.startsWith("GIF89a");
        } },
    // BMP's reader too is keyed apart from the toolkit's own BMP reader and writer.
    { "dib", [](const QByteArray &start) { return start.startsWith("BM"); } },
    { "webp",
        [](const QByteArray &start) {
            return start.size() >= 12 && start.startsWith("RIFF") && start.mid(8, 4) == "WEBP";
        } },
    { "jxl",
        [](const QByteArray &start) {
            return start.startsWith("\xff\x0a")
                || start.startsWith(QByteArray("\0\0\0\x0cJXL \r\n\x87\n", 12));
        } },
    { "jp2",
        [](const QByteArray &start) {
            return start.startsWith(QByteArray::fromHex("0000000c6a5020200d0a870a"))
                || start.startsWith(QByteArray::fromHex("ff4fff51"));
        } },
    { "heif", heifbrands },
    // TIFF's reader too is keyed apart from the toolkit's own TIFF plugin.
    { "libtiff",
        [](const QByteArray &start) {
            return start.startsWith(QByteArray("II*\0", 4))
                || start.startsWith(QByteArray("MM\0*", 4))
                || start.startsWith(QByteArray("II+\0", 4))
                || start.startsWith(QByteArray("MM\0+", 4));
        } },
};

} // namespace

QByteArray formatof(QIODevice &device)
{
    const QByteArray start = device.peek(256);
    for (const signature &s : signatures)
        if (s.matches(start))
            return s.key;
    return QByteArray();
}

bool startsas(QIODevice &device, QByteArrayView key)
{
    const QByteArray start = device.peek(256);
    for (const signature &s : signatures)
        if (key == QByteArrayView(s.key))
            return s.matches(start);
    return false;
}
