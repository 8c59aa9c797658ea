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
#include <mutex>
#include <vector>

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

// How the samples along one side of a channel fall into the pixels along that side: each pixel
// gathers the run of samples whose places scale onto it; a side with fewer samples than pixels
// (subsampled chroma, enlarged) gives each pixel the sample under it.
// How the samples of one side of a grid make the pixels of that side. Reducing, each pixel
// averages what its stretch of the side covers: a sample weighs `pixels`, split between the one or
// two pixels it falls in, and a pixel gathers `samples` in all. Enlarging, each pixel takes the
// sample under it.
struct side
{
    side() = default;
    side(int samples, int pixels);

    bool gathers = true;
    qint64 total = 1; // the weight a pixel gathers
    qint64 weight = 1; // a sample's weight
    std::vector<int> owner; // the first pixel a sample falls in, or -1
    std::vector<int> share; // of its weight, what falls in that pixel; the rest falls in the next
    std::vector<int> first; // the first sample that reaches a pixel, or the one under it
    std::vector<int> count; // the samples that reach a pixel (1 where it takes the one under it)
};

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
    bool valid() const { return !image.isNull(); }

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

    // The picture; rows whose samples did not all come are made of those that did, and rows
    // that got none are left black.
    QImage finish();

private:
    friend QImage write(const QList<plane> &planes, const meaning &samples, QSize size);
    struct channel;
    struct row;
    bool channelsof(QSize size, const QList<grid> &grids);
    // The rows of a channel's grid that reach one row of the picture.
    int rows(int channel, int row) const;
    // Adds a run of one channel's row into one row of the picture, with the share of the row that
    // falls in it.
    template<typename T>
    void addto(int pixelrow, qint64 rowshare, int channel, int x, int count, const T *samples,
        int step, int columns);
    template<typename T>
    void sumpixels(int row, int x, int count, const T *samples, int step, int columns);
    template<typename S> void addsums(int row, int from, int count, const S *summed, size_t size);
    void writeplain(int row, int x, int count, const quint8 *samples, int step, int columns);
    template<typename T>
    void writedirect(int row, int x, int count, const T *samples, int step, int columns);
    void addplane(const plane &p, int channel, int row);
    void complete(int y, row &sums);
    void pack(uchar *line, int x, const quint64 *sums, quint64 n, double inverse) const;
    void pack(uchar *line, int x, const double c[4]) const;

    QImage image;
    meaning what;
    std::vector<channel> channels;
    std::vector<std::unique_ptr<row>> open;
    std::vector<qint64> expected; // additions each row of the picture waits for
    std::vector<quint16> light; // sample levels on the light curve, by the colours' bits
    int lightbits = 8;
    bool direct = false; // every grid is the picture's size, and pixels are written as they come
    bool alike = false; // every channel on one grid, of unsigned samples, gathered
    bool weighed = false; // and colours with straight alpha, summed weighed by it when they come
                          // as whole pixels
    bool plain = false; // eight-bit samples of plain colours, made pixels in whole numbers
    std::vector<qint32> ycc; // likewise colour differences: each sample's share of each colour
    std::unique_ptr<std::mutex[]> locks;
};

// Planes written into a picture at a size, on every core: grey or three colour planes, then alpha.
QImage write(const QList<plane> &planes, const meaning &samples, QSize size);

} // namespace pixels
