// Picture files decoded into images laid out as this screen's pixmaps, no larger than shown.
#pragma once

#include <QImage>
#include <QString>
#include <limits>

class QFile;

// How a decoded image stands to the picture in its file.
struct extent
{
    QSize whole; // the picture's own size, upright
    bool drawn = false; // a drawing, rendered at the size it is shown
    bool finest = false; // the decode is as fine as it may be: the whole picture, or the largest
                         // reduction (or rendering) the decoding limit allows

    // Whether an image of the given size holds all that the file can give of the picture shown
    // at `shown` (both upright or both turned alike).
    bool covers(QSize image, QSize shown) const
    {
        return finest || (image.width() >= shown.width() && image.height() >= shown.height());
    }
};

struct decoded
{
    QImage image;
    extent of;
};

// The decode of the picture on screen: the file it came from, how it stands to the picture in the
// file, and the quarter turns clockwise the picture is shown at.
class resolution
{
public:
    // A picture decoded upright from a file, or the same picture decoded again (keeping its turns).
    void decoded(const QString &file, const extent &of);
    void again(const extent &of);
    void upright();
    // Turns the picture a quarter clockwise (+1) or anticlockwise (-1).
    void turn(int quarters);

    const QString &file() const { return source; }
    int quarters() const { return turns; }
    bool drawing() const { return of.drawn; }
    // A size as the turns lay it: across for an odd count. Turning it again lays it back.
    QSize turned(QSize size) const;
    // The picture's own size as turned, whatever reduction of it is held.
    QSize own() const;
    // Whether an image of this size, turned as the picture, holds all the file can give of the
    // picture shown at `shown` screen pixels; true when nothing was decoded from a file.
    bool covers(QSize image, QSize shown) const;

private:
    QString source;
    extent of;
    int turns = 0;
};

// Learns this screen's pixmap formats, which pictures are decoded into, and finds the project's
// readers for the program's own pictures (its buttons, the style's icons), which the window reads
// itself. Called once, on the window's thread, before any picture is asked for.
void setupdecoding();
// The formats learnt: opaque, and with alpha.
QImage::Format opaquepixmaps();
QImage::Format alphapixmaps();

// The folder of the project's readers: beside the program as installed, or else in the build tree.
QString readersfolder();
// Finds the project's readers in that folder, looked in before the toolkit's own, each loaded with
// its library only when a picture of its format is first read (and before them the plugin of the
// window's movie), and lifts the decoder's size limit.
// Called once before anything is read as a picture.
void findreaders(const QString &folder);
// Reads from the readers' files which formats each offers, loading none of them, as the first
// decode would otherwise do before it reaches its reader.
void indexreaders();

// The size of a picture scaled into a box keeping its proportions, as the toolkit's scaling
// makes it: empty for an empty box, never thinner than a pixel otherwise.
QSize fitted(QSize picture, QSize box);

// Decodes a picture from an open file, to be shown fitted into a box of screen pixels (no box:
// whole), in the pixmap formats given, so that the pixmap made from it shares its pixels instead
// of holding a second copy. The picture comes at the size it is shown: readers that decode at a
// size are asked for it (JPEG steps down while decoding and is averaged the rest of the way; the
// project's own readers average as they decode; a drawing is rendered at it); the others' whole
// pictures are averaged down to it. A picture whose whole decode is over the decoding limit comes
// no larger than a whole reduction of it under the limit. The image is null when the file cannot
// be decoded, or when its decode would be larger than `budget` pixels.
decoded decodeopen(QFile &input, QSize box, qint64 budget,
    QImage::Format opaque = QImage::Format_RGB32,
    QImage::Format alpha = QImage::Format_ARGB32_Premultiplied);

// The format the window's movie reads animations in: that of a reader whose frames are each read
// by the file's format's own reader in a decoder, from its first byte again at every round; never
// a drawing, which only a still's decode reads, once it has checked that the drawing asks for
// nothing outside itself.
inline const QByteArray animationformat = "movie";
