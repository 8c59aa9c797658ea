// Colours as a picture's ICC profile says, by Little CMS: profiles of every version and kind
// (matrix and curves, or lookup tables; display, input, output and colour space classes), of
// grey, RGB and printing inks. Each transform is made once for a profile and kept for the next
// picture that embeds it.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QColorSpace>
#include <QImage>
#include <memory>

namespace profiles {

// Brings a picture made in its profile's colours (grey or RGB samples) into sRGB's, in place,
// alpha kept. False where the profile cannot be used (broken, of another colour model, or of
// kinds Little CMS refuses): the picture is then left as it is.
bool tosrgb(QImage &image, QByteArrayView icc);

// What a picture says of its colours: an ICC profile, or a colour space of the toolkit's (one its
// code points or chunks describe).
struct described
{
    QByteArray icc;
    QColorSpace space;
};

// Brings a picture into sRGB's colours as described: by its profile, or where there is none that
// can be used, by its colour space, which is set on the picture for the toolkit to convert.
void apply(QImage &image, const described &colours);

struct transform;

// Rows of samples of another colour model made red, green and blue bytes. Printing inks (cyan,
// magenta, yellow and black, a byte each) go through their CMYK profile where there is one that
// can be used, or else are taken as plain inks, each taking away its share of the light; Adobe's
// writers store them inverted (255 for no ink). CIELab (a byte each, lightness from 0 to 255 for
// 0 to 100, a and b centred on 128) goes through Little CMS.
class converter
{
public:
    enum class model { inks, invertedinks, lab };
    converter(model of, QByteArrayView icc = QByteArrayView());
    ~converter();
    void torgb(const uchar *samples, uchar *rgb, int count) const;

private:
    std::shared_ptr<transform> made;
    model of;
};

} // namespace profiles
