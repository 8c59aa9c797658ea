#include "samples.h"

#include <QImageReader>
#include <QThread>
#include <QVariant>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <thread>

namespace samples {

namespace {

// For each sample of a plane along one side, the pixel of the reduced picture whose block it lies
// in, or -1 past the last whole block; and how many samples each pixel gathers. A plane with fewer
// samples than the reduced picture has pixels (chroma at no reduction) gives each pixel the sample
// under it instead.
struct side
{
    std::vector<int> owner;
    std::vector<int> count;
    std::vector<int> first; // the first sample each pixel gathers, or the one under it
    bool gathers = true;
};

side sideof(int outputs, int shrink, int picture, int samples)
{
    side made;
    made.gathers = samples >= outputs;
    made.count.assign(outputs, 0);
    made.first.resize(outputs);
    for (int o = 0; o < outputs; ++o)
        made.first[o] = qMin(int(qint64(o) * shrink * samples / picture), samples - 1);
    made.owner.resize(samples);
    for (int i = samples - 1; i >= 0; --i) {
        const int o = int(qint64(i) * picture / samples / shrink);
        made.owner[i] = o < outputs ? o : -1;
        if (o < outputs) {
            ++made.count[o];
            if (made.gathers)
                made.first[o] = i;
        }
    }
    return made;
}

// One row of a plane's reduced samples: the sums of the samples each pixel gathers.
template<typename T>
void gather(const plane &p, const side &across, int row, std::vector<quint64> &sums)
{
    const auto *line = reinterpret_cast<const T *>(p.data + row * p.stride);
    const qint64 shift = p.sign ? qint64(1) << (p.bits - 1) : 0;
    const qint64 top = (qint64(1) << p.bits) - 1;
    const auto value
        = [&](int i) { return quint64(qBound<qint64>(0, qint64(line[i]) + shift, top)); };
    if (across.gathers) {
        for (int i = 0; i < p.width; ++i)
            if (across.owner[i] >= 0)
                sums[across.owner[i]] += value(i);
    } else {
        for (size_t o = 0; o < sums.size(); ++o)
            sums[o] += value(across.first[o]);
    }
}

struct planeplan
{
    const plane *p = nullptr;
    side across;
    side down;
    double scale = 1; // to a value from 0 to 1
};

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

std::vector<quint16> levels(int bits, curve light, bool wide)
{
    const int top = (1 << bits) - 1;
    const double out = wide ? 65535 : 255;
    std::vector<quint16> made(top + 1);
    for (int v = 0; v <= top; ++v) {
        const double x = double(v) / top;
        const double y = light == curve::pq ? eased(fromPq(x))
            : light == curve::hlg           ? eased(fromHlg(x))
                                            : x;
        made[v] = quint16(std::lround(qBound(0.0, y, 1.0) * out));
    }
    return made;
}

int factor(QSize whole, QSize scaled)
{
    for (int shrink = 1; shrink <= 64; shrink *= 2)
        if (whole.width() / shrink == scaled.width() && whole.height() / shrink == scaled.height())
            return shrink;
    return 0;
}

bool allowed(QSize size, int bytesperpixel)
{
    if (size.isEmpty())
        return false;
    const qint64 limit = qint64(QImageReader::allocationLimit()) << 20;
    return limit <= 0 || qint64(size.width()) * size.height() * bytesperpixel <= limit;
}

void inparallel(int rows, const std::function<void(int, int)> &work)
{
    const int parts = qBound(1, QThread::idealThreadCount(), qMax(1, rows / 16));
    std::vector<std::thread> helpers;
    for (int i = 1; i < parts; ++i)
        helpers.emplace_back(work, rows * i / parts, rows * (i + 1) / parts);
    work(0, rows / parts);
    for (std::thread &helper : helpers)
        helper.join();
}

QImage write(const planes &source, int shrink)
{
    const QSize size(source.size.width() / shrink, source.size.height() / shrink);
    const bool hasalpha = source.alpha.data;
    const int channels = source.kind == model::grey ? 1 : 3;
    int bits = 0;
    for (int c = 0; c < channels; ++c)
        bits = qMax(bits, source.channel[c].bits);
    const bool wide = bits > 8 || source.light != curve::plain;
    if (size.isEmpty() || bits < 1 || bits > 16 || !allowed(size, wide ? 8 : 4))
        return QImage();
    QImage image(size,
        wide ? (hasalpha ? QImage::Format_RGBA64_Premultiplied : QImage::Format_RGBX64)
             : (hasalpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32));
    if (image.isNull())
        return image;

    // The colour planes, then alpha.
    std::vector<planeplan> plans(size_t(channels + (hasalpha ? 1 : 0)));
    for (size_t c = 0; c < plans.size(); ++c) {
        const plane &p = int(c) < channels ? source.channel[c] : source.alpha;
        if (!p.data || p.width < 1 || p.height < 1 || p.bits < 1 || p.bits > 16
            || (p.bytes != 1 && p.bytes != 2 && p.bytes != 4))
            return QImage();
        plans[c] = { &p, sideof(size.width(), shrink, source.size.width(), p.width),
            sideof(size.height(), shrink, source.size.height(), p.height),
            1.0 / ((1 << p.bits) - 1) };
    }
    const std::vector<quint16> light = levels(bits, source.light, wide);
    const int top = (1 << bits) - 1;
    const double outtop = wide ? 65535 : 255;

    inparallel(size.height(), [&](int firstrow, int lastrow) {
        std::vector<std::vector<quint64>> sums(plans.size());
        std::vector<std::vector<double>> values(plans.size());
        for (int y = firstrow; y < lastrow; ++y) {
            for (size_t k = 0; k < plans.size(); ++k) {
                const planeplan &plan = plans[k];
                sums[k].assign(size.width(), 0);
                const int rows = plan.down.gathers ? plan.down.count[y] : 1;
                for (int j = plan.down.first[y]; j < plan.down.first[y] + rows; ++j) {
                    if (plan.p->bytes == 1)
                        gather<quint8>(*plan.p, plan.across, j, sums[k]);
                    else if (plan.p->bytes == 2)
                        gather<quint16>(*plan.p, plan.across, j, sums[k]);
                    else
                        gather<qint32>(*plan.p, plan.across, j, sums[k]);
                }
                values[k].resize(size.width());
                for (int x = 0; x < size.width(); ++x) {
                    const int across = plan.across.gathers ? plan.across.count[x] : 1;
                    values[k][x] = double(sums[k][x]) / qMax(1, across * rows) * plan.scale;
                }
            }
            uchar *line = image.scanLine(y);
            for (int x = 0; x < size.width(); ++x) {
                double c[3];
                for (int k = 0; k < 3; ++k)
                    c[k] = values[k < channels ? k : 0][x];
                if (source.kind == model::ycc) {
                    // Full-range BT.601 (sYCC), the one YCbCr that pictures decoded to planes here
                    // still carry.
                    const double luma = c[0], cb = c[1] - 0.5, cr = c[2] - 0.5;
                    c[0] = luma + 1.402 * cr;
                    c[1] = luma - 0.344136 * cb - 0.714136 * cr;
                    c[2] = luma + 1.772 * cb;
                }
                quint32 v[3];
                for (int k = 0; k < 3; ++k)
                    v[k] = light[size_t(std::lround(qBound(0.0, c[k], 1.0) * top))];
                quint32 alpha = quint32(outtop);
                if (hasalpha) {
                    const double a = qBound(0.0, values[size_t(channels)][x], 1.0);
                    alpha = quint32(std::lround(a * outtop));
                    for (quint32 &value : v)
                        value = qMin(
                            source.premultiplied ? value : quint32(std::lround(value * a)), alpha);
                }
                if (wide)
                    reinterpret_cast<QRgba64 *>(line)[x]
                        = QRgba64::fromRgba64(v[0], v[1], v[2], alpha);
                else
                    reinterpret_cast<QRgb *>(line)[x]
                        = qRgba(int(v[0]), int(v[1]), int(v[2]), int(alpha));
            }
        }
    });
    return image;
}

QColorSpace coded(int primaries, int transfer)
{
    using tf = QColorSpace::TransferFunction;
    tf function = tf::SRgb;
    float gamma = 0;
    switch (transfer) {
    case 8: // linear
    case 16: // PQ, written as linear light
    case 18: // HLG, likewise
        function = tf::Linear;
        break;
    case 4:
        function = tf::Gamma;
        gamma = 2.2f;
        break;
    case 5:
        function = tf::Gamma;
        gamma = 2.8f;
        break;
    default:
        // sRGB, and the SDR video curves (BT.709, BT.601, BT.2020), which a screen shows as it
        // shows sRGB; unspecified and unknown curves likewise.
        break;
    }
    const QPointF d65(0.3127, 0.3290);
    switch (primaries) {
    case 9: // BT.2020
        return QColorSpace(d65, QPointF(0.708, 0.292), QPointF(0.170, 0.797), QPointF(0.131, 0.046),
            function, gamma);
    case 11: // DCI-P3, with the cinema's white
        return QColorSpace(QPointF(0.314, 0.351), QPointF(0.680, 0.320), QPointF(0.265, 0.690),
            QPointF(0.150, 0.060), function, gamma);
    case 12: // Display P3
        return QColorSpace(QColorSpace::Primaries::DciP3D65, function, gamma);
    case 5: // BT.601 for 625 lines
        return QColorSpace(
            d65, QPointF(0.64, 0.33), QPointF(0.29, 0.60), QPointF(0.15, 0.06), function, gamma);
    case 6: // BT.601 for 525 lines
    case 7:
        return QColorSpace(d65, QPointF(0.630, 0.340), QPointF(0.310, 0.595), QPointF(0.155, 0.070),
            function, gamma);
    case 22: // EBU 3213
        return QColorSpace(d65, QPointF(0.630, 0.340), QPointF(0.295, 0.605), QPointF(0.155, 0.077),
            function, gamma);
    default: // BT.709, which sRGB shares, and unspecified or unknown primaries
        return function == tf::SRgb ? QColorSpace()
                                    : QColorSpace(QColorSpace::Primaries::SRgb, function, gamma);
    }
}

curve lightof(int transfer)
{
    return transfer == 16 ? curve::pq : transfer == 18 ? curve::hlg : curve::plain;
}

handler::handler(QByteArray name, bool (*recognises)(QIODevice *device))
    : name(std::move(name))
    , recognises(recognises)
{
    setFormat(this->name);
}

// Once the header is read, the file has been read too, and is still that picture.
bool handler::canRead() const
{
    if (whole.isEmpty() && (!device() || !recognises(device())))
        return false;
    setFormat(name);
    return true;
}

bool handler::header()
{
    if (!tried) {
        tried = true;
        readable = readheader() && !whole.isEmpty();
    }
    return readable;
}

QByteArray handler::contents() const
{
    if (!device() || device()->size() > filelimit)
        return QByteArray();
    return device()->readAll();
}

QIODevice *handler::seekable()
{
    QIODevice *file = device();
    if (!file || file->size() > filelimit)
        return nullptr;
    if (!file->isSequential())
        return file;
    if (!held.isOpen()) {
        held.setData(file->read(filelimit + 1));
        held.open(QIODevice::ReadOnly);
    }
    return held.size() > filelimit ? nullptr : &held;
}

bool handler::supportsOption(ImageOption option) const
{
    return option == Size || option == ScaledSize;
}

QVariant handler::option(ImageOption option) const
{
    if (option == Size && const_cast<handler *>(this)->header())
        return whole;
    if (option == ScaledSize)
        return scaled;
    return QVariant();
}

void handler::setOption(ImageOption option, const QVariant &value)
{
    if (option == ScaledSize)
        scaled = value.toSize();
}

bool handler::deliver(QImage made, QImage *image) const
{
    if (made.isNull())
        return false;
    if (scaled.isValid() && made.size() != scaled) {
        const QSize over = made.size() - scaled;
        const QSize kept = made.size().scaled(scaled, Qt::KeepAspectRatio);
        if (over.width() >= 0 && over.width() <= 1 && over.height() >= 0 && over.height() <= 1)
            made = made.copy(QRect(QPoint(0, 0), scaled));
        else if (qAbs(kept.width() - scaled.width()) <= 1
            && qAbs(kept.height() - scaled.height()) <= 1)
            made = made.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        // A picture of other proportions than the header gave is never stretched into them: it is
        // handed over as decoded, and its own proportions win.
    }
    *image = std::move(made);
    return !image->isNull();
}

} // namespace samples
