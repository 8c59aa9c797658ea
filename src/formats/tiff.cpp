// TIFF pictures, read with libtiff: the first picture of the file, strip by strip or tile by tile,
// each row averaged into the picture at the size asked as it comes, so that a TIFF of any size
// opens in the memory of the size shown, and a 1-bit document becomes readable grey. Grey
// (min-is-white too), palette and RGB samples of 1 to 16 bits or floating point, contiguous or
// planar, with alpha associated or not, are read as they are stored; printing inks through their
// profile and CIELab through Little CMS; every other layout libtiff decodes (YCbCr, JPEG inside)
// through its RGBA interface. The orientation tag is told to the toolkit, which applies it once.

#include "kinds.h"
#include "owned.h"
#include "parallel.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QFile>
#include <QIODevice>
#include <QImageIOPlugin>
#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <qfloat16.h>
#include <tiffio.h>
#include <unistd.h>
#include <vector>

namespace {

// The largest block libtiff may allocate at once: a strip or tile of a picture at the decoding
// limit, and no more.
constexpr tmsize_t mostalloc = tmsize_t(256) << 20;
// Rows read before they are gathered, within a batch of at most this many bytes.
constexpr int batchrows = 64;
constexpr qint64 batchbytes = qint64(8) << 20;
// The fewest samples a thread gathers.
constexpr qint64 partsamples = qint64(256) << 10;
// The most samples a row may hold: far more than any picture within the decoding limit has.
constexpr qint64 mostsamples = qint64(1) << 24;

tmsize_t readfrom(thandle_t file, void *into, tmsize_t size)
{
    return tmsize_t(static_cast<QIODevice *>(file)->read(static_cast<char *>(into), size));
}

tmsize_t refused(thandle_t, void *, tmsize_t)
{
    return -1;
}

toff_t seekto(thandle_t file, toff_t offset, int whence)
{
    auto *device = static_cast<QIODevice *>(file);
    const qint64 base = whence == SEEK_CUR ? device->pos()
        : whence == SEEK_END               ? device->size()
                                           : 0;
    const qint64 at = base + qint64(offset);
    return at >= 0 && device->seek(at) ? toff_t(at) : toff_t(-1);
}

int closed(thandle_t)
{
    return 0;
}

toff_t sizeof_(thandle_t file)
{
    return toff_t(static_cast<QIODevice *>(file)->size());
}

int silent(TIFF *, void *, const char *, const char *, va_list)
{
    return 1;
}

// The file read by its descriptor at a position of the reader's own, so that readers on several
// threads share no position.
struct apart
{
    int descriptor = -1;
    qint64 size = 0;
    qint64 at = 0;
};

tmsize_t readapart(thandle_t file, void *into, tmsize_t size)
{
    auto *a = static_cast<apart *>(file);
    const ssize_t got = pread(a->descriptor, into, size_t(size), off_t(a->at));
    if (got > 0)
        a->at += got;
    return tmsize_t(got < 0 ? 0 : got);
}

toff_t seekapart(thandle_t file, toff_t offset, int whence)
{
    auto *a = static_cast<apart *>(file);
    const qint64 base = whence == SEEK_CUR ? a->at : whence == SEEK_END ? a->size : 0;
    const qint64 at = base + qint64(offset);
    if (at < 0)
        return toff_t(-1);
    a->at = at;
    return toff_t(at);
}

toff_t sizeapart(thandle_t file)
{
    return toff_t(static_cast<apart *>(file)->size);
}

// The file's first picture opened for reading, within the allocation limit and silently.
TIFF *opened(thandle_t file, TIFFReadWriteProc read, TIFFSeekProc seek, TIFFSizeProc size)
{
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, mostalloc);
    TIFFOpenOptionsSetErrorHandlerExtR(options, silent, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, silent, nullptr);
    TIFF *made = TIFFClientOpenExt(
        "picture", "rm", file, read, refused, seek, closed, size, nullptr, nullptr, options);
    TIFFOpenOptionsFree(options);
    return made;
}

// What the first picture's tags say of its samples.
struct layout
{
    uint16_t bits = 1;
    uint16_t samples = 1;
    uint16_t photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t planar = PLANARCONFIG_CONTIG;
    uint16_t format = SAMPLEFORMAT_UINT;
    uint16_t compression = COMPRESSION_NONE;
    uint16_t inkset = INKSET_CMYK;
    int colours = 1; // colour samples a pixel: 1 (grey, palette), 3 (RGB, CIELab) or 4 (inks)
    bool alpha = false;
    bool premultiplied = false;

    bool lab() const
    {
        return photometric == PHOTOMETRIC_CIELAB || photometric == PHOTOMETRIC_ICCLAB;
    }
    // Of a colour model made colours a row at a time, a byte a sample: inks and CIELab.
    bool foreign() const { return photometric == PHOTOMETRIC_SEPARATED || lab(); }
    // Bytes that are samples as they are, as most TIFFs hold them.
    bool plainbytes() const
    {
        return bits == 8 && format == SAMPLEFORMAT_UINT && !foreign()
            && photometric != PHOTOMETRIC_MINISWHITE && photometric != PHOTOMETRIC_PALETTE;
    }
};

class tiffhandler : public reader::handler
{
public:
    tiffhandler()
        : handler("libtiff", recognises)
    { }
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    void readlayout();
    bool plain() const;
    QImage asstored(QSize size);
    int readrows(uchar *batch, size_t line, int top, int rows, int plane);
    void gatherrows(
        pixels::gatherer &into, const uchar *batch, size_t line, int top, int rows, int plane);
    int stripsapart(pixels::gatherer &into);
    bool readstrips(pixels::gatherer &into);
    bool readtiles(pixels::gatherer &into);
    void addrow(pixels::gatherer &into, int y, int x, int count, int plane, const uchar *row);
    void addforeign(pixels::gatherer &into, int y, int x, int count, const uchar *row);
    void addcoloured(pixels::gatherer &into, int y, int x, int count, const quint16 *indices);
    template<typename T>
    void addsamples(
        pixels::gatherer &into, int y, int x, int count, int plane, const T *samples) const;
    QImage throughrgba(QSize size);
    bool rgbastrips(pixels::gatherer &into, std::vector<uint32_t> &raster);
    bool rgbatiles(pixels::gatherer &into, std::vector<uint32_t> &raster);

    owned<TIFF, TIFFClose> file;
    layout is;
    QByteArray icc;
    std::vector<quint16> values; // a row's samples, unpacked
    std::vector<uchar> bytes; // a row of inks or CIELab, a byte a sample
    std::vector<uchar> rgb; // made colours
    std::optional<profiles::converter> converted;
    int channels = 1; // those gathered
    std::vector<quint16> palette; // a palette's red, green and blue, after one another
    std::vector<quint16> coloured; // a row of its colours
    bool finished = false;
};

bool tiffhandler::recognises(QIODevice *device)
{
    return startsas(*device, "libtiff");
}

bool tiffhandler::readheader()
{
    QIODevice *device = seekable();
    if (!device)
        return false;
    file.reset(opened(device, readfrom, seekto, sizeof_));
    if (!file)
        return false;
    uint32_t width = 0, height = 0;
    if (!TIFFGetField(file.get(), TIFFTAG_IMAGEWIDTH, &width)
        || !TIFFGetField(file.get(), TIFFTAG_IMAGELENGTH, &height) || width > INT_MAX
        || height > INT_MAX)
        return false;
    readlayout();
    uint16_t turn = ORIENTATION_TOPLEFT;
    TIFFGetFieldDefaulted(file.get(), TIFFTAG_ORIENTATION, &turn);
    orientation = turn >= 1 && turn <= 8 ? turn : 1;
    whole = QSize(int(width), int(height));
    return true;
}

void tiffhandler::readlayout()
{
    TIFF *t = file.get();
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &is.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &is.samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &is.planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &is.format);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &is.compression);
    TIFFGetFieldDefaulted(t, TIFFTAG_INKSET, &is.inkset);
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &is.photometric))
        is.photometric = is.samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    is.colours = is.photometric == PHOTOMETRIC_RGB || is.lab() ? 3
        : is.photometric == PHOTOMETRIC_SEPARATED              ? 4
                                                               : 1;
    uint16_t extras = 0;
    uint16_t *kinds = nullptr;
    if (TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extras, &kinds) && extras > 0
        && is.samples > is.colours) {
        is.alpha = kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA;
        is.premultiplied = kinds[0] == EXTRASAMPLE_ASSOCALPHA;
    }
    uint32_t length = 0;
    void *profile = nullptr;
    if (TIFFGetField(t, TIFFTAG_ICCPROFILE, &length, &profile) && profile && length > 0)
        icc = QByteArray(static_cast<const char *>(profile), qsizetype(length));
}

// Samples read as they are stored, in strips or tiles, needing nothing from libtiff but their rows:
// whole numbers of up to 16 bits, or 32 taken to 16, of grey, palette or RGB (signed ones of
// more than 8 bits centred on the middle level), or floating point of 16, 32 or 64 bits; 8- and
// 16-bit printing inks and CIELab, a pixel's samples side by side.
bool tiffhandler::plain() const
{
    const bool colours = is.photometric == PHOTOMETRIC_MINISBLACK
        || is.photometric == PHOTOMETRIC_MINISWHITE || is.photometric == PHOTOMETRIC_RGB
        || (is.photometric == PHOTOMETRIC_PALETTE && is.bits <= 8
            && (is.samples == 1 || is.planar == PLANARCONFIG_CONTIG));
    const bool foreign = is.foreign()
        && (is.photometric != PHOTOMETRIC_SEPARATED || is.inkset == INKSET_CMYK)
        && (is.bits == 8 || is.bits == 16) && is.samples == is.colours
        && is.planar == PLANARCONFIG_CONTIG;
    const bool whole = (is.format == SAMPLEFORMAT_UINT || is.format == SAMPLEFORMAT_INT)
        && ((is.bits >= 1 && is.bits <= 16) || (is.bits == 32 && !is.foreign()));
    const bool floating = is.format == SAMPLEFORMAT_IEEEFP
        && (is.bits == 16 || is.bits == 32 || is.bits == 64) && colours
        && is.photometric != PHOTOMETRIC_PALETTE;
    return (foreign ? whole : (colours && (whole || floating)))
        && is.samples >= is.colours + (is.alpha ? 1 : 0) && is.compression != COMPRESSION_OJPEG
        && is.compression != COMPRESSION_JPEG;
}

// The sample at `i` of a row of `bytes` bytes of samples of `bits` bits, the first in the highest
// bits of the first byte; 32-bit ones and floating-point ones from 0 to 1 as 16-bit words.
quint16 sampleat(const uchar *row, qint64 bytes, qint64 i, int bits, uint16_t format)
{
    if (format == SAMPLEFORMAT_IEEEFP) {
        const double v = bits == 16 ? double(reinterpret_cast<const qfloat16 *>(row)[i])
            : bits == 32            ? double(reinterpret_cast<const float *>(row)[i])
                                    : reinterpret_cast<const double *>(row)[i];
        return quint16(qBound(0.0, v, 1.0) * 65535 + 0.5);
    }
    // Two's complement made offset from the lowest level: the top bit flipped. Signed bytes are
    // taken as stored, as writers tag plain bytes so and other readers show them.
    if (bits == 32) {
        const quint32 v = reinterpret_cast<const quint32 *>(row)[i];
        return quint16((format == SAMPLEFORMAT_INT ? v ^ 0x80000000u : v) >> 16);
    }
    const quint16 flip = format == SAMPLEFORMAT_INT && bits > 8 ? quint16(1u << (bits - 1)) : 0;
    if (bits == 16)
        return reinterpret_cast<const quint16 *>(row)[i] ^ flip;
    if (bits == 8)
        return row[i] ^ flip;
    const qint64 bit = i * bits;
    quint32 window = 0;
    for (qint64 b = bit / 8; b < bit / 8 + 3; ++b)
        window = window << 8 | (b < bytes ? row[b] : 0u);
    return quint16((window >> (24 - bit % 8 - bits) & ((1u << bits) - 1)) ^ flip);
}

// A row of samples unpacked into whole words, min-is-white made min-is-black.
const quint16 *unpacked(const uchar *row, int count, const layout &is, std::vector<quint16> &into)
{
    const bool inverted = is.photometric == PHOTOMETRIC_MINISWHITE;
    const quint16 top = quint16(is.bits >= 16 ? 65535 : (1u << is.bits) - 1);
    const qint64 bytes = (qint64(count) * is.bits + 7) / 8;
    into.resize(size_t(count));
    for (int i = 0; i < count; ++i) {
        const quint16 v = sampleat(row, bytes, i, is.bits, is.format);
        into[size_t(i)] = inverted ? quint16(top - v) : v;
    }
    return into.data();
}

// A palette's colours as 16-bit words, red, green and blue after one another. Many writers store
// 8-bit colours in the 16-bit map; a map with no entry above 255 is taken as such, as libtiff
// takes it.
std::vector<quint16> paletteof(TIFF *file, int bits)
{
    uint16_t *map[3] = {};
    if (!TIFFGetField(file, TIFFTAG_COLORMAP, &map[0], &map[1], &map[2]))
        return {};
    const size_t entries = size_t(1) << bits;
    std::vector<quint16> colours;
    for (const uint16_t *channel : map)
        colours.insert(colours.end(), channel, channel + entries);
    if (std::all_of(colours.cbegin(), colours.cend(), [](quint16 v) { return v < 256; }))
        for (quint16 &v : colours)
            v = quint16(v * 257);
    return colours;
}

void tiffhandler::addforeign(pixels::gatherer &into, int y, int x, int count, const uchar *row)
{
    const size_t size = size_t(count) * size_t(is.samples);
    bytes.resize(size);
    for (size_t i = 0; i < size; ++i) {
        const uchar v
            = is.bits == 16 ? uchar(reinterpret_cast<const quint16 *>(row)[i] >> 8) : row[i];
        const bool signedab = is.photometric == PHOTOMETRIC_CIELAB && i % 3 != 0;
        bytes[i] = signedab ? uchar(v ^ 0x80) : v;
    }
    rgb.resize(size_t(count) * 3);
    converted->torgb(bytes.data(), rgb.data(), count);
    into.addpixels(y, x, count, rgb.data(), 3);
}

// A row of a palette's indices (each with its alpha, where there is alpha) made its colours.
void tiffhandler::addcoloured(
    pixels::gatherer &into, int y, int x, int count, const quint16 *indices)
{
    const size_t entries = palette.size() / 3;
    const quint16 top = quint16((1u << is.bits) - 1);
    coloured.resize(size_t(count) * size_t(channels));
    for (int i = 0; i < count; ++i, indices += is.samples) {
        quint16 *pixel = coloured.data() + size_t(i) * size_t(channels);
        for (size_t c = 0; c < 3; ++c)
            pixel[c] = palette[c * entries + *indices];
        if (channels == 4)
            pixel[3] = quint16(quint32(indices[1]) * 65535 / top);
    }
    into.addpixels(y, x, count, coloured.data(), channels);
}

// Adds `count` pixels of a row from column `x` on, of one plane (the only one, where the samples
// lie side by side).
void tiffhandler::addrow(
    pixels::gatherer &into, int y, int x, int count, int plane, const uchar *row)
{
    const bool apart = is.planar == PLANARCONFIG_SEPARATE;
    const int step = apart ? 1 : is.samples;
    if (is.foreign()) {
        addforeign(into, y, x, count, row);
    } else if (is.photometric == PHOTOMETRIC_PALETTE) {
        addcoloured(into, y, x, count, unpacked(row, count * step, is, values));
    } else if (is.bits == 8 && is.format == SAMPLEFORMAT_UINT
        && is.photometric != PHOTOMETRIC_MINISWHITE) {
        // Bytes as most TIFFs hold them, added as they are.
        addsamples(into, y, x, count, plane, row);
    } else {
        const quint16 *words = unpacked(row, count * step, is, values);
        addsamples(into, y, x, count, plane, words);
    }
}

// Adds samples of one plane, or side by side, to the channels they are samples of.
template<typename T>
void tiffhandler::addsamples(
    pixels::gatherer &into, int y, int x, int count, int plane, const T *samples) const
{
    const bool apart = is.planar == PLANARCONFIG_SEPARATE;
    const int step = apart ? 1 : is.samples;
    if (apart && plane < channels)
        into.add(plane, y, x, count, samples);
    else if (!apart && step == channels)
        into.addpixels(y, x, count, samples, step);
    for (int k = 0; !apart && step != channels && k < channels; ++k)
        into.add(k, y, x, count, samples + k, step);
}

// Rows of a plane read one after another into `batch`, `line` bytes apart: how many were read
// before one could not be.
int tiffhandler::readrows(uchar *batch, size_t line, int top, int rows, int plane)
{
    int read = 0;
    while (read < rows
        && TIFFReadScanline(
               file.get(), batch + size_t(read) * line, uint32_t(top + read), uint16_t(plane))
            >= 0)
        ++read;
    return read;
}

// A batch of rows from `top` on gathered: bytes as most TIFFs hold them on every core, a core
// added only for as many rows as are worth a thread of their own.
void tiffhandler::gatherrows(
    pixels::gatherer &into, const uchar *batch, size_t line, int top, int rows, int plane)
{
    const int width = whole.width();
    const bool plainbytes = is.plainbytes();
    const auto gather = [&](int first, int last) {
        for (int i = first; i < last; ++i) {
            const uchar *row = batch + size_t(i) * line;
            if (plainbytes)
                addsamples(into, top + i, 0, width, plane, row);
            else
                addrow(into, top + i, 0, width, plane, row);
        }
    };
    if (plainbytes)
        inparallel(rows, gather, int(qMax<qint64>(16, partsamples / (qint64(width) * is.samples))));
    else
        gather(0, rows);
}

// Strips of plain bytes in a file decoded on every core, each core reading its share of them
// row by row through a handle of its own: how many rows came, or -1 where the strips cannot be
// read so.
int tiffhandler::stripsapart(pixels::gatherer &into)
{
    auto *source = qobject_cast<QFile *>(device());
    const tmsize_t stripsize = TIFFStripSize(file.get());
    const uint32_t strips = TIFFNumberOfStrips(file.get());
    uint32_t down = 0;
    TIFFGetFieldDefaulted(file.get(), TIFFTAG_ROWSPERSTRIP, &down);
    const int height = whole.height();
    const bool separate = is.planar == PLANARCONFIG_SEPARATE;
    const uint32_t perplane = TIFFComputeStrip(file.get(), uint32_t(height - 1), 0) + 1;
    // Strips that lie as the tags say, of the planes that are gathered.
    if (!source || source->handle() < 0 || !is.plainbytes() || strips < 2 || stripsize <= 0
        || stripsize > batchbytes || down == 0 || down > uint32_t(height)
        || strips != perplane * (separate ? is.samples : 1u))
        return -1;
    const int planes = separate ? qMin<int>(is.samples, channels) : 1;
    std::atomic<int> came { 0 };
    inparallel(
        int(perplane) * planes,
        [&](int first, int last) {
            apart own { source->handle(), source->size() };
            owned<TIFF, TIFFClose> reading(opened(&own, readapart, seekapart, sizeapart));
            std::vector<uchar> row(reading ? size_t(TIFFScanlineSize64(reading.get())) : 0);
            for (int s = first; reading && s < last; ++s) {
                const int plane = int(uint32_t(s) / perplane);
                const int top = int(uint32_t(s) % perplane * down);
                for (int y = top; y < qMin(height, top + int(down)); ++y) {
                    if (TIFFReadScanline(reading.get(), row.data(), uint32_t(y), uint16_t(plane))
                        < 0)
                        return;
                    addsamples(into, y, 0, whole.width(), plane, row.data());
                    ++came;
                }
            }
        },
        1);
    return came;
}

// Row by row, a plane at a time where the planes lie apart, the next batch read while the last is
// gathered; a file cut short keeps the rows that came.
bool tiffhandler::readstrips(pixels::gatherer &into)
{
    if (const int came = stripsapart(into); came >= 0)
        return came > 0;
    const qint64 bytes = qint64(TIFFScanlineSize64(file.get()));
    const int height = whole.height();
    if (bytes <= 0 || qint64(whole.width()) * is.samples > mostsamples)
        return false;
    const size_t line = size_t(bytes);
    const int batched = int(qBound(qint64(1), batchbytes / bytes, qint64(batchrows)));
    std::vector<uchar> batches[2];
    for (std::vector<uchar> &batch : batches)
        batch.resize(line * size_t(qMin(height, batched)));
    const auto ahead = [&](int which, int top, int plane) {
        const int rows = qMin(batched, height - top);
        return std::async(std::launch::async, [this, &batches, which, line, top, rows, plane] {
            return readrows(batches[which].data(), line, top, rows, plane);
        });
    };
    const int planes = is.planar == PLANARCONFIG_SEPARATE ? qMin<int>(is.samples, channels) : 1;
    for (int plane = 0; plane < planes; ++plane) {
        std::future<int> coming = ahead(0, 0, plane);
        for (int top = 0, which = 0; top < height; top += batched, which ^= 1) {
            const int rows = qMin(batched, height - top);
            const int read = coming.get();
            if (read == rows && top + rows < height)
                coming = ahead(which ^ 1, top + rows, plane);
            gatherrows(into, batches[which].data(), line, top, read, plane);
            if (read < rows)
                return top + read > 0 || plane > 0;
        }
    }
    return true;
}

// Tile by tile, a plane at a time where the planes lie apart; whatever of a tile lies past the
// picture is passed over.
bool tiffhandler::readtiles(pixels::gatherer &into)
{
    uint32_t across = 0, down = 0;
    TIFFGetField(file.get(), TIFFTAG_TILEWIDTH, &across);
    TIFFGetField(file.get(), TIFFTAG_TILELENGTH, &down);
    const tmsize_t size = TIFFTileSize(file.get()), line = TIFFTileRowSize(file.get());
    if (across == 0 || down == 0 || size <= 0 || size > mostalloc || line <= 0
        || qint64(across) * is.samples > mostsamples)
        return false;
    std::vector<uchar> tile(static_cast<size_t>(size));
    const int planes = is.planar == PLANARCONFIG_SEPARATE ? qMin<int>(is.samples, channels) : 1;
    for (int plane = 0; plane < planes; ++plane)
        for (int y = 0; y < whole.height(); y += int(down))
            for (int x = 0; x < whole.width(); x += int(across)) {
                if (TIFFReadTile(
                        file.get(), tile.data(), uint32_t(x), uint32_t(y), 0, uint16_t(plane))
                    < 0)
                    return y > 0 || plane > 0;
                const int rows = qMin(int(down), whole.height() - y);
                const int count = qMin(int(across), whole.width() - x);
                for (int i = 0; i < rows; ++i)
                    addrow(into, y + i, x, count, plane, tile.data() + size_t(i) * size_t(line));
            }
    return true;
}

QImage tiffhandler::asstored(QSize size)
{
    const bool palette = is.photometric == PHOTOMETRIC_PALETTE;
    const bool foreign = is.foreign();
    pixels::meaning samples;
    samples.kind = is.colours == 1 && !palette ? pixels::model::grey : pixels::model::rgb;
    samples.alpha = is.alpha && !foreign;
    samples.premultiplied = is.premultiplied;
    samples.wide = is.bits > 8 && !palette && !foreign;
    channels = (samples.kind == pixels::model::grey ? 1 : 3) + (samples.alpha ? 1 : 0);
    const int bits = palette || is.bits > 16 ? 16 : foreign ? 8 : is.bits;
    pixels::gatherer into(size, samples, QList<pixels::gatherer::grid>(channels, { whole, bits }));
    if (palette)
        this->palette = paletteof(file.get(), is.bits);
    if (!into.valid() || (palette && this->palette.empty()))
        return QImage();
    if (foreign) {
        using model = profiles::converter::model;
        converted.emplace(is.lab() ? model::lab : model::inks, icc);
    }
    const bool read = TIFFIsTiled(file.get()) ? readtiles(into) : readstrips(into);
    return read ? into.finish() : QImage();
}

// Strips through libtiff's RGBA interface, each bottom row first.
bool tiffhandler::rgbastrips(pixels::gatherer &into, std::vector<uint32_t> &raster)
{
    const int width = whole.width(), height = whole.height();
    uint32_t perstrip = 0;
    TIFFGetFieldDefaulted(file.get(), TIFFTAG_ROWSPERSTRIP, &perstrip);
    const int rows = int(qBound(qint64(1), qint64(perstrip), qint64(height)));
    if (qint64(width) * rows * 4 > mostalloc)
        return false;
    raster.resize(size_t(width) * size_t(rows));
    for (int top = 0; top < height; top += rows) {
        if (!TIFFReadRGBAStrip(file.get(), uint32_t(top), raster.data()))
            return top > 0;
        const int got = qMin(rows, height - top);
        for (int i = 0; i < got; ++i)
            into.addpixels(top + i, 0, width,
                reinterpret_cast<const quint8 *>(
                    raster.data() + size_t(got - 1 - i) * size_t(width)),
                4);
    }
    return true;
}

// Tiles through libtiff's RGBA interface: each a whole tile, bottom row first, whatever of it
// lies past the picture left empty.
bool tiffhandler::rgbatiles(pixels::gatherer &into, std::vector<uint32_t> &raster)
{
    const int width = whole.width(), height = whole.height();
    uint32_t across = 0, down = 0;
    TIFFGetField(file.get(), TIFFTAG_TILEWIDTH, &across);
    TIFFGetField(file.get(), TIFFTAG_TILELENGTH, &down);
    if (across == 0 || down == 0 || qint64(across) * down * 4 > mostalloc)
        return false;
    raster.resize(size_t(across) * down);
    for (int y = 0; y < height; y += int(down))
        for (int x = 0; x < width; x += int(across)) {
            if (!TIFFReadRGBATile(file.get(), uint32_t(x), uint32_t(y), raster.data()))
                return y > 0;
            const int rows = qMin(int(down), height - y), count = qMin(int(across), width - x);
            for (int i = 0; i < rows; ++i)
                into.addpixels(y + i, x, count,
                    reinterpret_cast<const quint8 *>(
                        raster.data() + size_t(int(down) - 1 - i) * across),
                    4);
        }
    return true;
}

// Every other layout libtiff decodes, as 8-bit RGBA with alpha premultiplied.
QImage tiffhandler::throughrgba(QSize size)
{
    char message[1024] = {};
    if (!TIFFRGBAImageOK(file.get(), message))
        return QImage();
    pixels::meaning samples;
    samples.alpha = is.alpha;
    samples.premultiplied = true;
    pixels::gatherer into(
        size, samples, QList<pixels::gatherer::grid>(samples.alpha ? 4 : 3, { whole, 8 }));
    std::vector<uint32_t> raster;
    if (!into.valid()
        || !(TIFFIsTiled(file.get()) ? rgbatiles(into, raster) : rgbastrips(into, raster)))
        return QImage();
    return into.finish();
}

bool tiffhandler::readimage(QImage *image)
{
    if (!header() || finished)
        return false;
    finished = true;
    const QSize size = wanted();
    QImage picture = plain() ? asstored(size) : throughrgba(size);
    if (picture.isNull())
        return false;
    if (!is.foreign())
        profiles::tosrgb(picture, icc);
    return deliver(std::move(picture), image);
}

} // namespace

class tiffplugin : public reader::plugin<tiffhandler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "tiff.json")

public:
    tiffplugin()
        : plugin({ "libtiff" })
    { }
};

#include "tiff.moc"
