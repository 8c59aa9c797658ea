#include "view.h"

#include "canvas.h"

#include <QCoreApplication>
#include <QMouseEvent>
#include <QScrollArea>
#include <QScrollBar>

void view::attach(QScrollArea *scroller, canvas *shown)
{
    area = scroller;
    picture = shown;
    for (QScrollBar *bar : { area->horizontalScrollBar(), area->verticalScrollBar() })
        QObject::connect(bar, &QScrollBar::rangeChanged, picture, [this] { handcursor(); });
}

void view::still(const QPixmap &pixels, QSize size)
{
    picture->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    picture->setstill(pixels, size);
    settle();
}

void view::play(QMovie *movie)
{
    picture->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    picture->play(movie);
}

// The label would take a fitted movie's frames, made in the screen's pixels, for that many window
// pixels.
void view::stretch()
{
    picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    picture->update();
}

QPointF view::middle() const
{
    return QRectF(area->viewport()->rect()).center();
}

// The centre when no still picture is shown. While the view stays where the last zoom put it, the
// spot that zoom kept is taken as it was, not as read back from whole pixels, so that a run of
// steps keeps it to the pixel however long it is.
QPointF view::spotat(QPointF at) const
{
    if (kept.at == at && kept.scroll == scrolled() && kept.size == picture->stillsize())
        return kept.spot;
    const QRectF shown = picture->stillrect();
    if (shown.isEmpty())
        return QPointF(0.5, 0.5);
    const QPointF inlabel = at - QPointF(picture->pos()) - shown.topLeft();
    return QPointF(inlabel.x() / shown.width(), inlabel.y() / shown.height());
}

// The scroll bars' ranges keep the picture's edges at the view's edges.
void view::keepspot(QPointF spot, QPointF at)
{
    const QRectF shown = picture->stillrect();
    const QPointF target
        = shown.topLeft() + QPointF(spot.x() * shown.width(), spot.y() * shown.height());
    scrollto((target - at).toPoint());
    kept = { spot, at, scrolled(), picture->stillsize() };
}

// Like a sheet of paper. Positions are taken on the screen, which the moving picture does not
// shift.
bool view::drag(QEvent *event)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseMove
        && type != QEvent::MouseButtonRelease)
        return false;
    const auto *mouse = static_cast<QMouseEvent *>(event);
    const QPoint pointer = mouse->globalPosition().toPoint();
    if (type == QEvent::MouseButtonPress) {
        if (mouse->button() != Qt::LeftButton || !movable())
            return false;
        grabbed = pointer;
        grabbedscroll = scrolled();
        dragging = true;
    } else if (!dragging) {
        return false;
    } else if (type == QEvent::MouseMove) {
        scrollto(grabbedscroll - (pointer - grabbed));
        return true;
    } else if (mouse->button() == Qt::LeftButton) {
        dragging = false;
    }
    handcursor();
    return true;
}

void view::handcursor()
{
    if (dragging)
        picture->setCursor(Qt::ClosedHandCursor);
    else if (movable())
        picture->setCursor(Qt::OpenHandCursor);
    else
        picture->unsetCursor();
}

// The scroll area sizes the label and shows or hides its scroll bars for it now, not when the
// event loop next comes round: the place in the view is set from them straight after, and the next
// key press may come first.
void view::settle()
{
    picture->adjustSize();
    QCoreApplication::sendPostedEvents(area, QEvent::MetaCall);
}

QPoint view::scrolled() const
{
    return QPoint(area->horizontalScrollBar()->value(), area->verticalScrollBar()->value());
}

void view::scrollto(QPoint offset)
{
    area->horizontalScrollBar()->setValue(offset.x());
    area->verticalScrollBar()->setValue(offset.y());
}

bool view::movable() const
{
    return area->horizontalScrollBar()->maximum() > 0 || area->verticalScrollBar()->maximum() > 0;
}
