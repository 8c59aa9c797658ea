#include "imgv.h"

#include "canvas.h"
#include "decode.h"
#include "movie.h"
#include "names.h"
#include "steps.h"

#include <QDropEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QMovie>
#include <QScrollArea>
#include <QTransform>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <optional>

QLabel *label = nullptr;
int zoomw = 0;
int zoomh = 0;
QStringList files;
QString curpath;

namespace {

using steps::zoomstep;
constexpr qreal quarterturn = 90;
// The window's size when it opens, for which the start-up picture is decoded.
constexpr int startw = 600;
constexpr int starth = 500;

// The control bar's buttons, in the order of their commands' slots.
QList<controls::button> commands(imgv *window)
{
    return {
        { ":/images/b.png", 30, QT_TR_NOOP("Previous picture"),
            QT_TR_NOOP("Shows the picture before this one in the folder (Left)"),
            [window] { window->backward(); } },
        { ":/images/in.png", 30, QT_TR_NOOP("Zoom in"),
            QT_TR_NOOP("Shows the picture 50 pixels larger each way (Up)"),
            [window] { window->zoomin(); } },
        { ":/images/out.png", 30, QT_TR_NOOP("Zoom out"),
            QT_TR_NOOP("Shows the picture 50 pixels smaller each way (Down)"),
            [window] { window->zommout(); } },
        { ":/images/f.png", 30, QT_TR_NOOP("Next picture"),
            QT_TR_NOOP("Shows the picture after this one in the folder (Right)"),
            [window] { window->forward(); } },
        { ":/images/fo.png", 30, QT_TR_NOOP("Turn clockwise"),
            QT_TR_NOOP("Turns the picture a quarter turn clockwise"),
            [window] { window->tranr(); } },
        { ":/images/re.png", 30, QT_TR_NOOP("Turn anticlockwise"),
            QT_TR_NOOP("Turns the picture a quarter turn anticlockwise"),
            [window] { window->tranl(); } },
        { ":/images/a.png", 35, QT_TR_NOOP("About"), QT_TR_NOOP("Shows the about box"),
            [window] { window->showhome(); } },
    };
}

bool isanimation(const QString &file)
{
    return file.split(QLatin1Char('.')).constLast() == QLatin1String("gif");
}

} // namespace

imgv::imgv(QWidget *parent)
    : QWidget(parent)
    , bar(commands(this))
{
    setupdecoding();
    offermovies();
    setAcceptDrops(true);
}

imgv::~imgv()
{
    delete movie;
}

// The picture decodes while buildui builds the window; buildui takes it, or reports the failure,
// before the window is shown.
void imgv::openimage(QString path)
{
    if (isanimation(path))
        gif = true;
    open(path);
    pictures.begin(opened, steps::fitof(QSize(startw, starth)) * devicePixelRatioF());
    // The buttons' pictures decode after it, on another core, while the window is being made.
    bar.prepare();
}

void imgv::buildui()
{
    setWindowIcon(QIcon(QStringLiteral(":/images/icon.ico")));
    setWindowTitle(QStringLiteral("PORVANE - Q.ZARVEL"));
    label = new canvas;
    label->installEventFilter(this);
    located = 0;
    index = 0;
    // The folder is entered now, and listed once the picture is on screen.
    enter(QFileInfo(opened).path());
    label->setAlignment(Qt::AlignCenter);

    area = new QScrollArea;
    area->setWidgetResizable(true);
    area->setWidget(label);
    area->installEventFilter(this);
    area->viewport()->installEventFilter(this);
    place.attach(area, static_cast<canvas *>(label));
    auto *column = new QVBoxLayout;
    column->addWidget(area);

    column->addLayout(bar.row({ 5, 0, 1, 2, 3, 4 }));

    resize(startw, starth);
    setLayout(column);
    column->setContentsMargins(0, 0, 0, 0);

    QPalette black;
    black.setBrush(QPalette::Window, QBrush(Qt::black));
    area->setPalette(black);
    setPalette(black);

    // What does not need the picture is made ready while it decodes: the native window, the
    // style and the layout's geometry.
    create();
    ensurePolished();
    column->activate();
    load(opened);
    if (img.isNull())
        QMessageBox::warning(this, QStringLiteral("Error"), QStringLiteral("Cannot Load Image"),
            QMessageBox::Ok, QMessageBox::NoButton);
    takepixels();
    if (gif)
        playmovie();
}

void imgv::tranl()
{
    turn(-quarterturn);
}

void imgv::tranr()
{
    turn(quarterturn);
}

void imgv::forward()
{
    files = listfolder();
    step(steps::forwardof(index, files.size()).value_or(index));
}

void imgv::backward()
{
    files = listfolder();
    step(steps::backwardof(index, files.size()).value_or(-1));
}

void imgv::zoomin()
{
    zoomabout(zoomstep);
}

void imgv::zommout()
{
    zoomabout(-zoomstep);
}

void imgv::showhome()
{
    QMessageBox::about(this, QStringLiteral("PORVANE"),
        QStringLiteral("<h1>PORVANE</h1>"
                       "<br><br>Written by <b>Q. Zarvel</b>"
                       "<br><br>Free software under the MIT License"
                       "<br><br>Web page: <b>https://porvane.example.org/</b>"
                       "<br><br>Contact: <b>porvane@example.org</b>"));
}

bool imgv::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == area)
        return areacommand(event);
    if (event->type() == QEvent::Paint && !onscreen) {
        onscreen = true;
        QMetaObject::invokeMethod(this, &imgv::listlater, Qt::QueuedConnection);
    }
    // Once the picture outgrows the view the viewport would scroll with the wheel instead of
    // passing it on: there the wheel is taken for zooming too.
    if (watched != label && event->type() == QEvent::Wheel) {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        wheelcommand(wheel->angleDelta(), wheel->position());
        return true;
    }
    return place.drag(event);
}

void imgv::mouseDoubleClickEvent(QMouseEvent *) { }

void imgv::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape)
        close();
}

void imgv::resizeEvent(QResizeEvent *)
{
    setzoom(fitsize());
    if (gif && movie)
        fitmovie();
    else
        showscaled(fitsize());
}

void imgv::dragEnterEvent(QDragEnterEvent *event)
{
    event->acceptProposedAction();
}

void imgv::dropEvent(QDropEvent *event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    // Only a local file can be opened: any other drop leaves the viewer as it was.
    const QString dropped = urls.isEmpty() ? QString() : localfile(urls.first());
    if (dropped.isEmpty())
        return;
    load(dropped);
    takepixels();
    open(dropped);
    if (isanimation(dropped))
        playmovie();
    else
        showscaled(fitsize());
    located = 0;
    prepare();
}

// The start-up picture's folder is listed, and its neighbours decoded, once the picture is on
// screen, on threads of their own; a step taken before waits for the listing. A drop meanwhile
// opens a picture the listing is not for.
void imgv::listlater()
{
    listed.begin(workingfolder(), [this, at = opened] {
        if (opened != at)
            return;
        if (!located)
            files = listfolder();
        prepare();
    });
}

QStringList imgv::listfolder()
{
    enter(QFileInfo(opened).path());
    const QStringList &here = listed.here();
    if (!located && !here.isEmpty()) {
        const int at = here.indexOf(QFileInfo(path).fileName());
        if (at >= 0)
            index = at;
        located = 1;
    }
    return here;
}

// Records the opened picture, by a name resolved now, against the working directory in force when
// it was opened: a relative path means nothing once the listing has moved to its folder.
void imgv::open(const QString &file)
{
    opened = absolute(file);
    curpath = file;
    path = file;
}

// Decodes into a separate image so that a failed load keeps the picture already shown.
bool imgv::load(const QString &file)
{
    const QString whole = absolute(file);
    decoded picture = pictures.load(whole, fitsize() * devicePixelRatioF());
    if (picture.image.isNull())
        return false;
    img = std::move(picture.image);
    detail.decoded(whole, picture.of);
    return true;
}

// The picture as the window holds it, upright and not yet turned.
void imgv::takepixels()
{
    pix = QPixmap::fromImage(img);
    detail.upright();
}

// A decode too coarse for the size shown is replaced by a finer one (or the whole picture, as far
// as the decoding limit allows), turned as the picture is, before anything is enlarged from it.
// The coarser one is let go first, so that no more than one decode of the picture is ever held;
// should the file no longer decode, it is decoded again as coarse as it was.
void imgv::sharpen(QSize shown, bool whole)
{
    if (detail.covers(pix.size(), shown))
        return;
    const QSize coarse = detail.turned(pix.size());
    img = QImage();
    pix = QPixmap();
    place.still(QPixmap(), QSize());
    decoded finer = pictures.load(detail.file(), whole ? QSize() : detail.turned(shown));
    if (finer.image.isNull())
        finer = pictures.load(detail.file(), coarse);
    img = std::move(finer.image);
    detail.again(finer.of);
    pix = QPixmap::fromImage(img).transformed(
        QTransform().rotate(detail.quarters() * quarterturn), Qt::FastTransformation);
}

// Keeps the previous and the next entry decoded, or decoding, for the next step; lets go of the
// rest. Until a listing has found the opened file there is no position to prepare around.
void imgv::prepare()
{
    QStringList sides;
    for (const int side : { index - 1, index + 1 })
        if (located && side >= 0 && side < files.size())
            sides << absolute(files.at(side));
    pictures.keep(sides, fitsize() * devicePixelRatioF());
}

void imgv::refresh()
{
    takepixels();
    showscaled(fitsize());
    setzoom(fitsize());
}

void imgv::setzoom(QSize box)
{
    zoomw = box.width();
    zoomh = box.height();
}

QSize imgv::fitsize() const
{
    return steps::fitof(size());
}

// Shows the listing's entry at a position, where it moved (a position of -1 stays at the first),
// fitted, and prepares its neighbours.
void imgv::step(int to)
{
    if (to != index && to >= 0)
        load(files.at(to));
    index = qMax(to, 0);
    refresh();
    prepare();
}

void imgv::showscaled(QSize box)
{
    const QSize size = fitted(detail.own(), box);
    sharpen(size * devicePixelRatioF());
    showstill(size);
}

// A still picture replaces any animation: the movie is released so that resizes refit the still.
void imgv::showstill(QSize size)
{
    place.still(pix, size);
    delete movie;
    movie = nullptr;
    gif = false;
}

// The movie reads the opened file through a handle of its own, opened as every picture is, and
// read as the picture's contents say, never as a drawing of outside references.
void imgv::playmovie()
{
    auto *next = new QMovie;
    auto *input = new QFile(next);
    if (openfile(opened, *input)) {
        next->setFormat(animationformat);
        next->setDevice(input);
    }
    place.play(next);
    delete movie;
    movie = next;
    movie->start();
    gif = true;
}

// Frames are stretched to the fit size in the screen's own pixels. The movie gives the new size to
// the frames it decodes from now on; the frame on screen, the only one a still GIF has, is
// stretched to it as it is drawn. The movie is never started over for it: starting over makes the
// toolkit read the file again through a new reader that first reads from wherever the last one
// stopped, and a GIF larger than its reader's buffer then stops for good.
void imgv::fitmovie()
{
    movie->setScaledSize(fitsize() * devicePixelRatioF());
    place.stretch();
}

void imgv::turn(qreal degrees)
{
    pix = pix.transformed(QTransform().rotate(degrees), Qt::FastTransformation);
    detail.turn(degrees > 0 ? 1 : -1);
    showscaled(fitsize());
}

// What the scroll area itself receives is a command, and goes no further; only its own layout
// (its size, its scroll bars, the requests of its label) is left to it, or the view would keep the
// size and the scroll bars it first had whatever the window's size.
bool imgv::areacommand(QEvent *event)
{
    switch (event->type()) {
    case QEvent::Resize:
    case QEvent::LayoutRequest:
    case QEvent::MetaCall:
        return false;
    case QEvent::KeyPress:
        keycommand(static_cast<QKeyEvent *>(event)->key());
        break;
    case QEvent::Wheel: {
        const auto *wheel = static_cast<QWheelEvent *>(event);
        wheelcommand(wheel->angleDelta(),
            wheel->position() - QPointF(area->viewport()->mapTo(area, QPoint(0, 0))));
        break;
    }
    case QEvent::MouseButtonDblClick:
        togglefullscreen();
        break;
    default:
        break;
    }
    return true;
}

void imgv::keycommand(int key)
{
    switch (key) {
    case Qt::Key_Escape:
        close();
        break;
    case Qt::Key_Return:
        togglefullscreen();
        break;
    case Qt::Key_Left:
        backward();
        break;
    case Qt::Key_Right:
        forward();
        break;
    case Qt::Key_Up:
        zoomin();
        break;
    case Qt::Key_Down:
        zommout();
        break;
    default:
        break;
    }
}

// One step per event whatever its size, about the pointer. The sign is read from the axis the wheel
// mostly turned, the one value a wheel event reported before events carried two axes.
void imgv::wheelcommand(QPoint angle, QPointF at)
{
    const int turned = qAbs(angle.x()) > qAbs(angle.y()) ? angle.x() : angle.y();
    if (turned)
        zoomabout(turned > 0 ? zoomstep : -zoomstep, at);
}

// Moves the zoom box by a step where its bounds allow, keeping the point of the picture under the
// pointer, or at the view's middle, where it is, as far as the picture's edges allow.
void imgv::zoomabout(int step, std::optional<QPointF> pointer)
{
    const QPointF spot = place.spotat(pointer.value_or(place.middle()));
    setzoom(steps::zoomed(QSize(zoomw, zoomh), step));
    // A zoom that outgrows the picture's decode is likely to go on: the whole picture is decoded
    // once, rather than each finer reduction in turn (a reduced decode costs nearly what a whole
    // one does).
    if (step > 0 && !detail.drawing())
        sharpen(fitted(detail.own(), QSize(zoomw, zoomh)) * devicePixelRatioF(), true);
    showscaled(QSize(zoomw, zoomh));
    place.keepspot(spot, pointer.value_or(place.middle()));
}

void imgv::togglefullscreen()
{
    if (isFullScreen())
        showNormal();
    else
        showFullScreen();
}
