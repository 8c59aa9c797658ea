#include "colour.h"

#include <algorithm>
#include <cmath>

namespace colour {

namespace {

const QPointF d65(0.3127, 0.3290);

// An SMPTE ST 2084 (PQ) sample as light relative to the picture's white, which HDR pictures put at
// 203 cd/m2.
double fromPq(double v)
{
    const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096,
                 c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
    const double p = std::pow(qBound(0.0, v, 1.0), 1 / m2);
    return 10000 / 203.0 * std::pow(qMax(p - c1, 0.0) / (c2 - c3 * p), 1 / m1);
}

// An ARIB STD-B67 (HLG) sample as light relative to white, shown as a 1000 cd/m2 display would
// show it (system gamma 1.2, per channel).
double fromHlg(double v)
{
    const double a = 0.17883277, b = 1 - 4 * a, c = 0.5 - a * std::log(4 * a);
    v = qBound(0.0, v, 1.0);
    const double scene = v <= 0.5 ? v * v / 3 : (std::exp((v - c) / a) + b) / 12;
    return 1000 / 203.0 * std::pow(scene, 1.2);
}

// Light relative to white eased into what a screen shows: the extended Reinhard curve, reaching
// white at 1000 cd/m2 (the peak most HDR pictures are made for), after a gain of 1.5 that keeps
// the picture's own white bright. Highlights keep their differences instead of all becoming white.
double eased(double light)
{
    const double gain = 1.5;
    const double top = gain * 1000 / 203.0;
    const double x = qMax(light, 0.0) * gain;
    return qMin(1.0, x * (1 + x / (top * top)) / (1 + x));
}

} // namespace

chromaticities primaries(int code)
{
    switch (code) {
    case 4: // BT.470 M
        return { QPointF(0.310, 0.316), QPointF(0.67, 0.33), QPointF(0.21, 0.71),
            QPointF(0.14, 0.08) };
    case 5: // BT.601 for 625 lines
        return { d65, QPointF(0.64, 0.33), QPointF(0.29, 0.60), QPointF(0.15, 0.06) };
    case 6: // BT.601 for 525 lines
    case 7:
        return { d65, QPointF(0.630, 0.340), QPointF(0.310, 0.595), QPointF(0.155, 0.070) };
    case 8: // generic film
        return { QPointF(0.310, 0.316), QPointF(0.681, 0.319), QPointF(0.243, 0.692),
            QPointF(0.145, 0.049) };
    case 9: // BT.2020
        return { d65, QPointF(0.708, 0.292), QPointF(0.170, 0.797), QPointF(0.131, 0.046) };
    case 11: // DCI-P3, with the cinema's white
        return { QPointF(0.314, 0.351), QPointF(0.680, 0.320), QPointF(0.265, 0.690),
            QPointF(0.150, 0.060) };
    case 12: // Display P3
        return { d65, QPointF(0.680, 0.320), QPointF(0.265, 0.690), QPointF(0.150, 0.060) };
    case 22: // EBU 3213
        return { d65, QPointF(0.630, 0.340), QPointF(0.295, 0.605), QPointF(0.155, 0.077) };
    default: // BT.709, which sRGB shares, and unspecified or unknown primaries
        return { d65, QPointF(0.64, 0.33), QPointF(0.30, 0.60), QPointF(0.15, 0.06) };
    }
}

curve lightof(int transfer)
{
    return transfer == code::pq ? curve::pq : transfer == code::hlg ? curve::hlg : curve::plain;
}

QColorSpace space(const chromaticities &of, int transfer, double gamma)
{
    using tf = QColorSpace::TransferFunction;
    const auto made = [&of](tf function, double power = 0) {
        return QColorSpace(of.white, of.red, of.green, of.blue, function, float(power));
    };
    switch (transfer) {
    case 8: // linear
    case code::pq: // written as linear light
    case code::hlg: // likewise
        return made(tf::Linear);
    case 4:
        return made(tf::Gamma, 2.2);
    case 5:
        return made(tf::Gamma, 2.8);
    case 17: // SMPTE 428, the cinema's
        return made(tf::Gamma, 2.6);
    case 65535:
        return gamma > 0 ? made(tf::Gamma, gamma) : QColorSpace();
    default: {
        // sRGB, and the SDR video curves (BT.709, BT.601, BT.2020), which screens and browsers
        // show as they show sRGB, and libheif's reference decoder leaves as they are; unspecified
        // and unknown curves likewise. With sRGB's primaries there is nothing to convert.
        const chromaticities srgb = primaries(1);
        const bool same = of.white == srgb.white && of.red == srgb.red && of.green == srgb.green
            && of.blue == srgb.blue;
        return same ? QColorSpace() : made(tf::SRgb);
    }
    }
}

QColorSpace coded(int code, int transfer)
{
    return space(primaries(code), transfer);
}

std::vector<quint16> levels(int bits, curve light, bool wide)
{
    const int top = (1 << bits) - 1;
    const double out = wide ? 65535 : 255;
    std::vector<quint16> made(size_t(top) + 1);
    for (int v = 0; v <= top; ++v) {
        const double x = double(v) / top;
        const double y = light == curve::pq ? eased(fromPq(x))
            : light == curve::hlg           ? eased(fromHlg(x))
                                            : x;
        made[size_t(v)] = quint16(std::lround(qBound(0.0, y, 1.0) * out));
    }
    return made;
}

weights matrix(int number)
{
    switch (number) {
    case code::identity:
        return { 0, 0, true };
    case 1:
        return { 0.2126, 0.0722 };
    case 4:
        return { 0.30, 0.11 };
    case 7:
        return { 0.212, 0.087 };
    case 9:
    case 10:
        return { 0.2627, 0.0593 };
    default: // BT.601 (5, 6), and where the picture names none
        return { 0.299, 0.114 };
    }
}

} // namespace colour
