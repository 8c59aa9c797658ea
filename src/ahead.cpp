#include "ahead.h"

#include <QtConcurrentRun>
#include <algorithm>
#include <limits>

namespace {

// Neighbours are decoded ahead up to 64 megapixels (256 MiB) decoded; larger ones when stepped to.
constexpr qint64 aheadpixels = 64 << 20;

// A picture decoded ahead is read here once, a byte a page, so that bringing in its pages (mapped
// from the decoder's memory file) falls on this thread, not on the window's as it first draws.
decoded touched(decoded picture)
{
    const uchar *bytes = picture.image.constBits();
    uchar sum = 0;
    for (qsizetype at = 0; at < picture.image.sizeInBytes(); at += 4096)
        sum ^= *static_cast<const volatile uchar *>(bytes + at);
    Q_UNUSED(sum);
    return picture;
}

} // namespace

ahead::ahead()
{
    // One picture decodes ahead at a time, leaving the other core to the window and the display.
    decoders.setMaxThreadCount(1);
}

ahead::~ahead()
{
    for (const picture &unwanted : std::as_const(neighbours))
        *unwanted.wanted = false;
    decoders.clear();
}

void ahead::begin(const QString &file, QSize box)
{
    neighbours << start(
        file, box, QThreadPool::globalInstance(), std::numeric_limits<qint64>::max());
}

decoded ahead::load(const QString &file, QSize box)
{
    const stamp now = stampof(file);
    decoded picture = take(file, now, box);
    // A finer decode of the picture loaded last replaces it, which is let go first.
    const bool again = current.file == file;
    if (again)
        current = {};
    if (picture.image.isNull())
        picture = decode(file, box);
    if (picture.image.isNull())
        return picture;
    if (!current.file.isEmpty())
        neighbours << current;
    current = { file, now, QtFuture::makeReadyFuture(picture),
        std::make_shared<std::atomic_bool>(true) };
    return picture;
}

void ahead::keep(const QStringList &files, QSize box)
{
    QList<picture> kept;
    for (const QString &file : files) {
        const auto have = std::find_if(neighbours.cbegin(), neighbours.cend(),
            [&](const picture &candidate) { return candidate.file == file; });
        kept << (have != neighbours.cend() ? *have : start(file, box, &decoders, aheadpixels));
    }
    for (const picture &old : std::as_const(neighbours))
        if (std::none_of(kept.cbegin(), kept.cend(),
                [&](const picture &k) { return k.wanted == old.wanted; }))
            *old.wanted = false;
    neighbours = kept;
}

// Only a file whose stamp has settled can later be proven unchanged, so only such a file is worth
// decoding ahead.
ahead::picture ahead::start(const QString &file, QSize box, QThreadPool *pool, qint64 budget)
{
    picture next { file, stampof(file), {}, std::make_shared<std::atomic_bool>(true) };
    if (next.read.settled)
        next.image = QtConcurrent::run(pool, [file, box, budget, wanted = next.wanted] {
            return *wanted ? touched(decode(file, box, budget)) : decoded();
        });
    return next;
}

decoded ahead::take(const QString &file, const stamp &now, QSize box) const
{
    for (const picture &candidate : neighbours) {
        if (candidate.file != file || !candidate.read.proves(now) || !candidate.image.isValid())
            continue;
        const decoded &ready = candidate.image.result();
        const QSize wanted = box.isEmpty() ? ready.of.whole : fitted(ready.of.whole, box);
        if (ready.of.covers(ready.image.size(), wanted))
            return ready;
    }
    return {};
}
