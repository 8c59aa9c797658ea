#include "weights.h"

namespace pixels {

side::side(int samples, int pixels)
    : gathers(samples >= pixels)
{
    count.assign(size_t(pixels), gathers ? 0 : 1);
    first.resize(size_t(pixels));
    for (int o = 0; o < pixels; ++o)
        first[size_t(o)] = qMin(int(qint64(o) * samples / pixels), samples - 1);
    owner.assign(size_t(samples), -1);
    if (!gathers)
        return;
    total = samples;
    weight = pixels;
    share.resize(size_t(samples));
    // Sample i covers [i, i + 1) of the side in samples, pixel o [o, o + 1) in pixels: in units
    // of 1 / (samples x pixels), [i x pixels, (i + 1) x pixels) and [o x samples, (o + 1) x
    // samples).
    for (int i = samples - 1; i >= 0; --i) {
        const qint64 start = qint64(i) * pixels;
        const int o = int(start / samples);
        const qint64 boundary = qint64(o + 1) * samples;
        owner[size_t(i)] = o;
        share[size_t(i)] = int(qMin<qint64>(pixels, boundary - start));
        ++count[size_t(o)];
        first[size_t(o)] = i;
        if (share[size_t(i)] < pixels) {
            ++count[size_t(o + 1)];
            first[size_t(o + 1)] = i;
        }
    }
}

} // namespace pixels
