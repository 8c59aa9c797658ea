// A pixel of the picture made from its channels' averaged samples: colour differences made
// colours, light eased, alpha premultiplied, in the picture's format. The way is chosen once, from
// what the samples mean and the bits they come in.
#pragma once

#include "pixels.h"

#include <vector>

namespace pixels {

class packer
{
public:
    packer() = default;
    // `tops`: each channel's largest sample, in order; `bytes`: every channel of unsigned 8-bit
    // samples.
    packer(const meaning &samples, std::vector<qint64> tops, int lightbits, bool bytes);

    // Whether pixels of plain 8-bit colours are written in whole numbers, and so `bytes` applies.
    bool plain() const { return way == path::plain; }
    // A pixel from its channels' sums of samples, each gathered `n` times (`inverse` is 1 / n).
    void sums(uchar *line, int x, const quint64 *sums, quint64 n, double inverse) const;
    // A pixel from its channels' averaged samples, each in its own channel's range.
    void averages(uchar *line, int x, const double c[4]) const;
    // Whole pixels of plain 8-bit colours, `step` bytes apart, into every `columns`-th pixel of a
    // row from `x` on.
    void bytes(uchar *line, int x, int count, const quint8 *samples, int step, int columns) const;

private:
    enum class path { plain, ycc, general };
    double unit(int k, double v) const { return v / double(tops[size_t(k)]); }
    double luma(int k, double v) const;
    double difference(int k, double v) const;
    void colours(const double c[4], double rgb[3]) const;

    path way = path::general;
    meaning what;
    std::vector<qint64> tops;
    std::vector<quint16> light; // sample levels on the light curve, by the colours' bits
    std::vector<qint32> ycc; // each 8-bit sample's share of each colour
    int lightbits = 8;
    bool wide = false; // 16 bits a channel
};

} // namespace pixels
