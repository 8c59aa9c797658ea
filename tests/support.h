#pragma once

#include "canvas.h"
#include "chunks.h"
#include "decode.h"
#include "files.h"
#include "imgv.h"
#include "names.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QMovie>
#include <QScrollArea>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QtTest>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// Finds the project's readers before any picture is read or written, as the program does before
// anything else: test classes hold one as their first member.
struct readersfound
{
    readersfound() { setupdecoding(); }
};

inline QImage filled(QSize size, QColor colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

// Writes a picture of one colour and returns its absolute path.
inline QString picture(const QString &folder, const QString &name, QSize size,
    QColor colour = Qt::red, const char *format = "PNG")
{
    const QString file = QDir(folder).absoluteFilePath(name);
    if (!filled(size, colour).save(file, format))
        qWarning("could not write %s", qPrintable(file));
    return file;
}

// An animation of square frames, written by gifbytes, in a file of the folder.
inline QString animation(const QString &folder, const QString &name, int frames = 2, int delay = 10,
    int side = 2, const QByteArray &trailing = QByteArray(), int loops = 0)
{
    const QString file = QDir(folder).absoluteFilePath(name);
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly))
        qWarning("could not write %s", qPrintable(file));
    out.write(gifbytes(frames, delay, side, loops) + trailing);
    return file;
}

// Opens a picture the way the program starts, and shows the window at the given size.
inline std::unique_ptr<imgv> viewer(const QString &file, QSize size = QSize(600, 500))
{
    files.clear();
    auto window = std::make_unique<imgv>();
    window->openimage(file);
    window->buildui();
    window->resize(size);
    window->show();
    return window;
}

// Waits for the listing of the folder, which follows the first picture on screen.
inline void listed()
{
    QTRY_VERIFY(!files.isEmpty());
}

inline canvas *surface()
{
    return static_cast<canvas *>(label);
}

// The size the label shows its still picture at, in the window's pixels, whatever the screen's
// ratio; empty when it shows none.
inline QSize shown()
{
    return surface()->stillsize();
}

// The still picture as the label draws it, in the screen's pixels.
inline QImage seen()
{
    if (shown().isEmpty())
        return QImage();
    const QRect place
        = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, shown(), label->contentsRect());
    QImage image = label->grab(place).toImage().convertToFormat(QImage::Format_RGB32);
    image.setDevicePixelRatio(1);
    return image;
}

// The colour at the centre of what the label shows.
inline QColor centre()
{
    const QImage image = seen();
    return image.isNull() ? QColor() : image.pixelColor(image.width() / 2, image.height() / 2);
}

// The screen's pixels to one pixel of the window, and a size of the window's in screen pixels.
inline qreal ratio()
{
    return label->devicePixelRatioF();
}

inline QSize device(QSize size)
{
    return size * ratio();
}

inline QSize zoombox()
{
    return QSize(zoomw, zoomh);
}

// The size of what the label paints, in window pixels: the extent of what is not black.
inline QSize drawn()
{
    const QImage seen = label->grab().toImage();
    QRect extent;
    for (int y = 0; y < seen.height(); ++y)
        for (int x = 0; x < seen.width(); ++x)
            if (seen.pixelColor(x, y) != QColor(Qt::black))
                extent |= QRect(x, y, 1, 1);
    return QSizeF(extent.size() / ratio()).toSize();
}

// Answers the next modal box as soon as it opens and records its title and text; gives up after
// five seconds, so that a box that never came does not answer another test's.
inline void answermodal(QString *seen)
{
    auto *poll = new QTimer;
    QTimer::singleShot(5000, poll, &QObject::deleteLater);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        *seen = box->windowTitle() + QLatin1Char('|') + box->text();
        box->done(0);
        poll->deleteLater();
    });
    poll->start(10);
}

// Writes a file under a name given as bytes, which need not be valid UTF-8.
inline void writebytes(const QString &folder, const QByteArray &name, const QByteArray &contents)
{
    const QByteArray file = QFile::encodeName(folder) + '/' + name;
    const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, contents.constData(), contents.size()) != contents.size())
        qFatal("could not write %s", file.constData());
    ::close(fd);
}

// Empties a folder by the names' bytes, which the toolkit cannot always give back.
inline void emptyfolder(const QString &folder)
{
    const QByteArray base = QFile::encodeName(folder) + '/';
    DIR *d = ::opendir(base.constData());
    while (const dirent *e = d ? ::readdir(d) : nullptr) {
        const QByteArray file = base + e->d_name;
        struct stat s;
        if (qstrcmp(e->d_name, ".") && qstrcmp(e->d_name, "..") && ::lstat(file, &s) == 0)
            S_ISDIR(s.st_mode) ? ::rmdir(file) : ::unlink(file);
    }
    if (d)
        ::closedir(d);
}

// A file's URL as a file manager sends it: every byte of the name percent-encoded as it is.
inline QUrl urlof(const QString &folder, const QByteArray &name)
{
    return QUrl(QStringLiteral("file://")
        + QString::fromLatin1((QFile::encodeName(folder) + '/' + name).toPercentEncoding("/")));
}

inline void drop(imgv *window, const QList<QUrl> &urls)
{
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &enter);
    QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window, &dropped);
}
