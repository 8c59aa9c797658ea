// Animations as the window's movie plays them. Each frame is read in a decoder by the reader of the
// file's format, made at the size shown, and kept: once a whole round is kept, later rounds only
// draw.
// Frames are due at times counted from the animation's start, so lateness never adds up. Past
// the budget of kept frames the file is read again from its first byte at every round. (The
// toolkit's movie would otherwise start over with a new reader that first reads from wherever the
// last one stopped, and a GIF whose reader stopped before its last byte, bytes after its end or a
// broken last frame, would then stop for good.)

#include "movie.h"

#include "formats/movies.h"
#include "remote.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QIODevice>
#include <QImageIOPlugin>
#include <QVariant>
#include <algorithm>
#include <memory>
#include <unistd.h>
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

// The frames of the animation on a device, read in turn in a decoder of their own. A decoder
// that dies is replaced once for each frame, and brought to the frame from the first byte.
class source
{
public:
    explicit source(QIODevice *device);
    ~source();
    source(const source &) = delete;
    source &operator=(const source &) = delete;

    bool canRead() const { return told.more; }
    int imageCount() const { return told.count; }
    int loopCount() const { return told.loops; }
    // Goes back to the first frame.
    bool rewind() { return ask(-1, QSize(), nullptr) && told.more; }
    // Frame `number` at the size given (invalid: its own), and how long it is shown; null if
    // there is none.
    QImage read(int number, QSize scaled, int *delay);

private:
    bool ask(int number, QSize scaled, QImage *image);

    int file = -1;
    remote::decoder held;
    bool sent = false; // the decoder held has the file
    channel::reply told;
};

source::source(QIODevice *device)
    : file(device ? remote::descriptorof(*device) : -1)
{
    rewind();
}

source::~source()
{
    if (sent)
        remote::decoder::give(std::move(held));
    if (file >= 0)
        ::close(file);
}

QImage source::read(int number, QSize scaled, int *delay)
{
    QImage image;
    if (!ask(number, scaled, &image))
        return QImage();
    *delay = told.delay;
    return image;
}

bool source::ask(int number, QSize scaled, QImage *image)
{
    channel::request asked;
    asked.kind = channel::frame;
    asked.number = number;
    asked.width = scaled.width();
    asked.height = scaled.height();
    for (int attempt = 0; file >= 0 && attempt < 2; ++attempt) {
        if (!held.valid()) {
            held = remote::decoder::take(attempt > 0);
            sent = false;
        }
        channel::reply said;
        QImage pixels;
        bool gone = false;
        if (held.ask(asked, sent ? -1 : file, said, pixels, &gone)) {
            sent = true;
            told = said;
            if (image)
                *image = std::move(pixels);
            return said.ok && (!image || !image->isNull());
        }
        sent = false;
        told = channel::reply();
        if (!gone)
            return false;
    }
    return false;
}

class moviehandler : public QImageIOHandler
{
public:
    explicit moviehandler(QIODevice *device) { setDevice(device); }

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
    source *frames() const;
    frame decode();
    void keep(const frame &made);
    bool allkept() const;

    bool started = false;
    std::unique_ptr<source> reader;

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
    return frames() && frames()->canRead();
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
    return (next < kept.size() && !kept[next].image.isNull()) || (frames() && frames()->rewind());
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

// The file's frames, first asked for when they are first wanted: the toolkit makes this handler
// while it holds the lock that asking every reader for the format takes.
source *moviehandler::frames() const
{
    if (!reader && !started) {
        auto *self = const_cast<moviehandler *>(this);
        self->started = true;
        self->reader = std::make_unique<source>(device());
    }
    return reader.get();
}

// Frames let go once a round was kept (at another size) are read again by a reader made anew.
frame moviehandler::decode()
{
    if (!frames())
        reader = std::make_unique<source>(device());
    int stated = 0;
    const QImage read = reader->read(int(next), scaled, &stated);
    if (read.isNull())
        return frame();
    const frame made { read, stated <= shortestdelay ? briefdelay : stated };
    keep(made);
    return made;
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

QImageIOHandler *makehandler(QIODevice *device)
{
    return new moviehandler(device);
}

} // namespace

void offermovies()
{
    qApp->setProperty(
        movies::property, QVariant::fromValue(reinterpret_cast<quintptr>(&makehandler)));
}
