#include "ahead.h"

#include "decode.h"

#include <QtConcurrentRun>
#include <algorithm>
#include <limits>

namespace {

// Neighbours are decoded ahead up to 64 megapixels (256 MiB); larger ones when stepped to.
constexpr qint64 aheadpixels = 64 << 20;

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

void ahead::begin(const QString &file)
{
    neighbours << start(file, QThreadPool::globalInstance(), std::numeric_limits<qint64>::max());
}

QImage ahead::load(const QString &file)
{
    const stamp now = stampof(file);
    QImage decoded = take(file, now);
    if (decoded.isNull())
        decoded = decode(file);
    if (decoded.isNull())
        return decoded;
    if (!current.file.isEmpty())
        neighbours << current;
    current = { file, now, QtFuture::makeReadyFuture(decoded),
        std::make_shared<std::atomic_bool>(true) };
    return decoded;
}

void ahead::keep(const QStringList &files)
{
    QList<picture> kept;
    for (const QString &file : files) {
        const auto have = std::find_if(neighbours.cbegin(), neighbours.cend(),
            [&](const picture &candidate) { return candidate.file == file; });
        kept << (have != neighbours.cend() ? *have : start(file, &decoders, aheadpixels));
    }
    for (const picture &old : std::as_const(neighbours))
        if (std::none_of(kept.cbegin(), kept.cend(),
                [&](const picture &k) { return k.wanted == old.wanted; }))
            *old.wanted = false;
    neighbours = kept;
}

// Only a file whose stamp has settled can later be proven unchanged, so only such a file is worth
// decoding ahead.
ahead::picture ahead::start(const QString &file, QThreadPool *pool, qint64 maxpixels)
{
    picture next { file, stampof(file), {}, std::make_shared<std::atomic_bool>(true) };
    if (next.read.settled)
        next.image = QtConcurrent::run(pool, [file, maxpixels, wanted = next.wanted] {
            return *wanted ? decode(file, maxpixels) : QImage();
        });
    return next;
}

QImage ahead::take(const QString &file, const stamp &now) const
{
    for (const picture &candidate : neighbours)
        if (candidate.file == file && candidate.read.proves(now) && candidate.image.isValid())
            return candidate.image.result();
    return QImage();
}
