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

} // namespace

QByteArray formatof(QIODevice &device)
{
    const QByteArray start = device.peek(256);
    if (start.startsWith("\x89PNG\r\n\x1a\n"))
        return "png";
    if (start.startsWith("\xff\xd8\xff"))
        return "jpeg";
    if (start.startsWith("GIF87a") || start.startsWith("GIF89a"))
        return "gif";
    if (start.startsWith("BM"))
        return "bmp";
    if (start.size() >= 12 && start.startsWith("RIFF") && start.mid(8, 4) == "WEBP")
        return "webp";
    if (start.startsWith("\xff\x0a")
        || start.startsWith(QByteArray("\0\0\0\x0cJXL \r\n\x87\n", 12)))
        return "jxl";
    if (start.startsWith(QByteArray::fromHex("0000000c6a5020200d0a870a"))
        || start.startsWith(QByteArray::fromHex("ff4fff51")))
        return "jp2";
    if (heifbrands(start))
        return "heif";
    return QByteArray();
}
