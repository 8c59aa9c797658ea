// Writes the fuzzing targets' first inputs: pictures of each of the project's own formats as the
// tests make them, in a folder a format: seeds/heif, seeds/jxl, seeds/jp2, seeds/webp,
// seeds/jpeg, seeds/tiff, seeds/bmp.

#include "chunks.h"
#include "writers.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageWriter>
#include <cstdio>

int main(int argc, char **argv)
{
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: seeds FOLDER\n");
        return 2;
    }
    const QDir into(QString::fromLocal8Bit(argv[1]));
    QImage blocks(40, 30, QImage::Format_RGB32);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 40; ++x)
            blocks.setPixel(x, y, qRgb(x * 6, y * 8, (x ^ y) * 4));
    QImage alpha = blocks.convertToFormat(QImage::Format_ARGB32);
    alpha.setPixel(3, 3, qRgba(10, 20, 30, 40));
    const QImage deep = blocks.convertToFormat(QImage::Format_RGBX64);
    const QImage grey = blocks.convertToFormat(QImage::Format_Grayscale8);
    const QImage odd = blocks.copy(0, 0, 33, 21);
    const writers::coded p3 { 12, 13, 6, true };
    QImage p3blocks = odd;
    p3blocks.setColorSpace(QColorSpace::DisplayP3);
    const writers::coded pq { 9, 16, 9, false };
    const QList<std::pair<QString, QByteArray>> files = {
        { "webp/lossy.webp", writers::webp(blocks, 80) },
        { "webp/lossless.webp", writers::webp(blocks, 100) },
        { "webp/alpha.webp", writers::webp(alpha, 80) },
        { "webp/odd.webp", writers::webp(odd, 50) },
        { "heif/plain.heic", writers::heif(blocks, false) },
        { "heif/turned.heic", writers::heif(blocks, false, 80, 6, nullptr, 3) },
        { "heif/p3.heic", writers::heif(blocks, false, 80, 1, &p3) },
        { "heif/deep.heic", writers::heif(deep, false) },
        { "heif/pq.heic", writers::heif(deep, false, 80, 1, &pq) },
        { "heif/grey.heic", writers::heif(grey, false) },
        { "heif/alpha.heic", writers::heif(alpha, false) },
        { "heif/odd.heic", writers::heif(odd, false) },
        { "heif/plain.avif", writers::heif(blocks, true) },
        { "heif/alpha.avif", writers::heif(alpha, true) },
        { "heif/deep.avif", writers::heif(deep, true) },
        { "jxl/plain.jxl", writers::jxl(blocks) },
        { "jxl/lossy.jxl", writers::jxl(blocks, 1) },
        { "jxl/turned.jxl", writers::jxl(blocks, 0, 5, 12) },
        { "jxl/deep.jxl", writers::jxl(deep) },
        { "jxl/pq.jxl", writers::jxl(deep, 1, 1, 9, 16) },
        { "jxl/alpha.jxl", writers::jxl(alpha) },
        { "jxl/odd.jxl", writers::jxl(odd, 1) },
        { "jp2/plain.jp2", writers::jp2(blocks) },
        { "jp2/lossy.jp2", writers::jp2(blocks, false, 4, 20) },
        { "jp2/plain.j2k", writers::jp2(blocks, true) },
        { "jp2/grey.jp2", writers::jp2(grey) },
        { "jp2/alpha.jp2", writers::jp2(alpha) },
        { "jp2/odd.j2k", writers::jp2(odd, true, 3) },
        { "jp2/extra.jp2", writers::jp2(alpha, false, 6, 0, 0, false, 1) },
        { "jp2/inks.jp2", writers::jp2(blocks, false, 6, 0, 0, false, 0, true) },
        { "jpeg/plain.jpg", encode(blocks, "JPEG", 90) },
        { "jpeg/grey.jpg", encode(grey, "JPEG", 50) },
        { "jpeg/p3.jpg", encode(p3blocks, "JPEG", 80) },
        { "jpeg/inks.jpg",
            writers::jpeg(writers::plain(QSize(17, 9), { 20, 200, 90, 250 }), QSize(17, 9), 4,
                writers::tabled(cmsSigCmykData, 4, 2.4,
                    [](const double *d, double *c) {
                        for (int k = 0; k < 3; ++k)
                            c[k] = 1 - d[k];
                    })) },
        { "tiff/lzw.tiff", writers::tiff(odd, {}) },
        { "tiff/planar16.tiff", writers::tiff(odd, { 16, PHOTOMETRIC_RGB, true }) },
        { "tiff/tiles.tiff", writers::tiff(blocks, { 8, PHOTOMETRIC_RGB, false, true }) },
        { "tiff/fax.tiff",
            writers::tiff(
                blocks, { 1, PHOTOMETRIC_MINISWHITE, false, false, COMPRESSION_CCITTFAX4 }) },
        { "tiff/grey4.tiff", writers::tiff(odd, { 4, PHOTOMETRIC_MINISBLACK }) },
        { "tiff/float.tiff",
            writers::tiff(odd, { 32, PHOTOMETRIC_RGB, false, false, COMPRESSION_NONE, true }) },
        { "tiff/inks.tiff", writers::tiff(odd, { 8, PHOTOMETRIC_SEPARATED, false, true }) },
        { "tiff/lab.tiff", writers::tiff(odd, { 8, PHOTOMETRIC_CIELAB }) },
        { "tiff/deflate.tiff", encode(alpha, "TIFF", -1, 1) },
        { "bmp/rle4.bmp", writers::bmp(odd, { 4, 2 }) },
        { "bmp/rle8.bmp", writers::bmp(blocks, { 8, 1 }) },
        { "bmp/os2.bmp", writers::bmp(odd, { 8, 0, {}, 12 }) },
        { "bmp/fields.bmp", writers::bmp(alpha, { 32, 3, { 0x3ff00000, 0xffc00, 0x3ff, 0 } }) },
        { "bmp/alpha.bmp",
            writers::bmp(alpha, { 16, 3, { 0xf000, 0x0f00, 0x00f0, 0x000f }, 124 }) },
        { "bmp/deep.bmp", writers::bmp(odd, { 64 }) },
        { "bmp/profile.bmp",
            writers::bmp(
                odd, { 24, 0, {}, 124, true, QColorSpace(QColorSpace::DisplayP3).iccProfile() }) },
    };
    for (const auto &[name, bytes] : files) {
        into.mkpath(QFileInfo(name).path());
        QFile out(into.filePath(name));
        if (bytes.isEmpty() || !out.open(QIODevice::WriteOnly)
            || out.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(name));
            return 1;
        }
    }
    return 0;
}
