// What the window and a decoder say to each other, over a socket pair of sequenced packets that
// carry open descriptors with them: the window sends a request with the picture file's descriptor,
// the decoder replies with the pixels in a sealed memory file the window maps.
#pragma once

#include <QImage>
#include <QtGlobal>
#include <cstddef>

namespace channel {

enum ask : quint32 {
    still = 1, // a picture decoded to be shown fitted into a box
    frame = 2, // a frame of an animation, by number, at a size
    spawn = 3, // to the spawner: a decoder to serve the socket sent
};

struct request
{
    quint32 kind = still;
    qint32 width = 0; // the box, or the frame's size (none: its own)
    qint32 height = 0;
    qint64 budget = 0; // the most pixels a still may decode to
    qint32 opaque = QImage::Format_RGB32; // the screen's pixmap formats
    qint32 alpha = QImage::Format_ARGB32_Premultiplied;
    qint32 number = 0; // the frame asked for
};

struct reply
{
    qint32 ok = 0;
    qint32 width = 0; // the pixels sent
    qint32 height = 0;
    qint32 stride = 0;
    qint32 format = 0;
    qint32 wholewidth = 0; // a still's picture, upright, at its own size
    qint32 wholeheight = 0;
    quint8 drawn = 0;
    quint8 finest = 0;
    quint8 more = 0; // a frame: whether another follows
    qint32 delay = 0; // a frame: how long it is shown, in ms
    qint32 count = 0; // a frame: the animation's frames and loops as its reader tells them
    qint32 loops = 0;
};

// Sends a packet, with a descriptor when one is given; false if the other end is gone.
bool send(int socket, const void *data, std::size_t size, int descriptor = -1);
// Receives a packet of exactly this size within `ms` (-1: as long as it takes), and the
// descriptor it carries, if any, into `descriptor` (else -1). False for anything else: a packet
// of another size, the other end gone or past the time.
bool receive(int socket, void *data, std::size_t size, int *descriptor, int ms = -1);

// From now on, the pictures the readers make in this process are made in memory files that
// pixelsout hands over as they are.
void sharepixels();
// A sealed memory file holding the image's rows, which can neither change nor shrink; -1 if none
// can be made. A picture made in a memory file is handed over in it; any other is copied into one.
int pixelsout(const QImage &image);
// The image the reply describes, mapped read-only from the memory file it came with, or null
// where the file is not sealed, is smaller than the reply says, or the reply is out of bounds.
// The descriptor is closed either way.
QImage pixelsin(int descriptor, const reply &said);

} // namespace channel
