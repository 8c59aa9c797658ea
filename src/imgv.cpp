#include "imgv.h"

#include <QCommandLinkButton>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QMovie>
#include <QScrollArea>
#include <QTransform>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtConcurrentRun>
#include <algorithm>
#include <limits>

// View state shared by every command of the one window.
QLabel *label = nullptr; // the picture label: made by buildui, every command shows into it
int zoomw = 0; // display box: set to the fit size by resizes and steps, moved by the zoom steps
int zoomh = 0;
QStringList files; // the last folder listing: buildui's first listing and every step
QString curpath; // the picture opened at start-up or by the last drop, as received

namespace {

// The picture gets the window less a 15-pixel strip at the side and 60 pixels for the buttons.
constexpr int marginw = 15;
constexpr int marginh = 60;
// Zoom moves the display box by 50 pixels each way; a box side of 50 or less is refused.
constexpr int zoomstep = 50;
constexpr int zoomfloor = 50;
// A zoom-in never builds a picture longer than 4096 pixels on a side, unless the picture itself
// is longer: every step builds the whole enlarged picture, and past this it grows too slow and
// too large to be worth it (4096 x 4096 is 64 MiB).
constexpr int zoomceiling = 4096;
constexpr qreal quarterturn = 90;
// The reader's own limit is 256 MiB; photographs and panoramas up to 1 GiB decoded must open.
constexpr int decodelimitmb = 1024;
// The coarsest tick in which file systems stamp modification times (FAT's two seconds).
constexpr qint64 settlems = 2000;
// Neighbours are decoded ahead up to 64 megapixels (256 MiB); larger ones when stepped to.
constexpr qint64 aheadpixels = 64 << 20;
constexpr qint64 unlimited = std::numeric_limits<qint64>::max();

// The pixmap formats of this screen, opaque and with alpha, as learnt from the screen itself.
QImage::Format opaqueformat = QImage::Format_RGB32;
QImage::Format alphaformat = QImage::Format_ARGB32_Premultiplied;

void learnformats()
{
    QImage probe(1, 1, QImage::Format_ARGB32);
    probe.fill(Qt::transparent);
    alphaformat = QPixmap::fromImage(probe).toImage().format();
    probe.fill(Qt::black);
    opaqueformat
        = QPixmap::fromImage(probe.convertToFormat(QImage::Format_RGB32)).toImage().format();
}

bool opaque(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        if (!std::all_of(line, line + image.width(), [](QRgb p) { return qAlpha(p) == 255; }))
            return false;
    }
    return true;
}

// Decodes a picture laid out as this screen's pixmaps are, so that the pixmap made from it shares
// its pixels instead of holding a second copy. Pictures over the size given are not decoded.
QImage decode(const QString &file, qint64 maxpixels = unlimited)
{
    QImageReader reader(file);
    const QSize size = reader.size();
    if (qint64(size.width()) * size.height() > maxpixels)
        return QImage();
    QImage image = reader.read();
    if (image.isNull() || !image.hasAlphaChannel())
        return image.isNull() ? image : std::move(image).convertToFormat(opaqueformat);
    image = std::move(image).convertToFormat(alphaformat);
    if (image.format() == QImage::Format_ARGB32_Premultiplied
        && opaqueformat == QImage::Format_RGB32 && opaque(image))
        image.reinterpretAsFormat(QImage::Format_RGB32);
    return image;
}

// The eight name patterns match without regard to case, so four suffixes test each name once.
bool ispicture(const QString &name)
{
    for (const char *suffix : { ".png", ".jpg", ".gif", ".jpeg" })
        if (name.endsWith(QLatin1String(suffix), Qt::CaseInsensitive))
            return true;
    return false;
}

// The pictures of the working directory as the directory lists them by default: hidden and system
// entries left out, folders and links listed like files, ordered by their lower-cased names.
QStringList scan()
{
    QList<std::pair<QString, QString>> found;
    for (QDirIterator it(QStringLiteral("."), QDir::AllEntries); it.hasNext();) {
        it.next();
        const QString name = it.fileName();
        if (ispicture(name))
            found.append({ name.toLower(), name });
    }
    std::sort(
        found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList names;
    names.reserve(found.size());
    for (const auto &entry : found)
        names << entry.second;
    return names;
}

bool isanimation(const QString &file)
{
    return file.split(QLatin1Char('.')).constLast() == QLatin1String("gif");
}

int longside(QSize size)
{
    return qMax(size.width(), size.height());
}

} // namespace

imgv::imgv(QWidget *parent)
    : QWidget(parent)
    , located(0)
    , area(nullptr)
    , gif(false)
    , index(0)
    , movie(nullptr)
{
    QImageReader::setAllocationLimit(decodelimitmb);
    learnformats();
    // One picture decodes ahead at a time, leaving the other core to the window and the display.
    decoders.setMaxThreadCount(1);
    setAcceptDrops(true);
}

imgv::~imgv()
{
    for (const ahead &unwanted : std::as_const(neighbours))
        *unwanted.wanted = false;
    decoders.clear();
    delete movie;
}

// The picture decodes while buildui builds the window; buildui takes it, or reports the failure,
// before the window is shown.
void imgv::openimage(QString path)
{
    if (isanimation(path))
        gif = true;
    open(path);
    neighbours << start(opened, QThreadPool::globalInstance(), unlimited);
}

void imgv::buildui()
{
    setWindowIcon(QIcon(QStringLiteral(":/images/icon.ico")));
    setWindowTitle(QStringLiteral("PORVANE - Q.ZARVEL"));
    label = new QLabel;
    located = 0;
    index = 0;
    files = listfolder();
    label->setAlignment(Qt::AlignCenter);

    area = new QScrollArea;
    area->setWidgetResizable(true);
    area->setWidget(label);
    area->installEventFilter(this);
    area->viewport()->installEventFilter(this);
    auto *column = new QVBoxLayout;
    column->addWidget(area);

    auto *row = new QHBoxLayout;
    QWidget *back = button(":/images/b.png", 30, &imgv::backward);
    QWidget *in = button(":/images/in.png", 30, &imgv::zoomin);
    QWidget *out = button(":/images/out.png", 30, &imgv::zommout);
    QWidget *next = button(":/images/f.png", 30, &imgv::forward);
    QWidget *right = button(":/images/fo.png", 30, &imgv::tranr);
    QWidget *left = button(":/images/re.png", 30, &imgv::tranl);
    row->addWidget(button(":/images/a.png", 35, &imgv::showhome));
    row->addStretch();
    for (QWidget *b : { left, back, in, out, next, right })
        row->addWidget(b);
    row->addStretch();
    column->addLayout(row);

    listfolder();
    resize(600, 500);
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
    pix = QPixmap::fromImage(img);
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
    if (++index < files.size())
        load(files.at(index));
    else
        --index;
    refresh();
    prepare();
}

void imgv::backward()
{
    files = listfolder();
    // From past the end (files removed, or a dropped file the listing lacks) step to the last one.
    index = qMin(index - 1, int(files.size()) - 1);
    if (index < 0)
        index = 0;
    else
        load(files.at(index));
    refresh();
    prepare();
}

void imgv::zoomin()
{
    const QSize box(zoomw + zoomstep, zoomh + zoomstep);
    if (longside(pix.size().scaled(box, Qt::KeepAspectRatio))
        <= qMax(zoomceiling, longside(pix.size()))) {
        zoomw = box.width();
        zoomh = box.height();
    }
    showscaled(QSize(zoomw, zoomh));
}

void imgv::zommout()
{
    if (zoomw - zoomstep > zoomfloor && zoomh - zoomstep > zoomfloor) {
        zoomw -= zoomstep;
        zoomh -= zoomstep;
    }
    showscaled(QSize(zoomw, zoomh));
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
    if (watched != area) {
        // The neighbours of the start-up picture decode once it is on screen, not before.
        if (event->type() == QEvent::Paint && !onscreen) {
            onscreen = true;
            QMetaObject::invokeMethod(this, &imgv::prepare, Qt::QueuedConnection);
        }
        // Once the picture outgrows the view the viewport would scroll with the wheel instead of
        // passing it on: there the wheel is taken for zooming too, and all else is left alone.
        if (event->type() != QEvent::Wheel)
            return false;
        wheelcommand(static_cast<QWheelEvent *>(event)->angleDelta());
        return true;
    }
    switch (event->type()) {
    case QEvent::KeyPress:
        keycommand(static_cast<QKeyEvent *>(event)->key());
        break;
    case QEvent::Wheel:
        wheelcommand(static_cast<QWheelEvent *>(event)->angleDelta());
        break;
    case QEvent::MouseButtonDblClick:
        togglefullscreen();
        break;
    default:
        break;
    }
    return true;
}

void imgv::mouseDoubleClickEvent(QMouseEvent *) { }

void imgv::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape)
        close();
}

void imgv::resizeEvent(QResizeEvent *)
{
    zoomw = fitsize().width();
    zoomh = fitsize().height();
    if (gif && movie)
        movie->setScaledSize(fitsize());
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
    const QString dropped = urls.isEmpty() ? QString() : urls.first().toLocalFile();
    if (dropped.isEmpty())
        return;
    load(dropped);
    pix = QPixmap::fromImage(img);
    open(dropped);
    if (isanimation(dropped))
        playmovie();
    else
        showscaled(fitsize());
    located = 0;
    prepare();
}

QStringList imgv::listfolder()
{
    QDir::setCurrent(folder);
    const QString here = QDir::currentPath();
    const stamp now = stampof(here);
    if (here != listedfolder || !listedstamp.proves(now)) {
        listed = scan();
        listedfolder = here;
        listedstamp = now;
    }
    if (!located && !listed.isEmpty()) {
        const int at = listed.indexOf(QFileInfo(path).fileName());
        if (at >= 0)
            index = at;
        located = 1;
    }
    return listed;
}

// Records the opened picture. The folder is resolved now, against the working directory in force
// when the picture was opened: a relative path means nothing once the listing has moved there.
void imgv::open(const QString &file)
{
    const QFileInfo info(file);
    folder = info.absolutePath();
    opened = info.absoluteFilePath();
    curpath = file;
    path = file;
}

// Decodes into a separate image so that a failed load keeps the picture already shown. A picture
// decoded ahead is taken instead when it is of this very file, unchanged since.
bool imgv::load(const QString &file)
{
    const QString absolute = QFileInfo(file).absoluteFilePath();
    const stamp now = stampof(absolute);
    QImage decoded = takeahead(absolute, now);
    if (decoded.isNull())
        decoded = decode(absolute);
    if (decoded.isNull())
        return false;
    if (!current.file.isEmpty())
        neighbours << current;
    current = { absolute, now, QtFuture::makeReadyFuture(decoded),
        std::make_shared<std::atomic_bool>(true) };
    img = std::move(decoded);
    return true;
}

imgv::stamp imgv::stampof(const QString &file)
{
    const QFileInfo info(file);
    if (!info.exists())
        return stamp();
    const qint64 modified = info.lastModified().toMSecsSinceEpoch();
    return { info.size(), modified, QDateTime::currentMSecsSinceEpoch() - modified > settlems };
}

QImage imgv::takeahead(const QString &file, const stamp &now)
{
    for (const ahead &candidate : std::as_const(neighbours))
        if (candidate.file == file && candidate.read.proves(now) && candidate.image.isValid())
            return candidate.image.result();
    return QImage();
}

// Keeps the previous and the next entry decoded, or decoding, for the next step; lets go of the
// rest. Until a listing has found the opened file there is no position to prepare around.
void imgv::prepare()
{
    QList<ahead> kept;
    for (const int side : { index - 1, index + 1 }) {
        if (!located || side < 0 || side >= files.size())
            continue;
        const QString file = QDir::current().absoluteFilePath(files.at(side));
        const auto have = std::find_if(neighbours.cbegin(), neighbours.cend(),
            [&](const ahead &candidate) { return candidate.file == file; });
        kept << (have != neighbours.cend() ? *have : start(file, &decoders, aheadpixels));
    }
    for (const ahead &old : std::as_const(neighbours))
        if (std::none_of(
                kept.cbegin(), kept.cend(), [&](const ahead &k) { return k.wanted == old.wanted; }))
            *old.wanted = false;
    neighbours = kept;
}

// Starts decoding a file off the GUI thread. Only a file whose stamp has settled can later be
// proven unchanged, so only such a file is worth decoding ahead.
imgv::ahead imgv::start(const QString &file, QThreadPool *pool, qint64 maxpixels)
{
    ahead next { file, stampof(file), {}, std::make_shared<std::atomic_bool>(true) };
    if (next.read.settled)
        next.image = QtConcurrent::run(pool, [file, maxpixels, wanted = next.wanted] {
            return *wanted ? decode(file, maxpixels) : QImage();
        });
    return next;
}

void imgv::refresh()
{
    pix = QPixmap::fromImage(img);
    showscaled(fitsize());
    zoomw = fitsize().width();
    zoomh = fitsize().height();
}

QSize imgv::fitsize() const
{
    return QSize(width() - marginw, height() - marginh);
}

void imgv::showscaled(QSize box)
{
    // Refused zoom steps show the same picture at the same box again: keep the one already shown.
    if (!gif && box == shownbox && pix.cacheKey() == shownkey)
        return;
    showstill(
        pix.isNull() ? QPixmap() : pix.scaled(box, Qt::KeepAspectRatio, Qt::FastTransformation));
    shownbox = box;
    shownkey = pix.cacheKey();
}

// A still picture replaces any animation: the movie is released so that resizes refit the still.
void imgv::showstill(const QPixmap &shown)
{
    label->setPixmap(shown);
    delete movie;
    movie = nullptr;
    gif = false;
}

void imgv::playmovie()
{
    auto *next = new QMovie;
    next->setFileName(opened);
    label->setMovie(next);
    delete movie;
    movie = next;
    movie->start();
    gif = true;
}

void imgv::turn(qreal degrees)
{
    pix = pix.transformed(QTransform().rotate(degrees), Qt::FastTransformation);
    showscaled(fitsize());
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

// One step per event whatever its size. The sign is read from the axis the wheel mostly turned,
// the one value a wheel event reported before events carried two axes.
void imgv::wheelcommand(QPoint angle)
{
    const int turned = qAbs(angle.x()) > qAbs(angle.y()) ? angle.x() : angle.y();
    if (turned < 0)
        zommout();
    else if (turned > 0)
        zoomin();
}

void imgv::togglefullscreen()
{
    if (isFullScreen())
        showNormal();
    else
        showFullScreen();
}

QWidget *imgv::button(const char *icon, int width, void (imgv::*slot)())
{
    auto *b = new QCommandLinkButton;
    b->setMaximumSize(width, 35);
    b->setIcon(QIcon(QLatin1String(icon)));
    // A click must not take the keyboard away from the picture, where the key commands live.
    b->setFocusPolicy(Qt::NoFocus);
    connect(b, &QAbstractButton::clicked, this, slot);
    return b;
}
