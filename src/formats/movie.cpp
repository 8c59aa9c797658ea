// Animations as the window's movie plays them. Each frame is read by the reader of the file's
// format, made at the size shown, and kept: once a whole round is kept, later rounds only draw.
// Frames are due at times counted from the animation's start, so lateness never adds up. Past
// the budget of kept frames the file is read again from its first byte at every round. (The
// toolkit's movie would otherwise start over with a new reader that first reads from wherever the
// last one stopped, and a GIF whose reader stopped before its last byte, bytes after its end or a
// broken last frame, would then stop for good.)

#include "kinds.h"

#include <QElapsedTimer>
#include <QIODevice>
#include <QImageIOPlugin>
#include <QImageReader>
#include <QVariant>
#include <algorithm>
#include <memory>
#include <vector>

namespace {

// The kept frames of one animation at one size, at most; a window filling a 1920 x 1080 screen
// keeps 16 frames of 8 MB.
constexpr qsizetype framebudget = qsizetype(128) << 20;
// A frame shown for 10 ms or less is shown for 100 ms, as browsers show it.
constexpr int shortestdelay = 10;
constexpr int briefdelay = 100;
// A frame this late starts the animation's clock again, rather than the frames after it hurrying
// to catch up (a machine that slept, a window that was not drawn).
constexpr qint64 resync = 1000;

struct frame
{
    QImage image;
    int delay = 0;
};

// When each frame is due, in ms from the animation's start.
class pace
{
public:
    // A frame's reading begins.
    void reading()
    {
        if (!clock.isValid())
            clock.start();
        began = clock.elapsed();
        if (began - due > resync)
            due = began;
    }
    // The frame read is shown for `delay` ms.
    void shown(int delay) { due += delay; }
    // The wait for the next frame, from when the reading of the last began.
    int untilnext() const { return int(qMax<qint64>(0, due - began)); }

private:
    QElapsedTimer clock;
    qint64 due = 0;
    qint64 began = 0;
};

class moviehandler : public QImageIOHandler
{
public:
    explicit moviehandler(QIODevice *device)
    {
        setDevice(device);
        start = device->pos();
    }

    bool canRead() const override;
    bool read(QImage *image) override;
    bool jumpToImage(int number) override;
    int imageCount() const override
    {
        return length ? int(length) : frames() ? frames()->imageCount() : 0;
    }
    int loopCount() const override { return frames() ? frames()->loopCount() : loops; }
    int nextImageDelay() const override { return timing.untilnext(); }
    int currentImageNumber() const override { return int(next) - 1; }
    bool supportsOption(ImageOption option) const override
    {
        return option == Animation || option == ScaledSize;
    }
    QVariant option(ImageOption option) const override;
    void setOption(ImageOption option, const QVariant &value) override;

private:
    QImageReader *frames() const;
    bool restart();
    bool seek(size_t number);
    frame decode();
    QImage shown(QImage whole) const;
    void keep(const frame &made);
    bool allkept() const;

    qint64 start = 0;
    bool started = false;
    QByteArray format;
    std::unique_ptr<QImageReader> reader;
    size_t readerat = 0; // the frame the reader reads next

    QSize scaled; // the size frames are shown at; invalid for their own
    std::vector<frame> kept; // by number; a frame not kept is null
    qsizetype keptbytes = 0;
    bool overbudget = false; // frames at this size are not kept
    size_t next = 0; // the frame to show next
    size_t length = 0; // the frames of a round, once one has ended
    int loops = 0; // the reader's loop count, once it is let go
    pace timing;
};

// Until a round has ended, the reader tells whether another frame follows.
bool moviehandler::canRead() const
{
    if (length)
        return next < length;
    return readerat == next && frames() && frames()->canRead();
}

bool moviehandler::read(QImage *image)
{
    timing.reading();
    const frame made = next < kept.size() && !kept[next].image.isNull() ? kept[next] : decode();
    if (made.image.isNull())
        return false;
    ++next;
    timing.shown(made.delay);
    *image = made.image;
    return true;
}

// Only the first frame is ever jumped to, to go round again. Once every frame of a round is kept
// the file is read no more, and its reader is let go.
bool moviehandler::jumpToImage(int number)
{
    if (number != 0)
        return false;
    length = length ? length : next;
    next = 0;
    if (allkept()) {
        loops = loopCount();
        reader.reset();
        return true;
    }
    return (next < kept.size() && !kept[next].image.isNull()) || seek(0);
}

QVariant moviehandler::option(ImageOption option) const
{
    if (option == Animation)
        return true;
    if (option == ScaledSize)
        return scaled;
    return QVariant();
}

// Frames kept at another size are let go.
void moviehandler::setOption(ImageOption option, const QVariant &value)
{
    if (option != ScaledSize || value.toSize() == scaled)
        return;
    scaled = value.toSize();
    kept = std::vector<frame>();
    keptbytes = 0;
    overbudget = false;
}

// The reader of the file's frames, made when they are first asked for: the toolkit makes this
// handler while it holds the lock that asking every reader for the format takes.
QImageReader *moviehandler::frames() const
{
    if (!reader && !started)
        const_cast<moviehandler *>(this)->restart();
    return reader.get();
}

// The file's format by its first bytes, else by asking every reader; never a drawing, which only
// the decoding unit reads, once it has checked it.
bool moviehandler::restart()
{
    started = true;
    reader.reset();
    readerat = 0;
    if (!device() || !device()->seek(start))
        return false;
    if (format.isEmpty()) {
        format = formatof(*device());
        if (format.isEmpty())
            format = QImageReader::imageFormat(device());
        if (format.isEmpty() || format == "svg" || format == "svgz")
            format = "gif";
        if (!device()->seek(start))
            return false;
    }
    reader = std::make_unique<QImageReader>(device(), format);
    reader->setAutoDetectImageFormat(false);
    return true;
}

// Brings the reader to a frame: from the first byte, each frame before it read again, since a
// frame is drawn over those before it.
bool moviehandler::seek(size_t number)
{
    if (readerat == number && reader)
        return true;
    if (!restart())
        return false;
    for (; readerat < number; ++readerat)
        if (frames()->read().isNull())
            return false;
    return true;
}

frame moviehandler::decode()
{
    if (!seek(next))
        return frame();
    const QImage read = frames()->read();
    ++readerat;
    if (read.isNull())
        return frame();
    const int stated = frames()->nextImageDelay();
    const frame made { shown(read), stated <= shortestdelay ? briefdelay : stated };
    keep(made);
    return made;
}

// A frame at the size shown, in the layout the screen's pixmaps take without a copy.
QImage moviehandler::shown(QImage whole) const
{
    if (scaled.isValid() && scaled != whole.size())
        whole = whole.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    if (whole.format() == QImage::Format_ARGB32)
        whole.convertTo(QImage::Format_ARGB32_Premultiplied);
    return whole;
}

void moviehandler::keep(const frame &made)
{
    if (overbudget)
        return;
    keptbytes += made.image.sizeInBytes();
    overbudget = keptbytes > framebudget;
    if (overbudget) {
        kept = std::vector<frame>();
        return;
    }
    if (kept.size() <= next)
        kept.resize(next + 1);
    kept[next] = made;
}

bool moviehandler::allkept() const
{
    return length && kept.size() == length
        && std::none_of(kept.begin(), kept.end(), [](const frame &f) { return f.image.isNull(); });
}

} // namespace

class movieplugin : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "movie.json")

public:
    Capabilities capabilities(QIODevice *, const QByteArray &format) const override
    {
        return format == "movie" ? CanRead : Capabilities();
    }
    QImageIOHandler *create(QIODevice *device, const QByteArray &) const override
    {
        return new moviehandler(device);
    }
};

#include "movie.moc"
