// Pictures of the folder decoded off the window's thread, ahead of the steps that show them.
#pragma once

#include "files.h"

#include <QFuture>
#include <QImage>
#include <QList>
#include <QThreadPool>
#include <atomic>
#include <memory>

class ahead
{
public:
    ahead();
    // Lets go of every picture: none not yet started is decoded, and none is waited for but the
    // one being decoded.
    ~ahead();

    // Starts decoding the file at once, whatever its size, on a thread of its own.
    void begin(const QString &file);
    // The file's picture: the one decoded ahead if the file is unchanged since, or else decoded
    // now. A picture loaded is kept, so that a step back to it finds it ready.
    QImage load(const QString &file);
    // Keeps these files decoded, or decoding, and lets go of every other.
    void keep(const QStringList &files);

private:
    struct picture
    {
        QString file;
        stamp read;
        QFuture<QImage> image;
        std::shared_ptr<std::atomic_bool> wanted;
    };

    picture start(const QString &file, QThreadPool *pool, qint64 maxpixels);
    QImage take(const QString &file, const stamp &now) const;

    picture current; // the picture loaded last
    QList<picture> neighbours; // decoded or decoding
    QThreadPool decoders;
};
