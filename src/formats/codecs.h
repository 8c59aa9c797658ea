// The decoders libheif is given in place of its own, over the same libraries (libde265 for HEVC,
// dav1d for AV1): each refuses a coded picture larger than the decoding limit before anything of it
// is allocated, whatever the file's container says of its size, decodes on every core (libheif
// gives libde265 one) and hands libheif the picture as RGB, made on every core too.
#pragma once

#include <QByteArrayView>
#include <QSize>
#include <libheif/heif.h>

namespace codecs {

// Gives libheif these decoders, once.
void registered();

// The size of the pictures a coded item of this type (hvc1, av01) holds, as its decoder
// configuration (hvcC, av1C) declares them, cropped as the stream itself crops them; empty when it
// cannot be read.
QSize codedsize(QByteArrayView type, QByteArrayView config);

// While a reader decodes a picture on this thread: the colour description its file gives, which
// rules over the stream's own, as in libheif; and a factor the picture is to come reduced by, where
// the file neither turns, mirrors nor crops it and it is not made of tiles.
class decoding
{
public:
    decoding(const heif_color_profile_nclx *described, int reduceby);
    ~decoding();
    decoding(const decoding &) = delete;
    decoding &operator=(const decoding &) = delete;
};

} // namespace codecs
