#include "packer.h"

#include <cmath>

namespace pixels {

namespace {

// Each eight-bit sample's share of red, green and blue, in 1/65536ths of a level: luma's at 0,
// then those of Cr to red, Cb to blue, Cb to green and Cr to green, 256 apiece.
std::vector<qint32> ycctable(const meaning &samples)
{
    const double kr = samples.weights.red, kb = samples.weights.blue;
    const double yoff = samples.full ? 0 : 16, yrange = samples.full ? 255 : 219;
    const double crange = samples.full ? 255 : 224;
    std::vector<qint32> ycc(5 * 256);
    for (int v = 0; v < 256; ++v) {
        const double y = (v - yoff) / yrange * 255 * 65536;
        const double c = (v - 128) / crange * 255 * 65536;
        ycc[size_t(v)] = qint32(std::lround(y));
        ycc[size_t(256 + v)] = qint32(std::lround(2 * (1 - kr) * c));
        ycc[size_t(512 + v)] = qint32(std::lround(2 * (1 - kb) * c));
        ycc[size_t(768 + v)] = qint32(std::lround(2 * kb * (1 - kb) / (1 - kr - kb) * c));
        ycc[size_t(1024 + v)] = qint32(std::lround(2 * kr * (1 - kr) / (1 - kr - kb) * c));
    }
    return ycc;
}

// An 8-bit pixel, its colours no brighter than its alpha allows.
QRgb bounded(int r, int g, int b, int a, bool premultiplied)
{
    return premultiplied || a == 255 ? qRgba(qMin(r, a), qMin(g, a), qMin(b, a), a)
                                     : qPremultiply(qRgba(r, g, b, a));
}

} // namespace

packer::packer(const meaning &samples, std::vector<qint64> channeltops, int bits, bool bytes)
    : what(samples)
    , tops(std::move(channeltops))
    , lightbits(bits)
{
    wide = QImage::toPixelFormat(formatof(samples)).bitsPerPixel() == 64;
    bytes = bytes && !wide && samples.light == colour::curve::plain;
    if (bytes && samples.kind != model::ycc && (samples.kind != model::grey || samples.full))
        way = path::plain;
    else if (bytes && samples.kind == model::ycc && !samples.weights.identity) {
        way = path::ycc;
        ycc = ycctable(samples);
    }
    light = colour::levels(lightbits, samples.light, wide);
}

// In whole numbers where the samples are of eight bits and mean plain colours or colour
// differences, as most pictures are.
void packer::sums(uchar *line, int x, const quint64 *sums, quint64 n, double inverse) const
{
    const int stride = int(tops.size());
    // Rounded to the nearest (the sums stay far below 2^53, where doubles are exact).
    const auto v = [&](int k) { return int(double(qint64(sums[k])) * inverse + 0.5); };
    auto *out = reinterpret_cast<QRgb *>(line) + x;
    if (way == path::plain) {
        const int r = v(0), g = stride >= 3 ? v(1) : r, b = stride >= 3 ? v(2) : r;
        *out = bounded(r, g, b, what.alpha ? v(stride - 1) : 255, what.premultiplied);
    } else if (way == path::ycc) {
        const size_t y = size_t(v(0)), cb = size_t(v(1)), cr = size_t(v(2));
        const auto level = [](qint32 value) { return qBound(0, (value + 32768) >> 16, 255); };
        const int r = level(ycc[y] + ycc[256 + cr]);
        const int g = level(ycc[y] - ycc[768 + cb] - ycc[1024 + cr]);
        const int b = level(ycc[y] + ycc[512 + cb]);
        *out = bounded(r, g, b, what.alpha ? v(3) : 255, what.premultiplied);
    } else {
        double c[4] = {};
        for (int k = 0; k < stride; ++k)
            c[k] = double(sums[k]) / double(n);
        averages(line, x, c);
    }
}

// Studio-range samples: luma from 16 to 235 and colour differences from 16 to 240, in eighths of
// the range for 8 bits.
double packer::luma(int k, double v) const
{
    if (what.full)
        return unit(k, v);
    const double m = double(tops[size_t(k)] + 1) / 256;
    return (v - 16 * m) / (219 * m);
}

double packer::difference(int k, double v) const
{
    const double m = double(tops[size_t(k)] + 1) / 256;
    return what.full ? (v - 128 * m) / double(tops[size_t(k)]) : (v - 128 * m) / (224 * m);
}

// Red, green and blue from 0 to 1, from the channels' averages.
void packer::colours(const double c[4], double rgb[3]) const
{
    if (what.kind == model::grey) {
        rgb[0] = rgb[1] = rgb[2] = luma(0, c[0]);
    } else if (what.kind == model::rgb) {
        for (int k = 0; k < 3; ++k)
            rgb[k] = unit(k, c[k]);
    } else if (what.weights.identity) {
        // Green, blue and red as they are.
        rgb[0] = luma(2, c[2]);
        rgb[1] = luma(0, c[0]);
        rgb[2] = luma(1, c[1]);
    } else {
        const double kr = what.weights.red, kb = what.weights.blue;
        const double y = luma(0, c[0]), cb = difference(1, c[1]), cr = difference(2, c[2]);
        rgb[0] = y + 2 * (1 - kr) * cr;
        rgb[2] = y + 2 * (1 - kb) * cb;
        rgb[1] = (y - kr * rgb[0] - kb * rgb[2]) / (1 - kr - kb);
    }
}

void packer::averages(uchar *line, int x, const double c[4]) const
{
    double rgb[3] = {};
    colours(c, rgb);
    const double top = wide ? 65535 : 255;
    const double ltop = double((1 << lightbits) - 1);
    quint32 v[3];
    for (int k = 0; k < 3; ++k)
        v[k] = light[size_t(std::lround(qBound(0.0, rgb[k], 1.0) * ltop))];
    quint32 a = quint32(top);
    if (what.alpha) {
        const int alpha = what.kind == model::grey ? 1 : 3;
        const double share = qBound(0.0, unit(alpha, c[alpha]), 1.0);
        a = quint32(std::lround(share * top));
        for (quint32 &value : v)
            value = qMin(what.premultiplied ? value : quint32(std::lround(value * share)), a);
    }
    if (wide)
        reinterpret_cast<QRgba64 *>(line)[x]
            = QRgba64::fromRgba64(quint16(v[0]), quint16(v[1]), quint16(v[2]), quint16(a));
    else
        reinterpret_cast<QRgb *>(line)[x] = qRgba(int(v[0]), int(v[1]), int(v[2]), int(a));
}

void packer::bytes(
    uchar *line, int x, int count, const quint8 *samples, int step, int columns) const
{
    auto *out = reinterpret_cast<QRgb *>(line);
    const int stride = int(tops.size());
    const bool grey = stride <= 2, alpha = what.alpha;
    for (int i = 0; i < count; ++i, samples += step) {
        const int red = samples[0], g = grey ? red : samples[1], b = grey ? red : samples[2];
        const QRgb pixel = qRgba(red, g, b, alpha ? samples[stride - 1] : 255);
        out[x + i * columns] = alpha && !what.premultiplied ? qPremultiply(pixel) : pixel;
    }
}

} // namespace pixels
