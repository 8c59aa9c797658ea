#include "boxes.h"

#include <QIODevice>
#include <QList>
#include <algorithm>
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

// A big-endian number of 0 to 8 bytes at a place in a box's body; 0 past its end.
quint64 number64(QByteArrayView body, qsizetype at, int bytes)
{
    if (at < 0 || at + bytes > body.size())
        return 0;
    quint64 value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | uchar(body[at + i]);
    return value;
}

// The same of 1, 2 or 4 bytes.
quint32 number(QByteArrayView body, qsizetype at, int bytes)
{
    return quint32(number64(body, at, bytes));
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

// The part of a picture a clean aperture keeps, as libheif crops the picture to it: the columns
// and rows between the aperture's edges, each rounded, about the picture's centre moved by the
// aperture's offset.
QRect croparea(QSize picture, QByteArrayView clap)
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
        return std::pair(from, to - from + 1);
    };
    if (clap.size() < 32 || picture.isEmpty())
        return QRect(QPoint(), picture);
    const auto [left, width] = side(picture.width(), fraction(0, false), fraction(16, true));
    const auto [top, height] = side(picture.height(), fraction(8, false), fraction(24, true));
    return QRect(left, top, width, height);
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

    // The items an item refers to by a kind of reference, in order.
    QList<quint32> references(quint32 item, const char *kind) const
    {
        QList<quint32> found;
        const box iref = first(inside, "iref");
        if (iref.body.size() < 4)
            return found;
        const int idbytes = iref.body[0] ? 4 : 2;
        for (const box &reference : boxesin(iref.body.sliced(4)))
            if (reference.type == QByteArrayView(kind)
                && number(reference.body, 0, idbytes) == item) {
                const quint32 count = number(reference.body, idbytes, 2);
                for (quint32 i = 0; i < count && found.size() < boxlimit; ++i)
                    found << number(reference.body, idbytes + 2 + qsizetype(i) * idbytes, idbytes);
            }
        return found;
    }

    // The first item a derived item is made from; 0 for none.
    quint32 input(quint32 item) const
    {
        const QList<quint32> from = references(item, "dimg");
        return from.isEmpty() ? 0 : from.first();
    }

    // The item that is an item's alpha: an auxiliary item of the alpha kind referring to it.
    quint32 alphaof(quint32 item) const
    {
        const box iref = first(inside, "iref");
        if (iref.body.size() < 4)
            return 0;
        const int idbytes = iref.body[0] ? 4 : 2;
        for (const box &reference : boxesin(iref.body.sliced(4))) {
            const quint32 from = number(reference.body, 0, idbytes);
            if (reference.type != QByteArrayView("auxl")
                || !references(from, "auxl").contains(item))
                continue;
            for (const box &property : propertiesof(meta, from))
                if (property.type == QByteArrayView("auxC") && property.body.size() > 4) {
                    const QByteArrayView urn = property.body.sliced(4);
                    if (urn.startsWith("urn:mpeg:mpegB:cicp:systems:auxiliary:alpha")
                        || urn.startsWith("urn:mpeg:hevc:2015:auxid:1"))
                        return from;
                }
        }
        return 0;
    }

    // The file's bytes, `room` from `start` on the device.
    struct file
    {
        QIODevice *device;
        qint64 start;
        qint64 room;
    };

    // One extent of an item's data appended: from the meta box's own data (method 1) or from the
    // file (0); false where it cannot be read or is over the limit.
    bool append(QByteArray &made, int method, quint64 offset, quint64 length, const file &in) const
    {
        if (length > quint64(metalimit) * 8 || made.size() + qint64(length) > metalimit * 8)
            return false;
        if (method == 1) {
            const QByteArrayView idat = first(inside, "idat").body;
            if (offset + length > quint64(idat.size()))
                return false;
            made += idat.sliced(qsizetype(offset), qsizetype(length)).toByteArray();
            return true;
        }
        if (method != 0 || length == 0 || offset + length > quint64(in.room)
            || !in.device->seek(in.start + qint64(offset)))
            return false;
        const QByteArray read = in.device->read(qint64(length));
        made += read;
        return read.size() == qint64(length);
    }

    // An item's data, from the file or from the meta box's own data, as its location says; empty
    // where it cannot be read or is over the limit.
    QByteArray data(quint32 item, QIODevice *device, qint64 start, qint64 room) const
    {
        const box iloc = first(inside, "iloc");
        const QByteArrayView body = iloc.body;
        if (body.size() < 8)
            return QByteArray();
        const int version = body[0];
        const int offsetsize = uchar(body[4]) >> 4, lengthsize = body[4] & 15;
        const int basesize = uchar(body[5]) >> 4, indexsize = version ? body[5] & 15 : 0;
        const int idbytes = version < 2 ? 2 : 4;
        qsizetype at = 6;
        const quint32 count = number(body, at, idbytes);
        at += idbytes;
        for (quint32 i = 0; i < count && at < body.size(); ++i) {
            const quint32 id = number(body, at, idbytes);
            at += idbytes;
            const int method = version ? number(body, at, 2) & 15 : 0;
            at += version ? 2 : 0;
            at += 2; // the data reference
            const quint64 base = number64(body, at, basesize);
            at += basesize;
            const quint32 extents = number(body, at, 2);
            at += 2;
            QByteArray made;
            for (quint32 e = 0; e < extents && at < body.size(); ++e) {
                at += indexsize;
                const quint64 offset = base + number64(body, at, offsetsize);
                at += offsetsize;
                const quint64 length = number64(body, at, lengthsize);
                at += lengthsize;
                if (id != item)
                    continue;
                if (!append(made, method, offset, length, { device, start, room }))
                    return QByteArray();
            }
            if (id == item)
                return made;
        }
        return QByteArray();
    }

    // The colour description an item's properties give, if they give one.
    std::optional<description> describedby(quint32 item) const
    {
        for (const box &property : propertiesof(meta, item))
            if (property.type == QByteArrayView("colr") && property.body.size() >= 11
                && property.body.startsWith("nclx"))
                return description { int(number(property.body, 4, 2)),
                    int(number(property.body, 6, 2)), int(number(property.body, 8, 2)),
                    (uchar(property.body[10]) & 0x80) != 0 };
        return std::nullopt;
    }

    // How an item is made from coded pictures; nothing for an item made otherwise.
    std::optional<layout> made(quint32 item, QIODevice *device, qint64 start, qint64 room,
        const coding &codedsize, int depth = 0) const
    {
        const QByteArray kind = type(item);
        const QList<box> properties = propertiesof(meta, item);
        std::optional<layout> built;
        if (kind == "iden" && depth < 8) {
            built = made(input(item), device, start, room, codedsize, depth + 1);
            if (built && describedby(item))
                built->described = describedby(item);
        } else if (kind == "grid") {
            built = grid(item, device, start, room, codedsize);
        } else if (kind == "hvc1" || kind == "av01") {
            built = layout();
            built->tiles << coded(item, device, start, room);
            built->size = codedsize(kind, built->tiles[0].config, built->tiles[0].data);
            built->described = describedby(item);
            if (built->tiles[0].data.isEmpty() || built->size.isEmpty())
                return std::nullopt;
        }
        if (!built)
            return std::nullopt;
        built->changes << changesof(properties, changed(built->size, built->changes));
        return built;
    }

    // The crops, turns and mirrors an item's own properties make to a picture of `size`, in the
    // order the file associates them.
    static QList<change> changesof(const QList<box> &properties, QSize size)
    {
        QList<change> changes;
        for (const box &property : properties) {
            change next;
            if (property.type == QByteArrayView("clap")) {
                next.kept = croparea(changed(size, changes), property.body);
            } else if (property.type == QByteArrayView("irot") && !property.body.isEmpty()) {
                next.kind = change::turn;
                next.quarters = property.body[0] & 3;
            } else if (property.type == QByteArrayView("imir") && !property.body.isEmpty()) {
                next.kind = change::mirror;
                next.leftright = (property.body[0] & 1) != 0;
            } else {
                continue;
            }
            changes << next;
        }
        return changes;
    }

    layout::tile coded(quint32 item, QIODevice *device, qint64 start, qint64 room) const
    {
        layout::tile made { type(item), QByteArray(), data(item, device, start, room) };
        for (const box &property : propertiesof(meta, item))
            if (property.type == QByteArrayView("hvcC") || property.type == QByteArrayView("av1C"))
                made.config = property.body.toByteArray();
        return made;
    }

    // A grid of coded pictures, each unchanged by properties of its own, cut to the grid's size.
    std::optional<layout> grid(
        quint32 item, QIODevice *device, qint64 start, qint64 room, const coding &codedsize) const
    {
        const QByteArray descriptor = data(item, device, start, room);
        if (descriptor.size() < 8)
            return std::nullopt;
        const bool wide = descriptor[1] & 1;
        const int rows = uchar(descriptor[2]) + 1;
        layout built;
        built.columns = uchar(descriptor[3]) + 1;
        built.size = QSize(int(qMin<quint32>(number(descriptor, 4 + 0, wide ? 4 : 2), INT_MAX)),
            int(qMin<quint32>(number(descriptor, wide ? 8 : 6, wide ? 4 : 2), INT_MAX)));
        const QList<quint32> tiles = references(item, "dimg");
        if (tiles.size() != rows * built.columns || built.size.isEmpty())
            return std::nullopt;
        built.described = describedby(item);
        QSize tilesize;
        for (const quint32 tile : tiles) {
            built.tiles << coded(tile, device, start, room);
            const layout::tile &last = built.tiles.last();
            const QSize size = codedsize(last.type, last.config, last.data);
            for (const box &property : propertiesof(meta, tile))
                if (property.type == QByteArrayView("clap")
                    || property.type == QByteArrayView("irot")
                    || property.type == QByteArrayView("imir"))
                    return std::nullopt;
            if (last.data.isEmpty() || size.isEmpty() || (!tilesize.isEmpty() && size != tilesize))
                return std::nullopt;
            tilesize = size;
            if (!built.described)
                built.described = describedby(tile);
        }
        // The tiles cover the grid, which cuts the last column and row.
        if (tilesize.width() * built.columns < built.size.width()
            || tilesize.height() * rows < built.size.height())
            return std::nullopt;
        return built;
    }

    // Whether an item, or a picture it is made from, is coded as a change to other coded
    // pictures (an image sequence stored as items), which it names and which must be decoded
    // first; alone, it decodes to noise.
    bool predicted(quint32 item, int depth = 0) const
    {
        if (!references(item, "pred").isEmpty())
            return true;
        for (const box &property : propertiesof(meta, item))
            if (property.type == QByteArrayView("rref"))
                return true;
        const QList<quint32> from = depth < 8 ? references(item, "dimg") : QList<quint32>();
        return std::any_of(
            from.cbegin(), from.cend(), [&](quint32 input) { return predicted(input, depth + 1); });
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
                size = codedsize(kind, property.body, QByteArrayView());
        for (const box &property : properties)
            if (!from && size.isEmpty() && property.type == QByteArrayView("ispe")
                && property.body.size() >= 12)
                size = QSize(int(qMin<quint32>(number(property.body, 4, 4), INT_MAX)),
                    int(qMin<quint32>(number(property.body, 8, 4), INT_MAX)));
        const QList<change> changes = changesof(properties, size);
        *transformed = *transformed || !changes.isEmpty();
        return changed(size, changes);
    }
};

// The file's meta box, read from the device, which is left where it was.
std::optional<items> itemsof(QIODevice *device, qint64 start, qint64 size, QByteArray *body)
{
    const qint64 was = device->pos();
    *body = metaof(device, start, size);
    device->seek(was);
    if (body->size() < 4)
        return std::nullopt;
    const QByteArrayView meta = QByteArrayView(*body).sliced(4);
    return items { meta, boxesin(meta) };
}

quint32 primaryof(const items &file)
{
    const box pitm = first(file.inside, "pitm");
    return pitm.body.size() < 6 ? 0 : number(pitm.body, 4, pitm.body[0] ? 4 : 2);
}

} // namespace

QSize changed(QSize size, const QList<change> &changes)
{
    for (const change &c : changes)
        if (c.kind == change::crop)
            size = c.kept.size();
        else if (c.kind == change::turn && c.quarters & 1)
            size.transpose();
    return size;
}

bool sideways(const QList<change> &changes)
{
    int quarters = 0;
    for (const change &c : changes)
        quarters += c.kind == change::turn ? c.quarters : 0;
    return quarters & 1;
}

namespace {

// How the primary picture is made, and its alpha likewise; the device is left where it was.
std::optional<layout> layoutof(const items &file, quint32 item, QIODevice *device, qint64 start,
    qint64 size, const coding &codedsize)
{
    const qint64 was = device->pos();
    std::optional<layout> built = file.made(item, device, start, size, codedsize);
    if (built) {
        const quint32 alpha = file.alphaof(item);
        std::optional<layout> mask
            = alpha ? file.made(alpha, device, start, size, codedsize) : std::nullopt;
        if (alpha && (!mask || !mask->changes.isEmpty()))
            built.reset();
        else if (mask)
            built->alpha = std::make_shared<layout>(std::move(*mask));
    }
    device->seek(was);
    return built;
}

} // namespace

contents read(QIODevice *device, qint64 start, qint64 size, const coding &codedsize)
{
    contents found;
    QByteArray body;
    const std::optional<items> file = itemsof(device, start, size, &body);
    if (!file)
        return found;
    const quint32 item = primaryof(*file);
    found.primary.type = file->type(item);
    found.primary.shown = file->shown(item, codedsize, &found.primary.transformed);
    found.primary.predicted = file->predicted(item);
    if (!found.primary.predicted)
        found.made = layoutof(*file, item, device, start, size, codedsize);
    return found;
}

} // namespace boxes
