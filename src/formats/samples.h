// What the readers share: decoded samples written into a picture laid out as the screen's pixmaps,
// averaged down by a whole factor, and the colour spaces and transfer curves pictures name.
#pragma once

#include <QBuffer>
#include <QColorSpace>
#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <functional>
#include <memory>
#include <vector>

namespace samples {

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

// How the first three planes make a colour.
enum class model { grey, rgb, ycc };

// How the samples relate to light. HDR curves are eased into the range a screen shows, the
// picture then being linear light; the others are left to the colour space.
enum class curve { plain, pq, hlg };

struct planes
{
    QSize size; // the picture's size; the first plane has it
    model kind = model::rgb;
    plane channel[3]; // grey uses the first
    plane alpha; // none when it has no data
    bool premultiplied = false; // the colour samples are already multiplied by alpha
    curve light = curve::plain;
};

// The picture at 1/shrink of its size on each side, each pixel the average of the block it covers
// (a picture not divisible by the factor loses the last part-block), in 8 bits a channel where the
// samples have no more and the light curve is plain, in 16 otherwise. Null when the pixels would
// be over the decoding limit.
QImage write(const planes &source, int shrink);

// The value, from 0 to 255 or to 65535, of each sample value of so many bits on the light curve.
std::vector<quint16> levels(int bits, curve light, bool wide);

// The whole factor of a reduction from `whole` to `scaled` (the whole size divided and rounded
// down), or 0 when the scaled size is no such reduction.
int factor(QSize whole, QSize scaled);

// Whether a picture of this size, at this many bytes a pixel, is within the decoding limit that
// the toolkit's reader applies to every format.
bool allowed(QSize size, int bytesperpixel = 4);
// The largest file a reader takes: far beyond any picture within the decoding limit.
constexpr qint64 filelimit = qint64(512) << 20;

// Runs work(first, last) over the rows 0..rows in as many parts as there are cores, at once.
void inparallel(int rows, const std::function<void(int, int)> &work);

// The colour space of the ITU-T H.273 code points for colour primaries and transfer, which HEIF,
// AVIF and JPEG XL pictures name; invalid for what has no such space. HDR transfers give linear
// light, as the samples are written.
QColorSpace coded(int primaries, int transfer);
curve lightof(int transfer);

// What a library makes, freed with the function it gives for that.
template<auto release> struct freed
{
    template<typename made> void operator()(made *it) const { release(it); }
};
template<typename made, auto release> using owned = std::unique_ptr<made, freed<release>>;

// What every reader offers: the picture's size, once its header is read, and the size it is asked
// to decode at.
class handler : public QImageIOHandler
{
public:
    // A reader of one format, which knows its files by the first bytes of their contents.
    handler(QByteArray name, bool (*recognises)(QIODevice *device));

    bool canRead() const override;
    bool supportsOption(ImageOption option) const override;
    QVariant option(ImageOption option) const override;
    void setOption(ImageOption option, const QVariant &value) override;

protected:
    // Reads what the size needs, once; false when the file is not a readable picture.
    bool header();
    // What header() reads, in the reader's own way: sets `whole`, or returns false.
    virtual bool readheader() = 0;
    // The file's bytes; none when there is no device or the file is over the limit.
    QByteArray contents() const;
    // Hands over the picture read, at the size asked for: one a pixel larger (the last part-block
    // of a reduction) is cut, one of the same proportions scaled, one of others left as it is.
    bool deliver(QImage made, QImage *image) const;
    // The file as a device that seeks: the reader's own, or the bytes of a sequential one (a pipe)
    // held here; null when there is no device or the file is over the limit.
    QIODevice *seekable();

    QSize whole; // the picture's own size, upright, once the header is read
    QSize scaled; // the size asked for, if any

private:
    QByteArray name;
    bool (*recognises)(QIODevice *device);
    QBuffer held;
    bool tried = false;
    bool readable = false;
};

// What a reader's plugin answers: it reads its own formats, and any file its reader knows.
template<typename reader>
QImageIOPlugin::Capabilities capabilities(
    QIODevice *device, const QByteArray &format, const QByteArrayList &keys)
{
    if (keys.contains(format))
        return QImageIOPlugin::CanRead;
    if (format.isEmpty() && device && reader::recognises(device))
        return QImageIOPlugin::CanRead;
    return QImageIOPlugin::Capabilities();
}

template<typename reader> QImageIOHandler *created(QIODevice *device, const QByteArray &format)
{
    auto *made = new reader;
    made->setDevice(device);
    if (!format.isEmpty())
        made->setFormat(format);
    return made;
}

} // namespace samples
