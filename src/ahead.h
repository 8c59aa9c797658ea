// Pictures of the folder decoded off the window's thread, ahead of the steps that show them.
#pragma once

#include "files.h"
#include "remote.h"

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

    // Pictures are decoded to be shown fitted into a box of screen pixels.
    // Starts decoding the file at once, whatever its size, on a thread of its own.
    void begin(const QString &file, QSize box);
    // The file's picture: the one decoded ahead if the file is unchanged since and the decode
    // covers the box, or else decoded now. A picture loaded is kept, so that a step back to it
    // finds it ready, until the same file is loaded again (finer).
    decoded load(const QString &file, QSize box);
    // Keeps these files decoded, or decoding, and lets go of every other.
    void keep(const QStringList &files, QSize box);

private:
    struct picture
    {
        QString file;
        stamp read;
        QFuture<decoded> image;
        std::shared_ptr<std::atomic_bool> wanted;
    };

    picture start(const QString &file, QSize box, QThreadPool *pool, qint64 budget);
    decoded take(const QString &file, const stamp &now, QSize box) const;

    picture current; // the picture loaded last
    QList<picture> neighbours; // decoded or decoding
    QThreadPool decoders;
};
