// The picture label: a still drawn at any size straight from the pixels held, only where it is
// exposed, or a movie's frames stretched to the size the movie is given.
#pragma once

#include <QImage>
#include <QLabel>

class QMovie;

class canvas : public QLabel
{
public:
    // Shows the picture at a size in window pixels, drawn in the screen's own pixels. No enlarged
    // copy is ever made: each paint takes from the picture the pixels it covers.
    void setstill(const QPixmap &picture, QSize size);
    // Plays the movie in place of the still; every new frame is painted whole.
    void play(QMovie *movie);

    // The size the still is shown at, and where it lies, centred exactly (the drawing itself sits
    // on whole pixels); nothing while a movie plays.
    QSize stillsize() const;
    QRectF stillrect() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QRect drawnrect(qreal ratio) const;
    void paintstill(QPainter &painter, const QRegion &region);
    void paintframe(QPainter &painter);

    QImage still;
    QSize size;
};

// Which pixel of a row or column of `from` pixels fast scaling to `to` pixels shows at each place.
class sampling
{
public:
    sampling(int from, int to);
    int operator()(qint64 at) const;

private:
    qint64 from;
    qint64 to;
    bool stepped = false;
    qint64 start = 0;
    qint64 step = 0;
};
