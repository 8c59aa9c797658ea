// Decoded samples made into a picture laid out as the screen's pixmaps, at the size asked: each
// pixel the average of the samples it covers, colour differences made colours, light eased, alpha
// premultiplied. One averager for every reader, whatever order its samples come in.
#pragma once

#include "colour.h"

#include <QImage>
#include <QList>
#include <QSize>
#include <functional>
#include <memory>

namespace pixels {

// Whether a picture of this size, at this many bytes a pixel, is within the decoding limit that
// the toolkit's reader applies to every format.
bool allowed(QSize size, int bytesperpixel = 4);
// The pixels that limit allows a picture, at four bytes a pixel.
qint64 limitpixels();

// Whether one size is within a pixel of the other each way: a picture scaled into the other's
// box that comes so close is of the proportions the other states.
bool withinpixel(QSize a, QSize b);

// The least of the whole reductions a picture is decoded at (1, a half, a quarter... down to
// 1/64) for which `fits` holds; 0 for none.
int leastshrink(const std::function<bool(int shrink)> &fits);

// One plane of samples in rows: unsigned 8- or 16-bit words, or 32-bit integers, of which `bits`
// are used. A plane may hold fewer samples than the picture has pixels (chroma subsampling).
struct plane
{
    const uchar *data = nullptr;
    qsizetype stride = 0; // bytes from one row to the next
    int width = 0;
    int height = 0;
    int bytes = 1; // bytes a sample: 1, 2 or 4
    int bits = 8;
    bool sign = false; // 32-bit samples centred on zero
};

// How the first channels make a colour: one grey channel, or red, green and blue, or luma and two
// colour differences (Y, Cb, Cr).
enum class model { grey, rgb, ycc };

// What the samples mean.
struct meaning
{
    model kind = model::rgb;
    bool full = true; // grey and YCbCr samples span their whole range, not the studio range
    colour::weights weights; // how YCbCr makes colours
    colour::curve light = colour::curve::plain;
    bool alpha = false; // a last channel of alpha
    bool premultiplied = false; // the colour samples are already multiplied by alpha
    bool wide = false; // written in 16 bits a channel, for deep or HDR samples
};

// The format a picture of such samples is written in: 8 or 16 bits a channel, alpha
// premultiplied where there is alpha.
QImage::Format formatof(const meaning &samples);

// A picture made at a size from channels of samples, each covering the whole picture in a grid
// of its own size. Samples come a run of a row at a time, in any order and from any thread; each
// row of the picture is averaged, made colours and written as soon as every sample it gathers has
// come, so that only rows still coming are held as sums.
class gatherer
{
public:
    // A channel's samples: how many across and down, the bits they use, and whether they are
    // signed integers centred on zero.
    struct grid
    {
        QSize size;
        int bits = 8;
        bool sign = false;
    };
    // The channels' grids, in order: grey or three colour channels, then alpha.
    gatherer(QSize size, const meaning &samples, const QList<grid> &grids);
    ~gatherer();

    // Whether the picture could be made: a size within the decoding limit, and channels that fit
    // the meaning.
    bool valid() const;

    // Adds `count` samples of a row of one channel's grid, from column `x` on, each `step` words
    // after the last in memory and `columns` columns after it in the grid (more than one for an
    // interlaced pass). For samples of 8 and 16 bits, and 32-bit integers.
    template<typename T>
    void add(
        int channel, int row, int x, int count, const T *samples, int step = 1, int columns = 1);
    // Adds a run of pixels whose channels lie side by side, `step` words from one pixel to the
    // next.
    template<typename T>
    void addpixels(int row, int x, int count, const T *samples, int step, int columns = 1);

    // Adds the rows of a whole plane of one channel that reach one row of the picture.
    void addplane(const plane &p, int channel, int row);

    // The picture; rows whose samples did not all come are made of those that did, and rows
    // that got none are left black.
    QImage finish();

private:
    class accumulator;
    std::unique_ptr<accumulator> d;
};

// Planes written into a picture at a size, on every core: grey or three colour planes, then alpha.
QImage write(const QList<plane> &planes, const meaning &samples, QSize size);

} // namespace pixels
