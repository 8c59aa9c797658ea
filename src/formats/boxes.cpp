#include "boxes.h"

#include <QIODevice>
#include <QList>
#include <climits>
#include <cmath>

namespace boxes {

namespace {

// Past these a file is taken as broken rather than read on.
constexpr qint64 metalimit = qint64(64) << 20;
constexpr int boxlimit = 10000;

struct box
{
    QByteArrayView type;
    QByteArrayView body;
};

// The header of a box that starts a run of `room` bytes, of which `start` holds at least the
// first 8 (16 for a long size): the box's whole size and the size of its header; false where the
// box does not fit the room.
bool headerof(QByteArrayView start, qint64 room, qint64 *size, qint64 *header)
{
    if (start.size() < 8 || room < 8)
        return false;
    quint64 claimed = 0;
    for (int i = 0; i < 4; ++i)
        claimed = claimed << 8 | uchar(start[i]);
    *header = 8;
    if (claimed == 1) {
        if (start.size() < 16)
            return false;
        claimed = 0;
        for (int i = 8; i < 16; ++i)
            claimed = claimed << 8 | uchar(start[i]);
        *header = 16;
    } else if (claimed == 0) {
        claimed = quint64(room);
    }
    *size = qint64(claimed);
    return claimed >= quint64(*header) && claimed <= quint64(room);
}

QList<box> boxesin(QByteArrayView bytes)
{
    QList<box> found;
    qint64 size = 0;
    qint64 header = 0;
    while (found.size() < boxlimit && headerof(bytes, bytes.size(), &size, &header)) {
        found.append({ bytes.sliced(4, 4), bytes.sliced(header, size - header) });
        bytes = bytes.sliced(size);
    }
    return found;
}

// The body of the file's top-level meta box; empty where there is none of a sane size.
QByteArray metaof(QIODevice *device, qint64 start, qint64 room)
{
    qint64 at = 0;
    qint64 size = 0;
    qint64 header = 0;
    for (int boxes = 0; boxes < boxlimit && device->seek(start + at); ++boxes) {
        const QByteArray head = device->read(16);
        if (!headerof(head, room - at, &size, &header))
            break;
        if (head.sliced(4, 4) == "meta") {
            if (size - header > metalimit || !device->seek(start + at + header))
                break;
            return device->read(size - header);
        }
        at += size;
    }
    return QByteArray();
}

box first(const QList<box> &boxes, const char *type)
{
    for (const box &candidate : boxes)
        if (candidate.type == QByteArrayView(type))
            return candidate;
    return box();
}

// A big-endian number of 1, 2 or 4 bytes at a place in a box's body; 0 past its end.
quint32 number(QByteArrayView body, qsizetype at, int bytes)
{
    if (at < 0 || at + bytes > body.size())
        return 0;
    quint32 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | uchar(body[at + i]);
    return value;
}

// The properties associated with an item, in the order the association box lists them.
QList<box> propertiesof(QByteArrayView meta, quint32 item)
{
    const QList<box> properties = boxesin(first(boxesin(meta), "iprp").body);
    const QList<box> ipco = boxesin(first(properties, "ipco").body);
    const box ipma = first(properties, "ipma");
    QList<box> found;
    if (ipma.body.size() < 8)
        return found;
    const int version = ipma.body[0];
    const bool wideindex = ipma.body[3] & 1;
    const quint32 entries = number(ipma.body, 4, 4);
    qsizetype at = 8;
    for (quint32 e = 0; e < entries && at < ipma.body.size(); ++e) {
        const quint32 owner = number(ipma.body, at, version < 1 ? 2 : 4);
        at += version < 1 ? 2 : 4;
        const quint32 associations = number(ipma.body, at, 1);
        at += 1;
        for (quint32 a = 0; a < associations; ++a) {
            const quint32 index
                = number(ipma.body, at, wideindex ? 2 : 1) & (wideindex ? 0x7fff : 0x7f);
            at += wideindex ? 2 : 1;
            if (owner == item && index >= 1 && index <= quint32(ipco.size()))
                found.append(ipco[qsizetype(index) - 1]);
        }
    }
    return found;
}

// A clean aperture's size, as libheif crops the picture to it: the columns and rows between the
// aperture's edges, each rounded, about the picture's centre moved by the aperture's offset.
QSize cropped(QSize picture, QByteArrayView clap)
{
    const auto fraction = [&](int at, bool sign) {
        const quint32 n = number(clap, at, 4);
        const quint32 d = number(clap, at + 4, 4);
        return d ? (sign ? double(qint32(n)) : double(n)) / d : 0.0;
    };
    const auto side = [](int whole, double aperture, double offset) {
        const double middle = offset + (whole - 1) / 2.0;
        const int from = qBound(0, int(std::floor(middle - (aperture - 1) / 2 + 0.5)), whole - 1);
        const int to = qBound(0, int(std::floor(middle + (aperture - 1) / 2 + 0.5)), whole - 1);
        return to - from + 1;
    };
    if (clap.size() < 32 || picture.isEmpty())
        return picture;
    return QSize(side(picture.width(), fraction(0, false), fraction(16, true)),
        side(picture.height(), fraction(8, false), fraction(24, true)));
}

// What the meta box says of its items: their types, properties and the items they are made from.
struct items
{
    QByteArrayView meta;
    QList<box> inside;

    QByteArray type(quint32 item) const
    {
        const box iinf = first(inside, "iinf");
        if (iinf.body.size() < 6)
            return QByteArray();
        for (const box &infe : boxesin(iinf.body.sliced(iinf.body[0] ? 8 : 6))) {
            const int version = infe.body.isEmpty() ? 0 : infe.body[0];
            const int idbytes = version == 2 ? 2 : 4;
            if (version >= 2 && number(infe.body, 4, idbytes) == item
                && infe.body.size() >= 4 + idbytes + 6)
                return infe.body.sliced(4 + idbytes + 2, 4).toByteArray();
        }
        return QByteArray();
    }

    // The first item a derived item is made from; 0 for none.
    quint32 input(quint32 item) const
    {
        const box iref = first(inside, "iref");
        if (iref.body.size() < 4)
            return 0;
        const int idbytes = iref.body[0] ? 4 : 2;
        for (const box &reference : boxesin(iref.body.sliced(4)))
            if (reference.type == QByteArrayView("dimg")
                && number(reference.body, 0, idbytes) == item
                && number(reference.body, idbytes, 2) > 0)
                return number(reference.body, idbytes + 2, idbytes);
        return 0;
    }

    // An item's size as shown: the size it is made at, cropped and turned by its own properties
    // in the order the file associates them. The size it is made at is the one its coded stream
    // declares, or that of the item an identity item is made from, as that item is shown; else
    // its size property. Writers put the size property before or after the turns, and some (libheif
    // among them) write it as turned: the stream's own size is the one that cannot be mistaken.
    QSize shown(quint32 item, const coding &codedsize, bool *transformed, int depth = 0) const
    {
        const QList<box> properties = propertiesof(meta, item);
        const QByteArray kind = type(item);
        const quint32 from = kind == "iden" && depth < 8 ? input(item) : 0;
        QSize size = from ? shown(from, codedsize, transformed, depth + 1) : QSize();
        for (const box &property : properties)
            if (!from && size.isEmpty()
                && (property.type == QByteArrayView("hvcC")
                    || property.type == QByteArrayView("av1C")))
                size = codedsize(kind, property.body);
        for (const box &property : properties)
            if (!from && size.isEmpty() && property.type == QByteArrayView("ispe")
                && property.body.size() >= 12)
                size = QSize(int(qMin<quint32>(number(property.body, 4, 4), INT_MAX)),
                    int(qMin<quint32>(number(property.body, 8, 4), INT_MAX)));
        for (const box &property : properties) {
            if (property.type == QByteArrayView("clap"))
                size = cropped(size, property.body);
            else if (property.type == QByteArrayView("irot") && !property.body.isEmpty()
                && property.body[0] & 1)
                size.transpose();
            if (property.type == QByteArrayView("clap") || property.type == QByteArrayView("irot")
                || property.type == QByteArrayView("imir"))
                *transformed = true;
        }
        return size;
    }
};

} // namespace

picture primary(QIODevice *device, qint64 start, qint64 size, const coding &codedsize)
{
    picture found;
    const qint64 was = device->pos();
    const QByteArray body = metaof(device, start, size);
    device->seek(was);
    if (body.size() < 4)
        return found;
    const items file { QByteArrayView(body).sliced(4), boxesin(QByteArrayView(body).sliced(4)) };
    const box pitm = first(file.inside, "pitm");
    if (pitm.body.size() < 6)
        return found;
    const quint32 item = number(pitm.body, 4, pitm.body[0] ? 4 : 2);
    found.type = file.type(item);
    found.shown = file.shown(item, codedsize, &found.transformed);
    return found;
}

} // namespace boxes
