// The boxes of a HEIF file (an ISO base media file) that describe its primary picture: what it is
// coded as, its size, how it is cropped, turned and mirrored when shown, and where its coded
// pictures lie.
#pragma once

#include "colour.h"

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QSize>
#include <functional>
#include <memory>
#include <optional>

class QIODevice;

namespace boxes {

// The size of the pictures a coded item holds, from its type, its decoder configuration's body and
// its data (where it is read); empty where it cannot be told.
using coding
    = std::function<QSize(QByteArrayView type, QByteArrayView config, QByteArrayView data)>;

struct picture
{
    QByteArray type; // the item's type (hvc1, av01, grid...); empty where the boxes cannot be read
    QSize shown; // its size as made, cropped (clap) and turned (irot) in the order the file
                 // associates them; empty where the file gives no size
    bool transformed = false; // cropped, turned or mirrored
    bool predicted = false; // coded as a change to other pictures of the file, decoded before it
};

// A colour description (colr nclx), as H.273 code points.
struct description
{
    int primaries = colour::code::unspecified;
    int transfer = colour::code::unspecified;
    int matrix = colour::code::unspecified;
    bool full = false;
};

// One change a property makes to the picture as it is shown.
struct change
{
    enum { crop, turn, mirror } kind = crop;
    QRect kept; // crop: the part kept, in the pixels of the picture as it is before the crop
    int quarters = 0; // turn: quarter turns anticlockwise
    bool leftright = false; // mirror: left and right swap (axis 1, as libheif reads it), rather
                            // than top and bottom
};

// A picture made from coded pictures: one, or the tiles of a grid in rows, each with its type
// (hvc1, av01), decoder configuration and data; the picture they make, before the changes its
// properties then make in order; its colour description, where the file gives one; and its alpha,
// made the same way.
struct layout
{
    struct tile
    {
        QByteArray type;
        QByteArray config;
        QByteArray data;
    };
    QList<tile> tiles;
    int columns = 1;
    QSize size;
    QList<change> changes;
    std::optional<description> described;
    std::shared_ptr<layout> alpha;
};

// The size a picture made at `size` is shown at, once its changes have changed it; and whether
// they turn it on its side.
QSize changed(QSize size, const QList<change> &changes);
bool sideways(const QList<change> &changes);

// The primary picture as the file's top-level meta box describes it, and how it is made, where it
// is a coded picture or a grid of them, given directly or through identity items: nothing where
// it is made otherwise (an overlay), is predicted from other pictures, or the boxes cannot be
// read. Read once, from the device, whose first `size` bytes from `start` are the file; the device
// is left where it was.
struct contents
{
    picture primary;
    std::optional<layout> made;
};
contents read(QIODevice *device, qint64 start, qint64 size, const coding &codedsize);

} // namespace boxes
