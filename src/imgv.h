#pragma once

#include "ahead.h"
#include "controls.h"
#include "decode.h"
#include "files.h"
#include "view.h"

#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <optional>

class QDragEnterEvent;
class QLabel;
class QDropEvent;
class QKeyEvent;
class QMouseEvent;
class QMovie;
class QResizeEvent;
class QScrollArea;

// View state shared by every command of the one window.
extern QLabel *label; // the picture label: made by buildui, every command shows into it
extern int zoomw; // display box: set to the fit size by resizes and steps, moved by the zoom steps
extern int zoomh;
extern QStringList
    files; // the last folder listing: the first, once the picture is shown, and each step
extern QString curpath; // the picture opened at start-up or by the last drop, as received

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
    void listlater();
    QStringList listfolder();
    void open(const QString &file);
    bool load(const QString &file);
    void takepixels();
    void sharpen(QSize shown, bool whole = false);
    void prepare();
    void step(int to);
    void refresh();
    void setzoom(QSize box);
    QSize fitsize() const;
    void showscaled(QSize box);
    void showstill(QSize size);
    void playmovie();
    void fitmovie();
    void turn(qreal degrees);
    bool areacommand(QEvent *event);
    void keycommand(int key);
    void wheelcommand(QPoint angle, QPointF at);
    void zoomabout(int step, std::optional<QPointF> pointer = std::nullopt);
    void togglefullscreen();

    int located = 0;
    QString path;
    QScrollArea *area = nullptr;
    QPixmap pix;
    bool gif = false;
    int index = 0;
    QImage img;
    QMovie *movie = nullptr;

    QString opened; // the opened picture, by a name that survives changes of the working directory
    view place; // where the view looks, and what it shows
    resolution detail; // how img stands to the picture in its file, and how pix is turned
    listing listed; // the folder's pictures, listed again only when the folder changes
    ahead pictures; // the opened picture and its neighbours, decoded ahead of the steps
    bool onscreen = false; // the first picture has been painted
    controls bar; // the buttons under the picture
};
