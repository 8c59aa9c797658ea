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
#include <QPainter>
#include <QScrollArea>
#include <QStyle>
#include <QTransform>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <QtConcurrentRun>
#include <algorithm>
#include <limits>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

#ifdef Q_OS_UNIX
// The length of the UTF-8 sequence a byte leads, or 0 for a byte that leads none.
qsizetype sequence(uchar lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xf0)
        return 4;
    if (lead >= 0xe0)
        return 3;
    return lead >= 0xc0 ? 2 : 0;
}

// File names here are bytes, mostly UTF-8. A byte that is not part of valid UTF-8 is kept as a lone
// surrogate, U+DC00 plus the byte, so that every name read from the system names the same file
// again; names in valid UTF-8 read as the toolkit reads them.
QString fromnative(QByteArrayView bytes)
{
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString name;
    while (!bytes.isEmpty()) {
        const uchar lead = uchar(bytes.front());
        qsizetype length = sequence(lead);
        if (length > bytes.size() || !bytes.first(length).isValidUtf8())
            length = 0;
        if (length)
            name += QString::fromUtf8(bytes.first(length));
        else
            name += QChar(0xdc00 + lead);
        bytes = bytes.sliced(qMax<qsizetype>(length, 1));
    }
    return name;
}

QByteArray tonative(QStringView name)
{
    QByteArray bytes;
    qsizetype from = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (c < 0xdc80 || c > 0xdcff || (i > 0 && name[i - 1].isHighSurrogate()))
            continue;
        bytes += name.sliced(from, i - from).toUtf8();
        bytes += char(c - 0xdc00);
        from = i + 1;
    }
    return bytes + name.sliced(from).toUtf8();
}
#endif

// Paths into the embedded pictures, which only the toolkit can open. A file of the folder whose
// name starts with a colon is not one of them.
bool embedded(const QString &name)
{
    return name.startsWith(QLatin1String(":/"));
}

// The working directory; "." when it has no name any more (removed while in use).
QString workingfolder()
{
#ifdef Q_OS_UNIX
    QByteArray here(4096, Qt::Uninitialized);
    while (!::getcwd(here.data(), here.size())) {
        if (errno != ERANGE)
            return QStringLiteral(".");
        here.resize(here.size() * 2);
    }
    return fromnative(here.constData());
#else
    return QDir::currentPath();
#endif
}

// Like the toolkit's change of directory: a folder that cannot be entered leaves it as it was.
void enter(const QString &folder)
{
#ifdef Q_OS_UNIX
    if (!embedded(folder) && ::chdir(tonative(folder).constData()) == 0)
        return;
#endif
    QDir::setCurrent(folder);
}

QString absolute(const QString &name)
{
    if (embedded(name) || QDir::isAbsolutePath(name))
        return QDir::cleanPath(name);
    return QDir::cleanPath(workingfolder() + QLatin1Char('/') + name);
}

// What a name leads to, following links: nothing, a folder, a regular file or something else.
struct lookup
{
    bool exists = false;
    bool regular = false;
    bool folder = false;
    qint64 size = 0;
    qint64 modified = 0;
};

lookup look(const QString &name)
{
#ifdef Q_OS_UNIX
    if (!embedded(name)) {
        struct stat status;
        if (::stat(tonative(name).constData(), &status) != 0)
            return lookup();
        return { true, S_ISREG(status.st_mode), S_ISDIR(status.st_mode), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000 };
    }
#endif
    const QFileInfo info(name);
    return { info.exists(), info.isFile(), info.isDir(), info.size(),
        info.exists() ? info.lastModified().toMSecsSinceEpoch() : 0 };
}

// Opens a picture file for reading. Only a regular file is read: a pipe or a device named like a
// picture would never answer, or never end, and hold the viewer with it.
bool openfile(const QString &name, QFile &file)
{
#ifdef Q_OS_UNIX
    if (!embedded(name)) {
        const int fd = ::open(tonative(name).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat status;
        if (fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
            && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            return true;
        if (fd >= 0)
            ::close(fd);
        return false;
    }
#endif
    file.setFileName(name);
    return look(name).regular && file.open(QIODevice::ReadOnly);
}

// Decodes a picture laid out as this screen's pixmaps are, so that the pixmap made from it shares
// its pixels instead of holding a second copy. Pictures over the size given are not decoded.
// The reader sees the file's contents only, so its name neither picks the format nor gives the
// picture a pixel ratio ("@2x"); a photograph is turned upright as its orientation tag says.
QImage decode(const QString &file, qint64 maxpixels = unlimited)
{
    QFile input;
    if (!openfile(file, input))
        return QImage();
    QImageReader reader(&input);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (qint64(size.width()) * size.height() > maxpixels)
        return QImage();
    QImage image = reader.read();
    // Where the reader knows the name (embedded pictures, other systems), "@2x" would halve it.
    image.setDevicePixelRatio(1);
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

// The pictures of the working directory as the directory lists them by default: hidden entries
// and what is neither a file nor a folder (pipes, devices, broken links) left out, folders and
// links listed like files, ordered by their lower-cased names.
QStringList scan()
{
    QList<std::pair<QString, QString>> found;
#ifdef Q_OS_UNIX
    if (DIR *folder = ::opendir(".")) {
        while (const dirent *e = ::readdir(folder)) {
            const QString name = fromnative(e->d_name);
            if (name.startsWith(QLatin1Char('.')) || !ispicture(name))
                continue;
            if (e->d_type != DT_REG && e->d_type != DT_DIR) {
                const lookup target = look(name);
                if (!target.regular && !target.folder)
                    continue;
            }
            found.append({ name.toLower(), name });
        }
        ::closedir(folder);
    }
#else
    for (QDirIterator it(QStringLiteral("."), QDir::AllEntries); it.hasNext();) {
        it.next();
        const QString name = it.fileName();
        if (ispicture(name))
            found.append({ name.toLower(), name });
    }
#endif
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

// The size of a picture scaled into a box keeping its proportions, as the toolkit's scaling
// makes it: empty for an empty box, never thinner than a pixel otherwise.
QSize fitted(QSize picture, QSize box)
{
    if (picture.isEmpty() || box.isEmpty())
        return QSize();
    return picture.scaled(box, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
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
    label->installEventFilter(this);
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
    if (longside(fitted(pix.size(), box) * devicePixelRatioF())
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
    if (watched == label) {
        if (event->type() != QEvent::Paint || !label->movie())
            return false;
        paintframe();
        return true;
    }
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
    enter(folder);
    const QString here = workingfolder();
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
    opened = absolute(file);
    folder = QFileInfo(opened).path();
    curpath = file;
    path = file;
}

// Decodes into a separate image so that a failed load keeps the picture already shown. A picture
// decoded ahead is taken instead when it is of this very file, unchanged since.
bool imgv::load(const QString &file)
{
    const QString whole = absolute(file);
    const stamp now = stampof(whole);
    QImage decoded = takeahead(whole, now);
    if (decoded.isNull())
        decoded = decode(whole);
    if (decoded.isNull())
        return false;
    if (!current.file.isEmpty())
        neighbours << current;
    current = { whole, now, QtFuture::makeReadyFuture(decoded),
        std::make_shared<std::atomic_bool>(true) };
    img = std::move(decoded);
    return true;
}

imgv::stamp imgv::stampof(const QString &file)
{
    const lookup now = look(file);
    if (!now.exists)
        return stamp();
    return { now.size, now.modified,
        QDateTime::currentMSecsSinceEpoch() - now.modified > settlems };
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
        const QString file = absolute(files.at(side));
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
    const qreal ratio = devicePixelRatioF();
    if (!gif && box == shownbox && pix.cacheKey() == shownkey && ratio == shownratio)
        return;
    showstill(scaledto(box));
    shownbox = box;
    shownkey = pix.cacheKey();
    shownratio = ratio;
}

// The picture scaled into the box in the window's pixels, made in the screen's own pixels so that
// it is as sharp as the screen allows whatever its pixel ratio.
QPixmap imgv::scaledto(QSize box) const
{
    const QSize size = fitted(pix.size(), box);
    if (size.isEmpty())
        return QPixmap();
    const qreal ratio = devicePixelRatioF();
    QPixmap scaled = pix.scaled(size * ratio, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    scaled.setDevicePixelRatio(ratio);
    return scaled;
}

// A still picture replaces any animation: the movie is released so that resizes refit the still.
void imgv::showstill(const QPixmap &shown)
{
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    label->setPixmap(shown);
    delete movie;
    movie = nullptr;
    gif = false;
}

// The movie reads the opened file through a handle of its own, opened as every picture is.
void imgv::playmovie()
{
    auto *next = new QMovie;
    auto *input = new QFile(next);
    if (openfile(opened, *input))
        next->setDevice(input);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    label->setMovie(next);
    delete movie;
    movie = next;
    movie->start();
    gif = true;
}

// Frames are stretched to the fit size in the screen's own pixels. The label would take them for
// that many window pixels, so it is told to take the view's size, which the fit size is within.
void imgv::fitmovie()
{
    movie->setScaledSize(fitsize() * devicePixelRatioF());
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
}

// Draws the movie's frame centred at its size in window pixels: a fitted frame is made in the
// screen's pixels, one at its own size (a dropped movie before the next resize) is as it is.
void imgv::paintframe()
{
    const QPixmap frame = label->movie()->currentPixmap();
    if (frame.isNull())
        return;
    QSizeF size = frame.size();
    if (label->movie()->scaledSize().isValid())
        size /= devicePixelRatioF();
    const QRect place = QStyle::alignedRect(
        layoutDirection(), Qt::AlignCenter, size.toSize(), label->contentsRect());
    QPainter(label).drawPixmap(QRectF(place.topLeft(), size), frame, frame.rect());
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

QString argname(const char *arg)
{
#ifdef Q_OS_UNIX
    return fromnative(arg);
#else
    return QString::fromLocal8Bit(arg);
#endif
}

bool named(const QString &file)
{
    return look(file).exists;
}

// The local file a dropped URL names. The URL's own decoding gives up on names that are not
// valid UTF-8, so on Unix its bytes are taken as they were sent.
QString localfile(const QUrl &url)
{
    const QString file = url.toLocalFile();
#ifdef Q_OS_UNIX
    if (!file.isEmpty() && url.host().isEmpty())
        return fromnative(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
#endif
    return file;
}
