#include "canvas.h"

#include <QMovie>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QtMath>
#include <cstring>
#include <vector>

namespace {

// The toolkit's fast scaling of a whole picture steps through it in 16.16 fixed point while it
// enlarges less than 512 times to at most 32767 pixels. Its rounding drifts along the way; where
// the drift stays within a screen pixel it is copied, so that every pixel drawn is the one the
// toolkit's own scaling shows; beyond, the pixel under each pixel's centre is taken exactly, as
// far zooms need (the fixed point would stretch the picture by many pixels there).
constexpr qint64 fixedone = 0x10000;
constexpr qint64 steppedlength = 0x7fff;
constexpr qreal steppedzoom = 512;

} // namespace

sampling::sampling(int from, int to)
    : from(from)
    , to(to)
{
    if (from <= 0 || to <= 0 || to > steppedlength || qreal(to) / from >= steppedzoom)
        return;
    // The same arithmetic as the toolkit's, so that the same numbers come out.
    const qreal scale = qreal(to) / from;
    const qreal unit = from / (from * scale);
    step = qint64(int(fixedone * unit));
    start = qCeil(qreal(0.5) * unit * fixedone) - 1;
    const qreal drift = (fixedone * unit - step) * to / fixedone * scale;
    stepped = drift < 1;
}

int sampling::operator()(qint64 at) const
{
    const qint64 pixel = stepped ? (start + at * step) >> 16 : ((2 * at + 1) * from - 1) / (2 * to);
    return int(qBound<qint64>(0, pixel, from - 1));
}

void canvas::setstill(const QPixmap &picture, QSize shown)
{
    QImage pixels = picture.toImage();
    // Pictures are held in the screen's pixmap format; one with other than 32 bits a pixel (a
    // 16-bit screen's) is drawn from a 32-bit copy.
    if (!pixels.isNull() && pixels.depth() != 32)
        pixels = pixels.convertToFormat(
            pixels.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    const bool moved = shown != size;
    still = pixels;
    size = still.isNull() ? QSize() : shown;
    if (moved)
        updateGeometry();
    update();
}

void canvas::play(QMovie *movie)
{
    setMovie(movie);
    // The label would repaint only where it takes a frame to lie, at the frame's own size.
    connect(movie, &QMovie::frameChanged, this, qOverload<>(&QWidget::update));
}

QSize canvas::stillsize() const
{
    return movie() ? QSize() : size;
}

QRectF canvas::stillrect() const
{
    const QSize shown = stillsize();
    if (shown.isEmpty())
        return QRectF();
    const QRectF room = contentsRect();
    return QRectF(room.center() - QPointF(shown.width(), shown.height()) / 2, QSizeF(shown));
}

QSize canvas::sizeHint() const
{
    return movie() ? QLabel::sizeHint() : size;
}

QSize canvas::minimumSizeHint() const
{
    return movie() ? QLabel::minimumSizeHint() : size;
}

void canvas::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    if (movie())
        paintframe(painter);
    else if (!size.isEmpty())
        paintstill(painter, event->region());
}

// Where the still is drawn, in the screen's pixels of the label: centred on whole window pixels,
// as the label centres a picture.
QRect canvas::drawnrect(qreal ratio) const
{
    const QRect place
        = QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, size, contentsRect());
    return QRect(QPoint(qRound(place.x() * ratio), qRound(place.y() * ratio)), size * ratio);
}

void canvas::paintstill(QPainter &painter, const QRegion &region)
{
    const qreal ratio = devicePixelRatioF();
    const QRect picture = drawnrect(ratio);
    const sampling across(still.width(), picture.width());
    const sampling down(still.height(), picture.height());
    for (const QRect &exposed : region) {
        const QRect part
            = QRectF(QPointF(exposed.topLeft()) * ratio, QSizeF(exposed.size()) * ratio)
                  .toAlignedRect()
            & picture;
        if (part.isEmpty())
            continue;
        std::vector<int> columns(part.width());
        for (int x = 0; x < part.width(); ++x)
            columns[x] = across(part.x() - picture.x() + x);
        QImage drawn(part.size(), still.format());
        int previous = -1;
        for (int y = 0; y < part.height(); ++y) {
            const int row = down(part.y() - picture.y() + y);
            auto *out = reinterpret_cast<QRgb *>(drawn.scanLine(y));
            if (row == previous) {
                std::memcpy(out, drawn.constScanLine(y - 1), part.width() * sizeof(QRgb));
                continue;
            }
            const auto *in = reinterpret_cast<const QRgb *>(still.constScanLine(row));
            for (int x = 0; x < part.width(); ++x)
                out[x] = in[columns[x]];
            previous = row;
        }
        drawn.setDevicePixelRatio(ratio);
        painter.drawImage(QPointF(part.topLeft()) / ratio, drawn);
    }
}

// A fitted movie's frames are made in the screen's pixels at the size the movie is given. A frame
// decoded before that size was given is stretched to it until the next frame comes; an unfitted
// movie (dropped, before the next resize) is drawn at its frames' own size.
void canvas::paintframe(QPainter &painter)
{
    const QPixmap frame = movie()->currentPixmap();
    if (frame.isNull())
        return;
    const QSize scaled = movie()->scaledSize();
    const QSizeF shown
        = scaled.isValid() ? QSizeF(scaled) / devicePixelRatioF() : QSizeF(frame.size());
    const QRect place
        = QStyle::alignedRect(layoutDirection(), Qt::AlignCenter, shown.toSize(), contentsRect());
    painter.drawPixmap(QRectF(place.topLeft(), shown), frame, frame.rect());
}
