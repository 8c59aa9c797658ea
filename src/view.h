// Where the view looks and what it shows: the still picture or the movie in the scroll area, the
// spot of the picture kept under the view's middle or the pointer as the picture changes size, and
// the picture dragged with the left button.
#pragma once

#include <QPoint>
#include <QPointF>
#include <QSize>

class QEvent;
class QMovie;
class QPixmap;
class QScrollArea;
class canvas;

class view
{
public:
    // The scroll area and the picture label it shows, which the view then arranges.
    void attach(QScrollArea *area, canvas *picture);

    // Shows a still picture at a size in window pixels, and lays the view out for it at once, so
    // that the scroll bars are right for what follows; nothing for an empty picture.
    void still(const QPixmap &picture, QSize size);
    // Plays a movie at its frames' own size, in place of the still.
    void play(QMovie *movie);
    // Lets a fitted movie's frames take the view's size, which the fit size is within.
    void stretch();

    // The centre of the view, in its own coordinates.
    QPointF middle() const;
    // Where a point of the view falls on the still picture, in fractions of its width and height.
    QPointF spotat(QPointF at) const;
    // Scrolls the view so that the spot of the picture lies at a point of the view, as far as the
    // picture's edges allow.
    void keepspot(QPointF spot, QPointF at);

    // Moves a picture larger than the view with the pointer while the left button holds it; true
    // for the mouse events it takes.
    bool drag(QEvent *event);
    // An open hand over a picture that can be moved, a closed one while it moves.
    void handcursor();

private:
    void settle();
    QPoint scrolled() const;
    void scrollto(QPoint offset);
    bool movable() const;

    QScrollArea *area = nullptr;
    canvas *picture = nullptr;
    bool dragging = false; // the left button holds the picture, grabbed at these points
    QPoint grabbed;
    QPoint grabbedscroll;
    struct
    {
        QPointF spot;
        QPointF at;
        QPoint scroll;
        QSize size;
    } kept; // the spot the last zoom kept at a point of the view, and the view it left
};
