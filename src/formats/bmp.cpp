// BMP pictures, Windows' and OS/2's, read a batch of rows at a time and averaged into the size
// shown as they come: palettes of 1, 2, 4 and 8 bits, run-length coded ones (RLE8, RLE4 and OS/2's
// RLE24, whose skipped pixels stay transparent), pixels of 16 and 32 bits in any bit fields, of 24
// bits, and of 64 (linear light in fixed point). Colours go through the embedded profile; one a
// file only names is never opened, so that a picture reaches no other file. A JPEG or PNG inside a
// bitmap is read by its own reader.

#include "kinds.h"
#include "parallel.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QBuffer>
#include <QImageReader>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace {

enum coding : quint32 { plain = 0, rle8 = 1, rle4 = 2, fields = 3, jpeg = 4, png = 5, alpha = 6 };
// OS/2 numbers two codings of its own as Windows numbers fields and JPEG.
constexpr quint32 huffman = 100, rle24 = 101;
// The colour space tag of a version 5 header whose profile is in the file.
constexpr quint32 embedded = 0x4d424544; // "MBED"
constexpr qint64 mostprofile = qint64(16) << 20;
// Rows are read in batches of at most this many bytes, and gathered on every core.
constexpr qint64 batchbytes = qint64(4) << 20;
// A batch is shared among cores only when each part holds this many pixels.
constexpr qint64 partpixels = qint64(1) << 17;
// The most pixels a row may hold: far more than any picture within the decoding limit has.
constexpr int mostwidth = 1 << 24;

quint32 u32(QByteArrayView b, qsizetype at)
{
    return at + 4 <= b.size() ? qFromLittleEndian<quint32>(b.data() + at) : 0;
}

quint16 u16(QByteArrayView b, qsizetype at)
{
    return at + 2 <= b.size() ? qFromLittleEndian<quint16>(b.data() + at) : 0;
}

// At most `most` bytes from where the file is, asking for no more than it holds: a header's
// size is only a claim.
QByteArray upto(QIODevice *file, qint64 most)
{
    return file->read(qBound(qint64(0), file->size() - file->pos(), most));
}

// One channel in the bits of a pixel, and the value of each of its levels at 8 or 16 bits.
struct field
{
    quint32 mask = 0;
    int shift = 0;
    int bits = 0;
    int dropped = 0; // low bits passed over, where a channel has more than 16
    std::vector<quint16> levels;

    // Whether the mask is one run of bits, or none.
    bool set(quint32 m)
    {
        mask = m;
        shift = m ? qCountTrailingZeroBits(m) : 0;
        bits = qPopulationCount(m);
        return m == 0 || (m >> shift) == (quint32(1) << bits) - 1 || bits == 32;
    }
    void scale(int depth)
    {
        dropped = qMax(0, bits - 16);
        const int top = (1 << (bits - dropped)) - 1, most = (1 << depth) - 1;
        levels.resize(size_t(top) + 1);
        for (int v = 0; v <= top; ++v)
            levels[size_t(v)] = quint16((qint64(v) * most * 2 + top) / (qint64(top) * 2));
    }
    quint16 of(quint32 pixel) const { return levels[((pixel & mask) >> shift) >> dropped]; }
};

// What a bitmap's headers say.
struct layout
{
    quint32 header = 0; // the size of the information header
    quint32 offset = 0; // where the pixels start
    int width = 0;
    int height = 0;
    bool topdown = false;
    int planes = 0;
    int bits = 0;
    quint32 coding = plain;
    quint32 stored = 0; // the bytes of a coded picture, where the header says
    quint32 colours = 0; // the palette's entries, where the header says
    bool os2 = false;
    field channels[4]; // red, green, blue, alpha
    std::vector<QRgb> palette;
    quint32 space = 0;
    qint64 profileat = 0;
    qint64 profilesize = 0;

    bool hasalpha() const { return channels[3].bits > 0 || bits == 64; }
    // Whether samples are kept at 16 bits, for channels of more than 8.
    bool wide() const
    {
        return bits == 64
            || std::any_of(std::begin(channels), std::end(channels),
                [](const field &f) { return f.bits > 8; });
    }
    bool runs() const { return coding == rle8 || coding == rle4 || coding == rle24; }
    qint64 stride() const { return (qint64(width) * bits + 31) / 32 * 4; }
};

// The size, depth and coding, by the kind of header its size tells: OS/2's first (12 bytes),
// Windows' of 40 to 124, or OS/2's second, of up to 64 with what a writer left out taken as 0.
bool readinfo(QByteArrayView h, layout &l)
{
    l.offset = u32(h, 10);
    l.header = u32(h, 14);
    if (l.header == 12) {
        l.width = u16(h, 18);
        l.height = u16(h, 20);
        l.planes = u16(h, 22);
        l.bits = u16(h, 24);
        l.os2 = true;
        return true;
    }
    if (l.header < 16 || (l.header > 64 && l.header != 108 && l.header != 124))
        return false;
    const QByteArrayView info = h.first(qMin<qsizetype>(h.size(), 14 + l.header));
    l.width = qint32(u32(info, 18));
    l.height = qint32(u32(info, 22));
    l.planes = u16(info, 26);
    l.bits = u16(info, 28);
    l.coding = u32(info, 30);
    l.stored = u32(info, 34);
    l.colours = u32(info, 46);
    l.os2 = l.header < 40 || (l.header > 56 && l.header <= 64);
    if (l.os2 && (l.coding == fields || l.coding == jpeg))
        l.coding = l.coding == fields ? huffman : rle24;
    l.space = l.header >= 108 ? u32(info, 70) : 0;
    if (l.header >= 124 && l.space == embedded) {
        l.profileat = 14 + qint64(u32(info, 126));
        l.profilesize = u32(info, 130);
    }
    return true;
}

// The bit fields of pixels of 16 and 32 bits: as the header gives them, or the usual ones. They
// follow a header of 40 bytes, or are part of a longer one, at the same place either way.
bool readfields(QByteArrayView h, layout &l)
{
    quint32 masks[4] = {};
    if (l.bits == 16) {
        masks[0] = 0x7c00;
        masks[1] = 0x03e0;
        masks[2] = 0x001f;
    } else if (l.bits == 32) {
        masks[0] = 0xff0000;
        masks[1] = 0xff00;
        masks[2] = 0xff;
    }
    const bool given = l.coding == fields || l.coding == alpha;
    for (int k = 0; given && k < 3; ++k)
        masks[k] = u32(h, 54 + 4 * k);
    if (given && (l.coding == alpha || l.header >= 56))
        masks[3] = u32(h, 66);
    for (int k = 0; k < 4; ++k)
        if (!l.channels[k].set(masks[k]))
            return false;
    const int depth = l.wide() ? 16 : 8;
    for (field &f : l.channels)
        if (f.bits > 0)
            f.scale(depth);
    return true;
}

// The palette: as many entries as the header says, or as the depth allows, of those the file
// holds before its pixels; any index past them is black.
void readpalette(QByteArrayView h, layout &l)
{
    qint64 start = 14 + qint64(l.header);
    if (l.header == 40 && (l.coding == fields || l.coding == alpha))
        start += l.coding == alpha ? 16 : 12;
    const int entry = l.header == 12 ? 3 : 4;
    qint64 count = l.bits <= 8 ? qint64(1) << l.bits : 0;
    if (l.colours > 0)
        count = qMin<qint64>(count, l.colours);
    if (l.offset > start)
        count = qMin<qint64>(count, (l.offset - start) / entry);
    l.palette.assign(256, qRgb(0, 0, 0));
    for (qint64 i = 0; i < count && start + (i + 1) * entry <= h.size(); ++i) {
        const auto *p = reinterpret_cast<const uchar *>(h.data() + start + i * entry);
        l.palette[size_t(i)] = qRgb(p[2], p[1], p[0]);
    }
    if (l.offset < start)
        l.offset = quint32(start + count * entry);
}

// Whether the depth and coding go together in a picture of a size that can be shown. Run-length
// coded pictures are stored bottom up only.
bool sound(const layout &l)
{
    static const int depths[] = { 1, 2, 4, 8, 16, 24, 32, 64 };
    const bool depth = std::find(std::begin(depths), std::end(depths), l.bits) != std::end(depths);
    bool fits = false;
    switch (l.coding) {
    case plain:
        fits = depth;
        break;
    case rle8:
        fits = l.bits == 8;
        break;
    case rle4:
        fits = l.bits == 4;
        break;
    case rle24:
        fits = l.bits == 24;
        break;
    case fields:
    case alpha:
        fits = l.bits == 16 || l.bits == 32;
        break;
    case jpeg:
    case png:
        fits = true;
        break;
    default:
        break;
    }
    return fits && l.planes == 1 && l.width > 0 && l.width <= mostwidth && l.height != 0
        && !(l.topdown && l.runs()) && pixels::allowed(QSize(l.width, l.height));
}

// The value, at 16 bits on sRGB's curve, of each 64-bit sample of linear light (1 is 8192).
const std::vector<quint16> &linearlevels()
{
    static const std::vector<quint16> made = [] {
        std::vector<quint16> levels(8193);
        for (size_t v = 0; v < levels.size(); ++v) {
            const double l = double(v) / 8192;
            const double s = l <= 0.0031308 ? l * 12.92 : 1.055 * std::pow(l, 1 / 2.4) - 0.055;
            levels[v] = quint16(std::lround(s * 65535));
        }
        return levels;
    }();
    return made;
}

// A row of stored pixels made red, green and blue samples (and alpha, where there is any), of 8
// bits or of 16 where the picture is wide.
template<typename T> void unpack(const layout &l, const uchar *row, T *out)
{
    const int channels = l.hasalpha() ? 4 : 3;
    for (int x = 0; x < l.width; ++x, out += channels) {
        if (l.bits <= 8) {
            const int per = 8 / l.bits;
            const int index = (row[x / per] >> (8 - l.bits * (x % per + 1))) & ((1 << l.bits) - 1);
            const QRgb c = l.palette[size_t(index)];
            out[0] = T(qRed(c));
            out[1] = T(qGreen(c));
            out[2] = T(qBlue(c));
        } else if (l.bits == 24) {
            out[0] = row[3 * x + 2];
            out[1] = row[3 * x + 1];
            out[2] = row[3 * x];
        } else if (l.bits == 64) {
            const uchar *p = row + 8 * x;
            const auto level = [&](int k) {
                const quint16 v = qFromLittleEndian<quint16>(p + 2 * k);
                return v >= 0x8000 ? 0 : qMin<int>(v, 8192);
            };
            for (int k = 0; k < 3; ++k)
                out[k] = T(linearlevels()[size_t(level(2 - k))]);
            out[3] = T(level(3) * 65535 / 8192);
        } else {
            const quint32 pixel = l.bits == 16 ? qFromLittleEndian<quint16>(row + 2 * x)
                                               : qFromLittleEndian<quint32>(row + 4 * x);
            for (int k = 0; k < channels; ++k)
                out[k] = l.channels[k].bits ? T(l.channels[k].of(pixel)) : T(0);
        }
    }
}

// The file's bytes one at a time, a piece read at once.
class bytestream
{
public:
    explicit bytestream(QIODevice *device)
        : device(device)
    { }
    // The next byte, or -1 at the end of the file.
    int next()
    {
        if (at == size) {
            const qint64 got = device->read(reinterpret_cast<char *>(buffer.data()), piece);
            at = 0;
            size = got > 0 ? size_t(got) : 0;
            if (size == 0)
                return -1;
        }
        return buffer[at++];
    }

private:
    static constexpr qint64 piece = 64 * 1024;
    QIODevice *device;
    std::vector<uchar> buffer = std::vector<uchar>(size_t(piece));
    size_t at = 0;
    size_t size = 0;
};

// Run-length coded pixels made rows of red, green, blue and alpha, each handed to the picture
// when the codes leave it. Pixels the codes skip, or that run past the row, stay transparent.
class rundecoder
{
public:
    rundecoder(const layout &l, QIODevice *device, pixels::gatherer &into)
        : l(l)
        , file(device)
        , into(into)
        , row(size_t(l.width) * 4)
    { }
    // Decodes until the end of the picture or of the file; false where no row came.
    bool decode();

private:
    void put(QRgb c)
    {
        if (x < l.width) {
            uchar *p = row.data() + 4 * x;
            p[0] = uchar(qRed(c));
            p[1] = uchar(qGreen(c));
            p[2] = uchar(qBlue(c));
            p[3] = 255;
            touched = true;
        }
        // Past the row every pixel is passed over alike: counting on would only overflow.
        x = qMin(x + 1, l.width);
    }
    // The next pixel's colour in RLE24, read from the file: three bytes, blue first.
    std::optional<QRgb> stored()
    {
        const int b = file.next(), g = file.next(), r = file.next();
        if (r < 0)
            return std::nullopt;
        return qRgb(r, g, b);
    }
    void hand();
    bool repeat(int count, int value);
    bool literal(int count);
    bool escape(int code);

    const layout &l;
    bytestream file;
    pixels::gatherer &into;
    std::vector<uchar> row;
    int x = 0;
    int y = 0; // as stored, from the bottom
    bool touched = false;
    bool handed = false;
};

void rundecoder::hand()
{
    if (touched && y < l.height)
        into.addpixels(l.height - 1 - y, 0, l.width, row.data(), 4);
    handed = handed || touched;
    touched = false;
    std::fill(row.begin(), row.end(), uchar(0));
}

// `count` pixels of one value: a palette index, two of them alternating in RLE4, or in RLE24 the
// first byte of a colour.
bool rundecoder::repeat(int count, int value)
{
    if (l.coding == rle24) {
        const int g = file.next(), r = file.next();
        if (r < 0)
            return false;
        for (int i = 0; i < count; ++i)
            put(qRgb(r, g, value));
        return true;
    }
    for (int i = 0; i < count; ++i) {
        const int index = l.coding == rle4 ? (i % 2 ? value & 15 : value >> 4) : value;
        put(l.palette[size_t(index)]);
    }
    return true;
}

// `count` pixels as they are, padded to a whole number of 16-bit words.
bool rundecoder::literal(int count)
{
    int read = 0;
    int b = 0;
    for (int i = 0; i < count; ++i) {
        if (l.coding == rle24) {
            const std::optional<QRgb> c = stored();
            if (!c)
                return false;
            put(*c);
            read += 3;
            continue;
        }
        // RLE4 packs two pixels a byte.
        if (l.coding == rle8 || i % 2 == 0) {
            b = file.next();
            if (b < 0)
                return false;
            ++read;
        }
        put(l.palette[size_t(l.coding == rle4 ? (i % 2 ? b & 15 : b >> 4) : b)]);
    }
    return read % 2 == 0 || file.next() >= 0;
}

// The codes after a zero: the end of a row, of the picture, a move, or pixels as they are.
bool rundecoder::escape(int code)
{
    if (code == 0) {
        hand();
        ++y;
        x = 0;
        return y < l.height;
    }
    if (code == 1)
        return false;
    if (code == 2) {
        const int dx = file.next(), dy = file.next();
        if (dy < 0)
            return false;
        if (dy > 0)
            hand();
        x = qMin(x + dx, l.width);
        y += dy;
        return y < l.height;
    }
    return literal(code);
}

bool rundecoder::decode()
{
    for (;;) {
        const int count = file.next(), value = file.next();
        if (value < 0)
            break;
        if (!(count == 0 ? escape(value) : repeat(count, value)))
            break;
    }
    hand();
    return handed;
}

class bmphandler : public reader::handler
{
public:
    bmphandler()
        : handler("dib", recognises)
    { }
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    bool readrows(QIODevice *file, pixels::gatherer &into);
    bool readcoded(QIODevice *file, QImage *image);
    QByteArray profile(QIODevice *file) const;

    layout l;
    bool finished = false; // read once
};

bool bmphandler::recognises(QIODevice *device)
{
    return startsas(*device, "dib");
}

bool bmphandler::readheader()
{
    QIODevice *file = seekable();
    if (!file || !file->seek(0))
        return false;
    // The headers, their bit fields and the largest palette.
    const QByteArray h = file->read(14 + 124 + 16 + 256 * 4);
    if (!h.startsWith("BM") || !readinfo(h, l))
        return false;
    l.topdown = l.height < 0 && !l.os2;
    l.height = l.topdown ? -l.height : l.height;
    if (!readfields(h, l))
        return false;
    readpalette(h, l);
    // Rows stored as they are must hold one row at least.
    const bool asis = !l.runs() && l.coding != jpeg && l.coding != png;
    if (!sound(l) || (asis && file->size() < qint64(l.offset) + l.stride()))
        return false;
    whole = QSize(l.width, l.height);
    return true;
}

// Rows as they are stored, a batch at a time, each unpacked and gathered on every core; a file
// cut short keeps the rows that came.
bool bmphandler::readrows(QIODevice *file, pixels::gatherer &into)
{
    const qint64 stride = l.stride();
    // No more rows at once than the file holds.
    const qint64 held = (file->size() - file->pos()) / stride + 1;
    const int batched = int(qBound(qint64(1), qMin(batchbytes / stride, held), qint64(l.height)));
    std::vector<uchar> batch(size_t(stride) * size_t(batched));
    const int channels = l.hasalpha() ? 4 : 3;
    const bool wide = l.wide();
    for (int top = 0; top < l.height; top += batched) {
        const qint64 asked = stride * qMin(batched, l.height - top);
        const qint64 got = file->read(reinterpret_cast<char *>(batch.data()), asked);
        const int rows = int(qMax<qint64>(0, got) / stride);
        const auto gather = [&](int first, int last) {
            const size_t samples = size_t(l.width) * size_t(channels);
            std::vector<quint16> deep(wide ? samples : 0);
            std::vector<uchar> narrow(wide ? 0 : samples);
            for (int i = first; i < last; ++i) {
                const uchar *row = batch.data() + size_t(i) * size_t(stride);
                const int y = l.topdown ? top + i : l.height - 1 - top - i;
                if (wide) {
                    unpack(l, row, deep.data());
                    into.addpixels(y, 0, l.width, deep.data(), channels);
                } else {
                    unpack(l, row, narrow.data());
                    into.addpixels(y, 0, l.width, narrow.data(), channels);
                }
            }
        };
        inparallel(rows, gather, int(qMax<qint64>(16, partpixels / l.width)));
        if (got < asked)
            return top + rows > 0;
    }
    return true;
}

// A JPEG or PNG picture inside the bitmap, by its own reader.
bool bmphandler::readcoded(QIODevice *file, QImage *image)
{
    QByteArray bytes = upto(file, l.stored > 0 ? qint64(l.stored) : reader::filelimit);
    QBuffer inside(&bytes);
    inside.open(QIODevice::ReadOnly);
    QImageReader coded(&inside, l.coding == jpeg ? "jfif" : "png");
    coded.setAutoDetectImageFormat(false);
    if (scaled.isValid())
        coded.setScaledSize(scaled);
    QImage made = coded.read();
    return !made.isNull() && deliver(std::move(made), image);
}

QByteArray bmphandler::profile(QIODevice *file) const
{
    if (l.profilesize <= 0 || l.profilesize > mostprofile || !file->seek(l.profileat))
        return QByteArray();
    return upto(file, l.profilesize);
}

bool bmphandler::readimage(QImage *image)
{
    if (!header() || finished)
        return false;
    finished = true;
    QIODevice *file = seekable();
    if (!file || !file->seek(l.offset))
        return false;
    if (l.coding == jpeg || l.coding == png)
        return readcoded(file, image);
    pixels::meaning samples;
    samples.alpha = l.hasalpha() || l.runs();
    samples.wide = l.wide();
    const int channels = samples.alpha ? 4 : 3;
    const pixels::gatherer::grid grid { whole, samples.wide ? 16 : 8 };
    pixels::gatherer into(wanted(), samples, QList<pixels::gatherer::grid>(channels, grid));
    if (!into.valid())
        return false;
    if (l.runs() ? !rundecoder(l, file, into).decode() : !readrows(file, into))
        return false;
    QImage picture = into.finish();
    profiles::tosrgb(picture, profile(file));
    return deliver(std::move(picture), image);
}

} // namespace

class bmpplugin : public reader::plugin<bmphandler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "bmp.json")

public:
    bmpplugin()
        : plugin({ "dib" })
    { }
};

#include "bmp.moc"
