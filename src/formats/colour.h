// What pictures say of their colours by ITU-T H.273 code points (HEIF, AVIF and JPEG XL name
// their primaries, transfer and YCbCr matrix so), as the toolkit's colour spaces; and the curves
// that ease high dynamic range into what a screen shows.
#pragma once

#include <QColorSpace>
#include <QPointF>
#include <vector>

namespace colour {

// The H.273 code points the readers act on by name; the tables below take the rest by number.
namespace code {
constexpr int unspecified = 2; // of primaries, transfer and matrix alike
constexpr int identity = 0; // matrix: the samples are green, blue and red as they are
constexpr int pq = 16; // transfer: SMPTE 2084, perceptual quantisation
constexpr int hlg = 18; // transfer: hybrid log-gamma
} // namespace code

struct chromaticities
{
    QPointF white;
    QPointF red;
    QPointF green;
    QPointF blue;
};

// The primaries of a code point; BT.709's (sRGB's) for unspecified and unknown ones.
chromaticities primaries(int code);

// How samples relate to light. HDR curves are eased into the range a screen shows, the picture
// then being written as linear light; the others are left to the colour space.
enum class curve { plain, pq, hlg };
curve lightof(int transfer);

// The colour space of primaries and a transfer code point (`gamma` for a curve given as a plain
// power, as JPEG XL does with 65535); invalid where it is sRGB, which needs no conversion. The
// video curves (BT.709, BT.601, BT.2020) are taken as sRGB's; HDR transfers give linear light.
QColorSpace space(const chromaticities &of, int transfer, double gamma = 0);
QColorSpace coded(int primaries, int transfer);

// The value, from 0 to 255 or to 65535, of each sample value of so many bits on the light curve.
std::vector<quint16> levels(int bits, curve light, bool wide);

// How luma and colour differences make red, green and blue: the luma weights of red and blue,
// or none for samples that are already green, blue and red (matrix 0).
struct weights
{
    double red = 0.299;
    double blue = 0.114;
    bool identity = false;
};
weights matrix(int code);

} // namespace colour
