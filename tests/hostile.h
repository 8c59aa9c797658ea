#pragma once

#include "chunks.h"
#include "support.h"
#include "writers.h"

#include <QColorSpace>
#include <QRandomGenerator>
#include <QtEndian>
#include <array>

// A folder of what a viewer meets in the wild: good pictures beside broken, lying, enormous,
// unreadable and oddly named ones, and entries that are not files at all.
namespace hostile {

using chunks::bigendian;
using chunks::chunk;
using chunks::rgbpng;
using chunks::withprofile;

// A PNG whose header claims the given size, with a scrap of data: a decompression bomb's header.
inline QByteArray claimingpng(quint32 width, quint32 height)
{
    QByteArray header = bigendian(width) + bigendian(height) + QByteArray(5, 0);
    header[8] = 8; // bit depth
    header[9] = 2; // truecolour
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header)
        + chunk("IDAT", QByteArray::fromHex("789c636000000000ffff")) + chunk("IEND", {});
}

// A GIF of the given logical screen with the given number of 1 x 1 frames and no delay.
inline QByteArray gif(quint16 width, quint16 height, int frames)
{
    QByteArray screen(4, 0);
    qToLittleEndian(width, screen.data());
    qToLittleEndian(height, screen.data() + 2);
    // Two colours, red and blue; loops for ever.
    QByteArray bytes = "GIF89a" + screen + QByteArray::fromHex("800000ff00000000ff21ff0b")
        + "NETSCAPE2.0" + QByteArray::fromHex("0301000000");
    // Each frame: no delay, one pixel of the first colour.
    for (int i = 0; i < frames; ++i)
        bytes += QByteArray::fromHex("21f90400000000002c0000000001000100000202440100");
    return bytes + ';';
}

// Headers of other formats the reader knows by their contents, each claiming a vast picture.
inline QList<std::pair<QByteArray, QByteArray>> otherbombs()
{
    const QByteArray bitmap
        = QByteArray::fromHex("424d46000000000000003600000028000000a0860100a086010001001800")
        + QByteArray(24, 0);
    const QByteArray sof = QByteArray::fromHex(
        "ffd8ffc0001108ffdcffdc03012200021101031101ffd9"); // 65500 x 65500, three components
    QByteArray text = "Comment";
    text += '\0';
    text += '\0';
    text += qCompress(QByteArray(16 << 20, 'A'), 9).mid(4); // 16 MiB of text in a few kilobytes
    const QByteArray pixels = qCompress(QByteArray(4 * 13, 0)).mid(4);
    QByteArray header = bigendian(4) + bigendian(4) + QByteArray(5, 0);
    header[8] = 8;
    header[9] = 2;
    return {
        { "ppm.png", "P6\n100000 100000\n255\n" },
        { "bmp.jpg", bitmap },
        { "xpm.png",
            "/* XPM */\nstatic char *x[] = {\n\"60000 60000 1 1\",\n\"a c #ff0000\",\n\"a\"};\n" },
        { "xbm.gif",
            "#define x_width 100000\n#define x_height 100000\nstatic char x_bits[] = {0};\n" },
        { "ico.png", QByteArray::fromHex("00000100ffff") + QByteArray(64, 0) },
        { "sof.jpg", sof },
        { "text.png",
            QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("zTXt", text)
                + chunk("IDAT", pixels) + chunk("IEND", {}) },
    };
}

// A HEIF file whose colour description names primaries there are none of (which libheif reports
// as an error, having made the description all the same).
inline QByteArray unknownprimaries(QByteArray heif)
{
    const qsizetype at = heif.indexOf("nclx");
    if (at > 0)
        qToBigEndian<quint16>(255, heif.data() + at + 4);
    return heif;
}

// A patch of one colour stored under colour profiles that lie, break or do not fit, each made
// from a good Display P3 profile (or description).
inline QList<std::pair<QByteArray, QByteArray>> badprofiles()
{
    const QImage patch = filled(QSize(64, 48), QColor(200, 100, 100));
    const QByteArray png = encode(patch, "PNG");
    const QByteArray jpeg = encode(patch, "JPEG", 100);
    const QByteArray good = QColorSpace(QColorSpace::DisplayP3).iccProfile();
    const auto changed = [&good](int at, const QByteArray &bytes) {
        return QByteArray(good).replace(at, bytes.size(), bytes);
    };
    QRandomGenerator random(7);
    QByteArray noise(3000, 0);
    for (char &byte : noise)
        byte = char(random.bounded(256));
    QImage grey(64, 48, QImage::Format_Grayscale8);
    grey.fill(150);
    const writers::coded p3 { 12, 13, 6, true };
    return {
        { "icc-cut.png", withprofile(png, good.left(good.size() / 2)) },
        { "icc-tagcount.png", withprofile(png, changed(128, bigendian(0xfffffff0))) },
        { "icc-tagsize.jpg", withprofile(jpeg, changed(140, bigendian(0x7fffffff))) },
        { "icc-tagplace.png", withprofile(png, changed(136, bigendian(0xfffffff0))) },
        { "icc-link.png", withprofile(png, changed(12, "link")) },
        { "icc-cmyk.jpg", withprofile(jpeg, changed(16, "CMYK")) },
        { "icc-grey.png", withprofile(png, changed(16, "GRAY")) },
        { "icc-noise.png", withprofile(png, noise) },
        { "icc-noise.jpg", withprofile(jpeg, noise) },
        { "icc-header.jpg", withprofile(jpeg, good.left(128) + noise) },
        { "icc-rgb-on-grey.jpg", withprofile(encode(grey, "JPEG"), good) },
        { "nclx-unknown.heic", unknownprimaries(writers::heif(patch, false, 90, 1, &p3)) },
    };
}

// A HEIF picture that says it is coded as a change to other pictures of its file, as a predicted
// picture of an image sequence stored as items does: alone, it would decode to noise.
inline QByteArray predicted(QByteArray heif)
{
    const qsizetype at = heif.indexOf("pixi");
    if (at > 0)
        heif.replace(at, 4, "rref");
    return heif;
}

// Broken and hostile files of the formats the project reads itself or beyond PNG, JPEG and GIF:
// cut short, empty, noise after a good signature, PNG rows whose compression or checksums are
// broken or that end early, headers claiming vast pictures, drawings that expand without end,
// nest without end or reach outside themselves. Some carry the names the folder lists, so that
// steps reach them too.
// A little-endian TIFF of one directory of these entries (tag, type, one value), followed by the
// directory at `next` (0 for none) and 64 bytes of samples.
inline QByteArray tiffwith(const QList<std::array<quint32, 3>> &entries, quint32 next = 0)
{
    QByteArray file("II*\0\x08\0\0\0", 8);
    file += char(entries.size()) + QByteArray(1, 0);
    for (const auto &[tag, type, value] : entries) {
        QByteArray entry(12, 0);
        qToLittleEndian(quint16(tag), entry.data());
        qToLittleEndian(quint16(type), entry.data() + 2);
        qToLittleEndian<quint32>(1, entry.data() + 4);
        if (type == 3)
            qToLittleEndian(quint16(value), entry.data() + 8);
        else
            qToLittleEndian(value, entry.data() + 8);
        file += entry;
    }
    QByteArray after(4, 0);
    qToLittleEndian(next, after.data());
    return file + after + QByteArray(64, '\x7f');
}

inline QList<std::pair<QByteArray, QByteArray>> formatbombs()
{
    QImage picture(40, 30, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    const QByteArray heic = writers::heif(picture, false);
    const QByteArray avif = writers::heif(picture, true);
    const QByteArray jxl = writers::jxl(picture);
    const QByteArray jp2 = writers::jp2(picture);
    const QByteArray j2k = writers::jp2(picture, true);
    const QByteArray webp = writers::webp(picture, 90);
    const QByteArray tiff = encode(picture, "TIFF");
    // 64 x 64 rows of RGB, each after its filter byte: 64 rows, or the 15 rows of the seven
    // interlaced passes (8 + 8 + 4 + 4 + 2 + 2 + 1 samples of 8 + 8 + 8 + 16 + 16 + 32 + 32 rows).
    const QByteArray rows = qCompress(QByteArray(64 * (1 + 64 * 3), 0x40)).mid(4);
    QByteArray passes;
    for (const auto &[across, down] :
        { std::pair(8, 8), { 8, 8 }, { 16, 8 }, { 16, 16 }, { 32, 16 }, { 32, 32 }, { 64, 32 } })
        passes += QByteArray(down * (1 + across * 3), 0x40);
    const QByteArray interlaced = qCompress(passes).mid(4);
    QByteArray crc = rgbpng(64, 64, false, rows);
    crc[crc.indexOf("IEND") - 5] = char(crc[crc.indexOf("IEND") - 5] ^ 0x55);
    QByteArray adler = rows;
    adler[adler.size() - 1] = char(adler[adler.size() - 1] ^ 0x55);
    QByteArray undecodable = rows;
    undecodable[undecodable.size() / 2] = char(0xff);
    QRandomGenerator random(19);
    QByteArray noise(4000, 0);
    for (char &byte : noise)
        byte = char(random.bounded(256));
    // A HEIF picture whose spatial extents all say 65535 x 65535.
    QByteArray vastheic = heic;
    for (qsizetype at = vastheic.indexOf("ispe"); at > 0; at = vastheic.indexOf("ispe", at + 4)) {
        qToBigEndian<quint32>(65535, vastheic.data() + at + 8);
        qToBigEndian<quint32>(65535, vastheic.data() + at + 12);
    }
    // A HEIF picture of 40 x 30 whose grid says its tiles make 48680 x 5376 (found by fuzzing).
    QByteArray gridheic = heic;
    const qsizetype grid = gridheic.indexOf("idat");
    if (grid > 0) {
        qToBigEndian<quint16>(48680, gridheic.data() + grid + 8);
        qToBigEndian<quint16>(5376, gridheic.data() + grid + 10);
    }
    // A HEIF picture in 4:2:0 whose colour description says its samples are green, blue and red
    // as they are, which only a picture in full resolution can be (found by fuzzing).
    const writers::coded gbr { 1, 13, 0, true };
    // A TIFF file whose one strip would be 100000 x 100000 grey pixels.
    // A picture of 100000 x 100000 in a strip past the end of the file; one in tiles of 65536
    // pixels a side; one whose one strip lies past the end; one of 65535 samples a pixel; one
    // whose directory is followed by itself.
    const QByteArray vasttiff = tiffwith(
        { { 256, 4, 100000 }, { 257, 4, 100000 }, { 258, 3, 8 }, { 259, 3, 1 }, { 262, 3, 1 },
            { 273, 4, 8 }, { 277, 3, 1 }, { 278, 4, 100000 }, { 279, 4, 4000000000u } });
    const QByteArray vasttiles = tiffwith({ { 256, 4, 200000 }, { 257, 4, 200000 }, { 258, 3, 8 },
        { 259, 3, 1 }, { 262, 3, 1 }, { 277, 3, 1 }, { 322, 4, 65536 }, { 323, 4, 65536 },
        { 324, 4, 8 }, { 325, 4, 65536u * 65536u - 1 } });
    const QByteArray pasttheend
        = tiffwith({ { 256, 4, 64 }, { 257, 4, 64 }, { 258, 3, 8 }, { 259, 3, 5 }, { 262, 3, 1 },
            { 273, 4, 1u << 30 }, { 277, 3, 1 }, { 278, 4, 64 }, { 279, 4, 4096 } });
    const QByteArray vastsamples
        = tiffwith({ { 256, 4, 65535 }, { 257, 4, 900 }, { 258, 3, 8 }, { 259, 3, 8 },
            { 262, 3, 1 }, { 273, 4, 8 }, { 277, 3, 65535 }, { 278, 4, 40 }, { 279, 4, 64 } });
    const QByteArray looped
        = tiffwith({ { 256, 4, 64 }, { 257, 4, 64 }, { 258, 3, 8 }, { 259, 3, 1 }, { 262, 3, 1 },
                       { 273, 4, 8 }, { 277, 3, 1 }, { 278, 4, 64 }, { 279, 4, 4096 } },
            8);
    // A BMP whose run-length codes move past its rows, then repeat and copy past them, copying more
    // bytes than the file has; one of bit fields that are no run of bits; one whose headers are cut
    // short.
    QByteArray runs = writers::bmp(filled(QSize(8, 8), Qt::blue), { 8, 1 });
    const qsizetype codes = qsizetype(qFromLittleEndian<quint32>(runs.constData() + 10));
    runs = runs.left(codes) + QByteArray::fromHex("0002ff00ff01ff01000dffff000200ff0000ff");
    QByteArray scattered = writers::bmp(picture, { 16, 3, { 0x5555, 0xaaa0, 0x000f, 0 } });
    const QByteArray bitmap = writers::bmp(picture, {});
    QByteArray laughs = "<?xml version='1.0'?><!DOCTYPE svg [<!ENTITY a 'aaaaaaaaaa'>";
    for (char c = 'b'; c <= 'j'; ++c) {
        const QByteArray previous = QByteArray("&") + char(c - 1) + ';';
        laughs += QByteArray("<!ENTITY ") + c + " '" + previous.repeated(10) + "'>";
    }
    laughs += "]><svg xmlns='http://www.w3.org/2000/svg' width='10' "
              "height='10'><text>&j;</text></svg>";
    const QByteArray deep = "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'>"
        + QByteArray("<g>").repeated(100000) + QByteArray("</g>").repeated(100000) + "</svg>";
    const QByteArray outside = "<svg xmlns='http://www.w3.org/2000/svg' "
                               "xmlns:xlink='http://www.w3.org/1999/xlink' width='10' height='10'>"
                               "<image xlink:href='/dev/zero' width='10' height='10'/></svg>";
    const QByteArray nested = "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'>"
                              "<image href='data:image/svg+xml;base64,"
        + outside.toBase64() + "' width='10' height='10'/></svg>";
    const QByteArray system = "<?xml version='1.0'?><!DOCTYPE svg [<!ENTITY x SYSTEM "
                              "'file:///etc/passwd'>]><svg xmlns='http://www.w3.org/2000/svg' "
                              "width='10' height='10'><text>&x;</text></svg>";
    const QByteArray inflating = gzipped("<svg xmlns='http://www.w3.org/2000/svg' width='10' "
                                         "height='10'>"
        + QByteArray(64 << 20, ' ') + "</svg>");
    return {
        { "cut.heic", heic.left(heic.size() / 2) },
        { "cut.avif", avif.left(avif.size() * 2 / 3) },
        { "heic-cut.png", heic.left(heic.size() - 20) },
        { "noise.heic", heic.left(32) + noise },
        { "predicted.heic", predicted(heic) },
        { "vast.heic", vastheic },
        { "grid.heic", gridheic },
        { "gbr-subsampled.heic", writers::heif(picture, false, 90, 1, &gbr) },
        { "empty.heic", {} },
        { "cut.jxl", jxl.left(jxl.size() / 2) },
        { "jxl-noise.jpg", jxl.left(12) + noise },
        { "cut.jp2", jp2.left(jp2.size() / 2) },
        { "jp2-cut.gif", j2k.left(j2k.size() - 10) },
        { "noise.j2k", j2k.left(40) + noise },
        { "tiles.j2k", writers::jp2(filled(QSize(100, 100), Qt::blue), true, 1, 0, 1) },
        { "cut.webp", webp.left(webp.size() / 2) },
        { "passes-cut.png", rgbpng(64, 64, true, interlaced.left(interlaced.size() / 2)) },
        { "rows-short.png", rgbpng(64, 64, false, qCompress(QByteArray(32 * 193, 0)).mid(4)) },
        { "crc.png", crc },
        { "adler.png", rgbpng(64, 64, false, adler) },
        { "inflate.png", rgbpng(64, 64, false, undecodable) },
        { "cut.tiff", tiff.left(tiff.size() / 2) },
        { "vast.tiff", vasttiff },
        { "vast-tiles.tiff", vasttiles },
        { "strip-past-the-end.tiff", pasttheend },
        { "directory-loop.tiff", looped },
        { "samples-vast.tiff", vastsamples },
        { "runs-past.bmp", runs },
        { "fields-scattered.bmp", scattered },
        { "cut.bmp", bitmap.left(40) },
        { "laughs.svg", laughs },
        { "deep.svg", deep },
        { "outside.svg", outside },
        { "nested.svg", nested },
        { "system.svg", system },
        { "inflating.svgz", inflating },
        { "drawing-outside.gif", outside },
    };
}

// Good pictures with bytes changed at random: the same seed makes the same ones.
inline QList<std::pair<QByteArray, QByteArray>> mutants(
    const QList<QByteArray> &originals, int each, quint32 seed)
{
    QRandomGenerator random(seed);
    QList<std::pair<QByteArray, QByteArray>> made;
    for (const QByteArray &original : originals)
        for (int i = 0; i < each; ++i) {
            QByteArray bytes = original;
            for (int n = 1 + random.bounded(16); n > 0; --n)
                bytes[random.bounded(int(bytes.size()))] = char(random.bounded(256));
            const QByteArray kind = original.startsWith("GIF") ? "gif"
                : original.startsWith("\x89PNG")               ? "png"
                : original.startsWith("\xff\xd8")              ? "jpg"
                                                               : "heic";
            made.append({ "mutant" + QByteArray::number(made.size()) + '.' + kind, bytes });
        }
    return made;
}

// Fills the folder. Returns the good pictures' names; everything else in it is hostile.
inline QList<QByteArray> fill(const QString &folder)
{
    const QByteArray png = encode(filled(QSize(64, 48), Qt::red), "PNG");
    const QByteArray jpeg = encode(filled(QSize(640, 480), Qt::green), "JPEG");
    const QByteArray anim = gif(2, 2, 2);
    const QList<std::pair<QByteArray, QByteArray>> good = {
        { "a.png", png },
        { "b.jpg", jpeg },
        { "c.gif", anim },
        { "scan.png", encode(filled(QSize(3000, 2000), Qt::blue), "PNG") },
        { "with space.png", png },
        { "\xc3\xbcn\xc3\xaf.jpg", jpeg },
        { "\xff\xfe.png", png },
        { "-dash.png", png },
        { "--.gif", anim },
        { "x@2x.png", png },
    };
    for (const auto &[name, contents] : good)
        writebytes(folder, name, contents);

    const QList<std::pair<QByteArray, QByteArray>> bad = {
        { "cut.png", png.left(png.size() / 2) },
        { "cut.jpg", jpeg.left(jpeg.size() / 2) },
        { "cut.gif", anim.left(anim.size() / 2) },
        { "empty.png", {} },
        { "empty.gif", {} },
        { "text.jpg", "This is not a picture.\n" },
        { "bomb.png", claimingpng(100000, 100000) },
        { "widebomb.png", claimingpng(0x7fffffff, 1) },
        { "frames.gif", gif(2, 2, 5000) },
        { "screen.gif", gif(65535, 65535, 3) },
        { "locked.png", png },
    };
    for (const auto &[name, contents] : bad + otherbombs() + badprofiles() + formatbombs()
            + mutants(
                { png, jpeg, anim, writers::heif(filled(QSize(40, 30), Qt::red), false) }, 20, 1))
        writebytes(folder, name, contents);
    const QByteArray base = QFile::encodeName(folder) + '/';
    ::chmod(base + "locked.png", 0);
    ::mkdir(base + "folder.png", 0755);
    ::symlink("nowhere.png", base + "dangling.jpg");
    ::symlink("loop2.png", base + "loop1.png");
    ::symlink("loop1.png", base + "loop2.png");
    ::symlink("/dev/zero", base + "zero.jpg");
    ::mkfifo(base + "fifo.png", 0644);
    ::mkfifo(base + "fifo.gif", 0644);

    QList<QByteArray> names;
    for (const auto &entry : good)
        names << entry.first;
    return names;
}

// Every hostile name in the folder but the mutants, and two names of nothing, for drops.
inline QList<QByteArray> hostilenames()
{
    QList<QByteArray> names = { "cut.png", "cut.jpg", "cut.gif", "empty.png", "empty.gif",
        "text.jpg", "bomb.png", "widebomb.png", "frames.gif", "screen.gif", "locked.png",
        "folder.png", "dangling.jpg", "loop1.png", "zero.jpg", "fifo.png", "fifo.gif",
        "missing.png", "missing.gif" };
    for (const auto &bomb : otherbombs() + badprofiles() + formatbombs())
        names << bomb.first;
    return names;
}

inline QList<QByteArray> mutantnames()
{
    QList<QByteArray> names;
    for (int i = 0; i < 80; ++i)
        names << "mutant" + QByteArray::number(i)
                + (i < 20        ? ".png"
                        : i < 40 ? ".jpg"
                        : i < 60 ? ".gif"
                                 : ".heic");
    return names;
}

} // namespace hostile
