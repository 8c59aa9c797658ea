#include "pixels.h"

#include "handover.h"
#include "packer.h"
#include "parallel.h"
#include "weights.h"

#include <QImageReader>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <type_traits>
#include <vector>

namespace pixels {

namespace {

// Rows of the picture share a lock a stripe.
constexpr int stripes = 64;

// A picture of pixels of zero, in memory the system hands over zeroed: rows that no sample
// reaches (a file cut short, or one that claims more than it holds) cost nothing.
QImage zeroed(QSize size, QImage::Format format)
{
    const qsizetype line
        = (qsizetype(size.width()) * QImage::toPixelFormat(format).bitsPerPixel() + 31) / 32 * 4;
    const std::size_t length = std::size_t(line) * std::size_t(size.height());
    const bool offered = porvane_takepixels && porvane_givepixels;
    void *pixels = offered ? porvane_takepixels(length) : nullptr;
    QImageCleanupFunction release = porvane_givepixels;
    if (!pixels) {
        pixels = std::calloc(length, 1);
        release = std::free;
    }
    if (!pixels)
        return QImage();
    return QImage(
        static_cast<uchar *>(pixels), size.width(), size.height(), line, format, release, pixels);
}

} // namespace

bool allowed(QSize size, int bytesperpixel)
{
    if (size.isEmpty())
        return false;
    const qint64 limit = qint64(QImageReader::allocationLimit()) << 20;
    return limit <= 0 || qint64(size.width()) * size.height() * bytesperpixel <= limit;
}

qint64 limitpixels()
{
    return (qint64(QImageReader::allocationLimit()) << 20) / 4;
}

bool withinpixel(QSize a, QSize b)
{
    return qAbs(a.width() - b.width()) <= 1 && qAbs(a.height() - b.height()) <= 1;
}

int leastshrink(const std::function<bool(int shrink)> &fits)
{
    for (int shrink = 1; shrink <= 64; shrink *= 2)
        if (fits(shrink))
            return shrink;
    return 0;
}

QImage::Format formatof(const meaning &samples)
{
    if (samples.wide || samples.light != colour::curve::plain)
        return samples.alpha ? QImage::Format_RGBA64_Premultiplied : QImage::Format_RGBX64;
    return samples.alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
}

namespace {

// A channel's grid over the picture.
struct channel
{
    side across;
    side down;
    qint64 top = 255; // the largest sample
    qint64 shift = 0; // added to a signed sample
    qint64 added = 0; // additions a row of the picture gets from one of the grid's rows
};

// A row of the picture whose samples are still coming.
struct row
{
    std::vector<quint64> sums; // a pixel's channels side by side
    qint64 added = 0;
    bool weighed = false; // colours summed weighed by their alpha
};

} // namespace

// The rows of the picture still coming, as sums of their samples with their weights: a general
// path for channels of any grids, and a fast one for whole pixels of one grid, summed across
// once before they are shared between rows. A row is packed as its last sample comes.
class gatherer::accumulator
{
public:
    accumulator(QSize size, const meaning &samples, const QList<grid> &grids);

    template<typename T>
    void add(int channel, int row, int x, int count, const T *samples, int step, int columns);
    template<typename T>
    void addpixels(int row, int x, int count, const T *samples, int step, int columns);
    void addplane(const plane &p, int channel, int row);
    QImage finish();

    QImage image;

private:
    bool channelsof(QSize size, const QList<grid> &grids);
    // The rows of a channel's grid that reach one row of the picture.
    int rows(int channel, int row) const
    {
        return channels[size_t(channel)].down.count[size_t(row)];
    }
    // The sums of a row of the picture, made when its first sample comes.
    std::unique_ptr<row> &opened(int y, size_t size);
    void added(int y, std::unique_ptr<row> &sums);
    // Adds a run of one channel's row into one row of the picture, with the share of the row that
    // falls in it.
    template<typename T>
    void addto(int pixelrow, qint64 rowshare, int channel, int x, int count, const T *samples,
        int step, int columns);
    template<typename T>
    void sumpixels(int row, int x, int count, const T *samples, int step, int columns);
    template<typename S> void addsums(int row, int from, int count, const S *summed, size_t size);
    template<typename T>
    void writedirect(int row, int x, int count, const T *samples, int step, int columns);
    void complete(int y, row &sums);

    packer packed;
    std::vector<channel> channels;
    std::vector<std::unique_ptr<row>> open;
    std::vector<qint64> expected; // additions each row of the picture waits for
    bool direct = false; // every grid is the picture's size, and pixels are written as they come
    bool alike = false; // every channel on one grid, of unsigned samples, gathered
    bool weighed = false; // and colours with straight alpha, summed weighed by it when they come
                          // as whole pixels
    std::unique_ptr<std::mutex[]> locks;
};

gatherer::accumulator::accumulator(QSize size, const meaning &samples, const QList<grid> &grids)
{
    const int colours = samples.kind == model::grey ? 1 : 3;
    const QImage::Format format = formatof(samples);
    const bool wide = QImage::toPixelFormat(format).bitsPerPixel() == 64;
    if (grids.size() != colours + (samples.alpha ? 1 : 0) || !allowed(size, wide ? 8 : 4)
        || !channelsof(size, grids))
        return;
    int lightbits = 8;
    for (int k = 0; k < colours; ++k)
        lightbits = qMax(lightbits, grids[k].bits);
    const bool bytes = std::all_of(
        grids.cbegin(), grids.cend(), [](const grid &g) { return g.bits == 8 && !g.sign; });
    std::vector<qint64> tops;
    for (const channel &c : channels)
        tops.push_back(c.top);
    packed = packer(samples, tops, lightbits, bytes);
    // Unsigned samples on one grid that gathers, as most pictures' channels are.
    alike = std::all_of(grids.cbegin(), grids.cend(),
                [&](const grid &g) { return g.size == grids[0].size && !g.sign; })
        && channels[0].across.gathers && channels[0].down.gathers;
    weighed = alike && samples.alpha && !samples.premultiplied && samples.kind != model::ycc;
    expected.assign(size_t(size.height()), 0);
    for (int y = 0; y < size.height(); ++y)
        for (size_t k = 0; k < channels.size(); ++k)
            expected[size_t(y)] += rows(int(k), y) * channels[k].added;
    open.resize(size_t(size.height()));
    locks = std::make_unique<std::mutex[]>(stripes);
    image = zeroed(size, format);
}

// Each channel's grid over the picture; false for a grid of no samples or of more than 16 bits.
bool gatherer::accumulator::channelsof(QSize size, const QList<grid> &grids)
{
    direct = true;
    for (const grid &g : grids) {
        if (g.size.isEmpty() || g.bits < 1 || g.bits > 16)
            return false;
        channel c;
        c.across = side(g.size.width(), size.width());
        c.down = side(g.size.height(), size.height());
        c.top = (qint64(1) << g.bits) - 1;
        c.shift = g.sign ? qint64(1) << (g.bits - 1) : 0;
        c.added = c.across.gathers ? std::count_if(
                      c.across.owner.cbegin(), c.across.owner.cend(), [](int o) { return o >= 0; })
                                   : size.width();
        channels.push_back(std::move(c));
        direct = direct && g.size == size;
    }
    return true;
}

template<typename T>
void gatherer::accumulator::addto(
    int y, qint64 rowshare, int k, int x, int count, const T *samples, int step, int columns)
{
    const channel &c = channels[size_t(k)];
    const size_t width = size_t(image.width());
    const size_t stride = channels.size();
    const auto value
        = [&c](T sample) { return quint64(qBound<qint64>(0, qint64(sample) + c.shift, c.top)); };
    const std::lock_guard<std::mutex> lock(locks[y % stripes]);
    std::unique_ptr<row> &sums = opened(y, width * stride);
    quint64 *into = sums->sums.data() + k;
    qint64 added = 0;
    if (c.across.gathers) {
        const int *owner = c.across.owner.data() + x;
        const int *share = c.across.share.data() + x;
        const quint64 weight = quint64(c.across.weight), down = quint64(rowshare);
        for (int i = 0; i < count; ++i, samples += step, owner += columns, share += columns) {
            const quint64 v = value(*samples) * down;
            into[size_t(*owner) * stride] += v * quint64(*share);
            if (quint64(*share) < weight)
                into[size_t(*owner + 1) * stride] += v * (weight - quint64(*share));
            ++added;
        }
    } else {
        for (size_t o = 0; o < width; ++o) {
            const int at = c.across.first[o] - x;
            if (at >= 0 && at % columns == 0 && at / columns < count) {
                into[o * stride]
                    += value(samples[qsizetype(at / columns) * step]) * quint64(rowshare);
                ++added;
            }
        }
    }
    sums->added += added;
    this->added(y, sums);
}

std::unique_ptr<row> &gatherer::accumulator::opened(int y, size_t size)
{
    std::unique_ptr<row> &sums = open[size_t(y)];
    if (!sums) {
        sums = std::make_unique<row>();
        sums->sums.assign(size, 0);
    }
    return sums;
}

// A row whose samples have all come is made pixels, and its sums let go.
void gatherer::accumulator::added(int y, std::unique_ptr<row> &sums)
{
    if (sums->added >= expected[size_t(y)]) {
        complete(y, *sums);
        sums.reset();
    }
}

template<typename T>
void gatherer::accumulator::add(
    int k, int r, int x, int count, const T *samples, int step, int columns)
{
    const side &down = channels[size_t(k)].down;
    const qint64 last = qint64(x) + qint64(count - 1) * columns;
    if (r < 0 || x < 0 || count <= 0 || columns < 1
        || last >= qint64(channels[size_t(k)].across.owner.size()))
        return;
    if (down.gathers) {
        if (r >= int(down.owner.size()))
            return;
        const int y = down.owner[size_t(r)];
        const int share = down.share[size_t(r)];
        addto(y, share, k, x, count, samples, step, columns);
        if (share < down.weight)
            addto(y + 1, down.weight - share, k, x, count, samples, step, columns);
        return;
    }
    const auto from = std::lower_bound(down.first.cbegin(), down.first.cend(), r);
    for (auto it = from; it != down.first.cend() && *it == r; ++it)
        addto(int(it - down.first.cbegin()), 1, k, x, count, samples, step, columns);
}

namespace {

// The sums of a known number of channels: a pixel's are held in registers while its samples
// come and written once, rather than added in memory sample after sample; the samples that fall
// in it whole are summed plain, and weighed once.
template<int n, bool weighing, typename S, typename T>
void sumheld(S *line, const side &across, int x, int from, int count, const T *samples, int step,
    int columns)
{
    const int *owner = across.owner.data() + x;
    const int *share = across.share.data() + x;
    const S weight = S(across.weight);
    S whole[n] = {}, here[n] = {}, next[n] = {};
    int held = *owner;
    const auto put = [&] {
        S *pixel = line + size_t(held - from) * size_t(n);
        for (int j = 0; j < n; ++j) {
            pixel[j] += here[j] + whole[j] * weight;
            pixel[j + n] += next[j];
            whole[j] = here[j] = next[j] = 0;
        }
    };
    for (int i = 0; i < count; ++i, samples += step, owner += columns, share += columns) {
        if (*owner != held) {
            put();
            held = *owner;
        }
        const S first = S(*share), second = weight - first;
        const S alpha = weighing ? S(samples[n - 1]) : 1;
        S value[n];
        for (int j = 0; j < n; ++j)
            value[j] = weighing && j == n - 1 ? alpha : S(samples[j]) * alpha;
        for (int j = 0; j < n; ++j) {
            if (second == 0) {
                whole[j] += value[j];
            } else {
                here[j] += value[j] * first;
                next[j] += value[j] * second;
            }
        }
    }
    put();
}

// Whole pixels of a run of a row summed across into the pixels of the picture they fall in, from
// pixel `from` on; `n` channels a pixel (0: `stride`), colours weighed by their alpha, so that
// what cannot be seen adds nothing.
template<int n, bool weighing, typename S, typename T>
void sumacross(S *line, const side &across, int stride, int x, int from, int count,
    const T *samples, int step, int columns)
{
    // Held sums pay where a pixel gathers several samples; where it gathers one or two, writing
    // each pixel's sums costs what adding to them in memory does.
    if constexpr (n > 0) {
        if (across.total >= 3 * across.weight) {
            sumheld<n, weighing>(line, across, x, from, count, samples, step, columns);
            return;
        }
    }
    const int k = n > 0 ? n : stride;
    const int colours = weighing ? k - 1 : k;
    const int *owner = across.owner.data() + x;
    const int *share = across.share.data() + x;
    const S weight = S(across.weight);
    for (int i = 0; i < count; ++i, samples += step, owner += columns, share += columns) {
        S *pixel = line + size_t(*owner - from) * size_t(k);
        const S first = S(*share), second = weight - first;
        const S alpha = weighing ? S(samples[k - 1]) : 1;
        for (int j = 0; j < colours; ++j) {
            const S value = S(samples[j]) * alpha;
            pixel[j] += value * first;
            pixel[j + k] += value * second;
        }
        if (weighing) {
            pixel[k - 1] += alpha * first;
            pixel[2 * k - 1] += alpha * second;
        }
    }
}

} // namespace

// Whole pixels of a run of a row, every channel on one grid that gathers: averaged across into
// the pixels of the picture they fall in, once, then added to the one or two rows of the
// picture their row falls in, each with its share.
template<typename T>
void gatherer::accumulator::sumpixels(
    int r, int x, int count, const T *samples, int step, int columns)
{
    const int stride = int(channels.size());
    const side &across = channels[0].across;
    const int last = x + (count - 1) * columns;
    const int from = across.owner[size_t(x)];
    // One pixel more, which the last sample's empty share adds nothing to.
    const size_t size = size_t(across.owner[size_t(last)] - from + 2) * size_t(stride);
    // Eight-bit samples of a side of up to 2^24 sum in 32 bits; the common channel counts are
    // spelled out, for the compiler to unroll.
    thread_local std::vector<quint32> narrow;
    thread_local std::vector<quint64> wide;
    if (sizeof(T) == 1 && !weighed && across.owner.size() <= (1u << 24)) {
        narrow.assign(size, 0);
        if (stride == 3)
            sumacross<3, false>(
                narrow.data(), across, stride, x, from, count, samples, step, columns);
        else
            sumacross<0, false>(
                narrow.data(), across, stride, x, from, count, samples, step, columns);
        addsums(r, from, count, narrow.data(), size);
        return;
    }
    wide.assign(size, 0);
    if (weighed && stride == 4)
        sumacross<4, true>(wide.data(), across, stride, x, from, count, samples, step, columns);
    else if (weighed)
        sumacross<0, true>(wide.data(), across, stride, x, from, count, samples, step, columns);
    else
        sumacross<0, false>(wide.data(), across, stride, x, from, count, samples, step, columns);
    addsums(r, from, count, wide.data(), size);
}

// A run's sums across, from pixel `from` on, added to the one or two rows of the picture its row
// falls in, each with its share.
template<typename S>
void gatherer::accumulator::addsums(int r, int from, int count, const S *summed, size_t size)
{
    const size_t stride = channels.size();
    const side &down = channels[0].down;
    const int rowshare = down.share[size_t(r)];
    const size_t width = size_t(image.width()) * stride;
    for (const auto &[y, part] : { std::pair(down.owner[size_t(r)], qint64(rowshare)),
             std::pair(down.owner[size_t(r)] + 1, down.weight - rowshare) }) {
        if (part == 0)
            continue;
        const std::lock_guard<std::mutex> lock(locks[y % stripes]);
        std::unique_ptr<row> &sums = opened(y, width);
        quint64 *into = sums->sums.data() + size_t(from) * stride;
        const size_t reach = qMin(size, width - size_t(from) * stride);
        for (size_t i = 0; i < reach; ++i)
            into[i] += quint64(summed[i]) * quint64(part);
        sums->weighed = weighed;
        sums->added += qint64(count) * qint64(stride);
        added(y, sums);
    }
}

template<typename T>
void gatherer::accumulator::addpixels(
    int r, int x, int count, const T *samples, int step, int columns)
{
    const int stride = int(channels.size());
    if (!direct && !alike) {
        for (int k = 0; k < stride; ++k)
            add(k, r, x, count, samples + k, step, columns);
        return;
    }
    const channel &c = channels[0];
    const qint64 last = qint64(x) + qint64(count - 1) * columns;
    if (r < 0 || r >= int(c.down.owner.size()) || x < 0 || count <= 0 || columns < 1
        || last >= qint64(c.across.owner.size()))
        return;
    // Every channel on one grid: each pixel's channels are summed together, in one pass.
    if (!direct)
        sumpixels(r, x, count, samples, step, columns);
    else if constexpr (std::is_same_v<T, quint8>)
        packed.plain() ? packed.bytes(image.scanLine(r), x, count, samples, step, columns)
                       : writedirect(r, x, count, samples, step, columns);
    else
        writedirect(r, x, count, samples, step, columns);
}

// Samples at the picture's size, each pixel made as it comes.
template<typename T>
void gatherer::accumulator::writedirect(
    int r, int x, int count, const T *samples, int step, int columns)
{
    uchar *line = image.scanLine(r);
    const int stride = int(channels.size());
    for (int i = 0; i < count; ++i, samples += step) {
        quint64 c[4] = {};
        for (int k = 0; k < stride; ++k)
            c[k] = quint64(qBound<qint64>(
                0, qint64(samples[k]) + channels[size_t(k)].shift, channels[size_t(k)].top));
        packed.sums(line, x + i * columns, c, 1, 1);
    }
}

void gatherer::accumulator::complete(int y, row &sums)
{
    const size_t stride = channels.size();
    uchar *line = image.scanLine(y);
    // A row some of whose samples never came is made of those that did.
    const double scale = sums.added < expected[size_t(y)] && sums.added > 0
        ? double(expected[size_t(y)]) / sums.added
        : 1;
    // The weight each channel's pixels gather in all.
    const auto gathered
        = [this](size_t k) { return quint64(channels[k].down.total * channels[k].across.total); };
    if (sums.weighed) {
        // Back from colours weighed by alpha to colours as sums of samples, as the rest expects:
        // each the average of the colours seen, times the weight gathered.
        const double n = double(gathered(0));
        for (int o = 0; o < image.width(); ++o) {
            quint64 *pixel = sums.sums.data() + size_t(o) * stride;
            const double weight = double(pixel[stride - 1]);
            for (size_t k = 0; k + 1 < stride; ++k)
                pixel[k] = weight ? quint64(std::llround(double(pixel[k]) * n / weight)) : 0;
        }
    }
    bool one = scale == 1;
    for (size_t k = 1; k < stride && one; ++k)
        one = gathered(k) == gathered(0);
    if (one) {
        // Every channel gathers alike (no subsampling): one weight divides them all.
        const quint64 n = gathered(0);
        const double inverse = 1 / double(n);
        for (int o = 0; o < image.width(); ++o)
            packed.sums(line, o, sums.sums.data() + size_t(o) * stride, n, inverse);
        return;
    }
    for (int o = 0; o < image.width(); ++o) {
        const quint64 *pixel = sums.sums.data() + size_t(o) * stride;
        double c[4] = {};
        for (size_t k = 0; k < stride; ++k)
            c[k] = double(pixel[k]) * scale / double(gathered(k));
        packed.averages(line, o, c);
    }
}

QImage gatherer::accumulator::finish()
{
    for (size_t y = 0; y < open.size(); ++y)
        if (open[y]) {
            complete(int(y), *open[y]);
            open[y].reset();
        }
    return std::move(image);
}

// The rows of a plane that reach a row of the picture, added to it with their shares.
void gatherer::accumulator::addplane(const plane &p, int k, int y)
{
    const side &down = channels[size_t(k)].down;
    const int first = down.first[size_t(y)];
    for (int r = first; r < first + down.count[size_t(y)]; ++r) {
        const uchar *line = p.data + qsizetype(r) * p.stride;
        const qint64 share = !down.gathers ? 1
            : down.owner[size_t(r)] == y   ? down.share[size_t(r)]
                                           : down.weight - down.share[size_t(r)];
        if (p.bytes == 1)
            addto(y, share, k, 0, p.width, line, 1, 1);
        else if (p.bytes == 2)
            addto(y, share, k, 0, p.width, reinterpret_cast<const quint16 *>(line), 1, 1);
        else
            addto(y, share, k, 0, p.width, reinterpret_cast<const qint32 *>(line), 1, 1);
    }
}

gatherer::gatherer(QSize size, const meaning &samples, const QList<grid> &grids)
    : d(std::make_unique<accumulator>(size, samples, grids))
{ }

gatherer::~gatherer() = default;

bool gatherer::valid() const
{
    return !d->image.isNull();
}

template<typename T>
void gatherer::add(int channel, int row, int x, int count, const T *samples, int step, int columns)
{
    d->add(channel, row, x, count, samples, step, columns);
}

template<typename T>
void gatherer::addpixels(int row, int x, int count, const T *samples, int step, int columns)
{
    d->addpixels(row, x, count, samples, step, columns);
}

void gatherer::addplane(const plane &p, int channel, int row)
{
    d->addplane(p, channel, row);
}

QImage gatherer::finish()
{
    return d->finish();
}

template void gatherer::add(int, int, int, int, const quint8 *, int, int);
template void gatherer::add(int, int, int, int, const quint16 *, int, int);
template void gatherer::add(int, int, int, int, const qint32 *, int, int);
template void gatherer::addpixels(int, int, int, const quint8 *, int, int);
template void gatherer::addpixels(int, int, int, const quint16 *, int, int);

QImage write(const QList<plane> &planes, const meaning &samples, QSize size)
{
    QList<gatherer::grid> grids;
    for (const plane &p : planes) {
        if (!p.data || (p.bytes != 1 && p.bytes != 2 && p.bytes != 4))
            return QImage();
        grids.append({ QSize(p.width, p.height), p.bits, p.sign });
    }
    gatherer made(size, samples, grids);
    if (!made.valid())
        return QImage();
    inparallel(size.height(), [&](int first, int last) {
        for (int y = first; y < last; ++y)
            for (int k = 0; k < int(planes.size()); ++k)
                made.addplane(planes[k], k, y);
    });
    return made.finish();
}

} // namespace pixels
