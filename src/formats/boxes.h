// The boxes of a HEIF file (an ISO base media file) that describe its primary picture: what it is
// coded as, its size, and how it is cropped, turned and mirrored when shown.
#pragma once

#include <QByteArray>
#include <QSize>
#include <functional>

class QIODevice;

namespace boxes {

struct picture
{
    QByteArray type; // the item's type (hvc1, av01, grid...); empty where the boxes cannot be read
    QSize shown; // its size as coded, cropped (clap) and turned (irot) in the order the file
                 // associates them; empty where the file gives no size
    bool transformed = false; // cropped, turned or mirrored
};

// The size of the pictures a coded item holds, from its type and its decoder configuration's
// body; empty where it cannot be told.
using coding = std::function<QSize(QByteArrayView type, QByteArrayView config)>;

// The primary picture as the file's top-level meta box describes it, read from the device, whose
// first `size` bytes from `start` are the file; the device is left where it was.
picture primary(QIODevice *device, qint64 start, qint64 size, const coding &codedsize);

} // namespace boxes
