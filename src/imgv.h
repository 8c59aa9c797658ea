#pragma once

#include "ahead.h"
#include "decode.h"
#include "files.h"

#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <optional>

class canvas;
class QDragEnterEvent;
class QDropEvent;
class QKeyEvent;
class QMouseEvent;
class QMovie;
class QResizeEvent;
class QScrollArea;

// The viewer window: one picture fitted on black, with the commands that step, zoom and turn it.
class imgv : public QWidget
{
    Q_OBJECT

public:
    explicit imgv(QWidget *parent = nullptr);
    ~imgv() override;

    void openimage(QString path);
    void buildui();

public slots:
    void tranl();
    void tranr();
    void forward();
    void backward();
    void zoomin();
    void zommout();
    void showhome();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    QStringList listfolder();
    void open(const QString &file);
    bool load(const QString &file);
    void takepixels();
    QSize turned(QSize size) const;
    QSize own() const;
    void sharpen(QSize shown, bool whole = false);
    void prepare();
    void refresh();
    QSize fitsize() const;
    void showscaled(QSize box);
    void showstill(QSize size);
    void settle();
    void playmovie();
    void fitmovie();
    void turn(qreal degrees);
    bool areacommand(QEvent *event);
    void keycommand(int key);
    void wheelcommand(QPoint angle, QPointF at);
    void zoomabout(int step, std::optional<QPointF> pointer = std::nullopt);
    bool mayzoomin() const;
    bool mayzoomout() const;
    QPointF middle() const;
    QPointF spotat(QPointF at) const;
    void keepspot(QPointF spot, QPointF at);
    QPoint scrolled() const;
    void scrollto(QPoint offset);
    bool movable() const;
    bool drag(QEvent *event);
    void handcursor();
    void togglefullscreen();
    QWidget *button(const char *icon, int width, void (imgv::*slot)());

    int located;
    QString path;
    QScrollArea *area;
    QPixmap pix;
    bool gif;
    int index;
    QImage img;
    QMovie *movie;

    QString folder; // the opened file's folder, resolved once when it was opened
    QString opened; // the opened file by a path that survives changes of the working directory
    canvas *surface = nullptr; // the label, as what draws the still
    extent held; // how img stands to the picture in its file
    int quarters = 0; // quarter turns clockwise that pix is turned by
    QString loaded; // the file img was decoded from
    listing listed; // the folder's pictures, listed again only when the folder changes
    ahead pictures; // the opened picture and its neighbours, decoded ahead of the steps
    bool onscreen = false; // the first picture has been painted
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
