// The decoders of HEIF's coded pictures, over libde265 (HEVC) and dav1d (AV1): each refuses a coded
// picture larger than the decoding limit before anything of it is allocated, whatever the
// container says of its size, and decodes on as many threads as it is given. The HEIF reader
// decodes its pictures with them; libheif is given them too, for the pictures it composes itself.
#pragma once

#include "pixels.h"

#include <QByteArrayView>
#include <QList>
#include <QSize>
#include <memory>

namespace codecs {

// A coded picture's planes as its decoder holds them, and what its stream says of their colours.
class frame
{
public:
    virtual ~frame() = default;

    QList<pixels::plane> planes; // luma alone, for grey; or luma and two colour differences
    int primaries = colour::code::unspecified;
    int transfer = colour::code::unspecified;
    int matrix = colour::code::unspecified;
    bool full = false;
};

// A coded picture of a type (hvc1, av01) decoded from its decoder configuration's body (hvcC,
// av1C) and its data, on so many threads; `reduced` where it is to be shown reduced. Null when it
// cannot be decoded.
std::unique_ptr<frame> decode(
    QByteArrayView type, QByteArrayView config, QByteArrayView data, int threads, bool reduced);

// The size of the pictures a coded item holds, as its decoder configuration declares them (or, for
// AV1, the sequence header in its data), cropped as the stream itself crops them; empty when it
// cannot be read.
QSize codedsize(QByteArrayView type, QByteArrayView config, QByteArrayView data);

// Gives libheif these decoders, once.
void registered();

} // namespace codecs
