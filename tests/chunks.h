// Building blocks of PNG, JPEG and GIF files, for pictures the toolkit's writers would not make.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageWriter>
#include <QtEndian>
#include <zlib.h>

// A picture's file contents in the given format, at the given quality and compression.
inline QByteArray encode(
    const QImage &image, const char *format, int quality = -1, int compression = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    writer.setCompression(compression);
    writer.write(image);
    return bytes;
}

// A BMP file stored the other way up, top row first, as its negative height says.
inline QByteArray topdown(QByteArray bmp)
{
    const auto *header = reinterpret_cast<const uchar *>(bmp.constData());
    const qint32 offset = qFromLittleEndian<qint32>(header + 10);
    const qint32 width = qFromLittleEndian<qint32>(header + 18);
    const qint32 height = qFromLittleEndian<qint32>(header + 22);
    const int bits = qFromLittleEndian<quint16>(header + 28);
    const qsizetype row = (qsizetype(width) * bits + 31) / 32 * 4;
    QByteArray flipped = bmp.left(offset);
    for (qint32 y = height - 1; y >= 0; --y)
        flipped += bmp.mid(offset + y * row, row);
    qToLittleEndian<qint32>(-height, flipped.data() + 22);
    return flipped;
}

// Bytes compressed as a gzip file, as .svgz files are.
inline QByteArray gzipped(const QByteArray &bytes)
{
    z_stream stream {};
    deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&stream, uLong(bytes.size())) + 32), 0);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

namespace chunks {

inline quint32 crc(const QByteArray &bytes)
{
    quint32 c = 0xffffffff;
    for (const char byte : bytes) {
        c ^= uchar(byte);
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xedb88320 & (0 - (c & 1)));
    }
    return ~c;
}

inline QByteArray bigendian(quint32 value)
{
    QByteArray bytes(4, 0);
    qToBigEndian(value, bytes.data());
    return bytes;
}

inline QByteArray chunk(const char *type, const QByteArray &data)
{
    const QByteArray body = QByteArray(type) + data;
    return bigendian(quint32(data.size())) + body + bigendian(crc(body));
}

// A PNG of eight-bit RGB whose compressed rows are given as they stand (interlaced or not).
inline QByteArray rgbpng(quint32 width, quint32 height, bool interlaced, const QByteArray &stream)
{
    QByteArray header = bigendian(width) + bigendian(height) + QByteArray(5, 0);
    header[8] = 8;
    header[9] = 2;
    header[12] = interlaced ? 1 : 0;
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", stream)
        + chunk("IEND", {});
}

// A PNG or JPEG file's contents with a colour profile embedded as its writers embed one: a PNG's
// iCCP chunk after the header, a JPEG's APP2 segment after the start marker (up to its 64 KiB).
inline QByteArray withprofile(const QByteArray &picture, const QByteArray &profile)
{
    QByteArray bytes = picture;
    if (picture.startsWith("\x89PNG")) {
        const QByteArray data = QByteArray("icc\0\0", 5) + qCompress(profile).mid(4);
        return bytes.insert(33, chunk("iCCP", data));
    }
    const QByteArray fits = profile.left(65000);
    QByteArray segment = QByteArray::fromHex("ffe20000") + QByteArray("ICC_PROFILE\0\1\1", 14);
    qToBigEndian(quint16(2 + 14 + fits.size()), segment.data() + 2);
    return bytes.insert(2, segment + fits);
}

} // namespace chunks

// An animation of square frames: red, then blue, each shown for `delay` hundredths of a second
// and looping `loops` times after the first round (0: for ever; -1: no loop extension, played
// once); one of a single frame is a still GIF, as image editors save one. Each pixel is coded
// between clear codes, so no code table builds up: a frame of `side` pixels a side takes about
// three quarters of a byte a pixel, and from 75 pixels on it is larger than the toolkit's reader
// reads at once.
inline QByteArray gifbytes(int frames, int delay, int side, int loops = 0)
{
    const QByteArray sides = QByteArray(1, char(side & 0xff)) + char(side >> 8);
    const auto frame = [side, sides](int colour) {
        // Three-bit codes: 4 clears the table, 5 ends the picture.
        QByteArray codes;
        quint32 bits = 0;
        int held = 0;
        const auto put = [&](quint32 code) {
            bits |= code << held;
            for (held += 3; held >= 8; held -= 8, bits >>= 8)
                codes += char(bits & 0xff);
        };
        for (int i = 0; i < side * side; ++i) {
            put(4);
            put(quint32(colour));
        }
        put(5);
        if (held)
            codes += char(bits & 0xff);
        QByteArray data(1, 2);
        for (qsizetype at = 0; at < codes.size(); at += 255)
            data += char(qMin<qsizetype>(255, codes.size() - at)) + codes.mid(at, 255);
        return QByteArray::fromHex("2c00000000") + sides + sides + '\0' + data + '\0';
    };
    QByteArray gif
        = "GIF89a" + sides + sides + QByteArray::fromHex("810000ff00000000ff000000000000");
    if (frames > 1 && loops >= 0)
        gif += QByteArray::fromHex("21ff0b") + "NETSCAPE2.0" + QByteArray::fromHex("0301")
            + char(loops & 0xff) + char(loops >> 8) + '\0';
    const QByteArray control
        = QByteArray::fromHex("21f90404") + char(delay) + QByteArray(2, 0) + '\0';
    for (int i = 0; i < frames; ++i)
        gif += control + frame(i % 2);
    return gif + ';';
}
