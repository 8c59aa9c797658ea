// HEIF (HEIC) and AVIF pictures: the primary image, upright and cropped as the file says, in its
// own colour space. A coded picture, or a grid of them (as phones write photographs), is decoded
// here, tile by tile on every core, each gathered into the picture at the size asked as it comes
// and made colours as the file describes them; libheif reads the file and composes what else
// there is (overlays).

#include "boxes.h"
#include "codecs.h"
#include "colour.h"
#include "owned.h"
#include "parallel.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <QTransform>
#include <atomic>
#include <libheif/heif.h>

namespace {

// A colour description, of the file or of a decoded picture's stream. libheif makes one before it
// checks its values, and leaves it to be freed whether it says so or not.
using described = owned<heif_color_profile_nclx, heif_nclx_color_profile_free>;

// The description libheif's getter gives of a picture or of its handle; none where it is broken.
template<typename item>
described describedby(const item *of, heif_error (*get)(const item *, heif_color_profile_nclx **))
{
    heif_color_profile_nclx *made = nullptr;
    const bool good = !get(of, &made).code;
    described kept(made);
    return good ? std::move(kept) : described();
}

// The file as libheif reads it: from the device, a part at a time as it needs it (the boxes, then
// the coded picture), so that no copy of the whole file is held beside the one it decodes from.
struct source
{
    QIODevice *device = nullptr;
    qint64 start = 0;
    qint64 size = 0;
};

source &sourceof(void *data)
{
    return *static_cast<source *>(data);
}

const heif_reader fromdevice = {
    1,
    [](void *data) -> int64_t { return sourceof(data).device->pos() - sourceof(data).start; },
    [](void *into, size_t size, void *data) {
        return sourceof(data).device->read(static_cast<char *>(into), qint64(size)) == qint64(size)
            ? 0
            : 1;
    },
    [](int64_t position, void *data) {
        return sourceof(data).device->seek(sourceof(data).start + position) ? 0 : 1;
    },
    [](int64_t target, void *data) {
        return target <= sourceof(data).size ? heif_reader_grow_status_size_reached
                                             : heif_reader_grow_status_size_beyond_eof;
    },
};

pixels::plane planeof(const heif_image *image, heif_channel channel)
{
    pixels::plane made;
    if (!heif_image_has_channel(image, channel))
        return made;
    int stride = 0;
    made.data = heif_image_get_plane_readonly(image, channel, &stride);
    made.stride = stride;
    made.width = heif_image_get_width(image, channel);
    made.height = heif_image_get_height(image, channel);
    made.bits = heif_image_get_bits_per_pixel_range(image, channel);
    made.bytes = made.bits > 8 ? 2 : 1;
    return made;
}

class heifhandler : public reader::handler
{
public:
    heifhandler()
        : handler("heif", recognises)
    { }
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    QImage gathered(QSize size, bool reduced, colour::curve *light, boxes::description *used) const;
    pixels::meaning meaningof(
        const codecs::frame &first, const boxes::description &used, colour::curve light) const;
    QImage shown(colour::curve *light, boxes::description *used) const;
    QImage composed() const;
    profiles::described colourspace(const boxes::description &coded, colour::curve *light) const;

    source file;
    std::optional<boxes::layout> made; // how the primary picture is made, where it is decoded here
    owned<heif_context, heif_context_free> context;
    owned<const heif_image_handle, heif_image_handle_release> primary;
};

bool heifhandler::recognises(QIODevice *device)
{
    const QByteArray start = device->peek(256);
    const auto *data = reinterpret_cast<const uint8_t *>(start.constData());
    const int size = int(start.size());
    const heif_filetype_result type
        = size < 12 ? heif_filetype_no : heif_check_filetype(data, size);
    if (type == heif_filetype_no || type == heif_filetype_yes_supported)
        return type == heif_filetype_yes_supported;
    // Files that name HEIF images in general as their brand (mif1, as cameras and many encoders
    // write), which libheif calls only possible, are taken when they list a brand it reads.
    for (const char *brand : { "heic", "heix", "avif", "mif1" })
        if (heif_has_compatible_brand(data, size, brand) == 1)
            return true;
    return false;
}

bool heifhandler::readheader()
{
    codecs::registered();
    file.device = seekable();
    if (!file.device)
        return false;
    file.start = file.device->pos();
    file.size = file.device->size() - file.start;
    boxes::contents boxed = boxes::read(file.device, file.start, file.size, codecs::codedsize);
    const boxes::picture &described = boxed.primary;
    // libheif would decode such a picture alone.
    if (described.predicted)
        return false;
    made = std::move(boxed.made);
    context.reset(heif_context_alloc());
    if (!context)
        return false;
    heif_context_set_max_decoding_threads(context.get(), cores());
    if (heif_context_read_from_reader(context.get(), &fromdevice, &file, nullptr).code)
        return false;
    heif_image_handle *handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code || !handle)
        return false;
    primary.reset(handle);
    // libheif takes the size from whichever of the size, crop and rotation it reads last, and
    // writers list the size before or after the others; the boxes say the size as shown.
    whole = made ? boxes::changed(made->size, made->changes)
        : described.shown.isEmpty()
        ? QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle))
        : described.shown;
    // A grid or an overlay says its own size besides the size the picture declares: from here on
    // libheif takes no picture longer on a side than the one declared, give or take the tiles
    // (of up to 512 pixels) it is coded in.
    const int longest = qMax(qMax(whole.width(), whole.height()),
        qMax(heif_image_handle_get_ispe_width(handle), heif_image_handle_get_ispe_height(handle)));
    heif_context_set_maximum_image_size_limit(context.get(), (qMax(longest, 0) / 512 + 2) * 512);
    return pixels::allowed(whole) && (!made || pixels::allowed(made->size));
}

// The picture's colour space: its ICC profile, or else its colour description. HDR transfers are
// written as linear light.
profiles::described heifhandler::colourspace(
    const boxes::description &coded, colour::curve *light) const
{
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(primary.get());
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        QByteArray icc(qsizetype(heif_image_handle_get_raw_color_profile_size(primary.get())), 0);
        if (!icc.isEmpty()
            && !heif_image_handle_get_raw_color_profile(primary.get(), icc.data()).code)
            return { icc, QColorSpace() };
        return {};
    }
    *light = colour::lightof(coded.transfer);
    return { QByteArray(), colour::coded(coded.primaries, coded.transfer) };
}

// One coded tile of a layout; a tile of a grid on a core of its own, a single picture on every
// core.
std::unique_ptr<codecs::frame> decodetile(const boxes::layout &from, int index, bool reduced)
{
    const boxes::layout::tile &tile = from.tiles[index];
    return codecs::decode(
        tile.type, tile.config, tile.data, from.tiles.size() > 1 ? 1 : cores(), reduced);
}

// The grids of a layout's channels over the whole picture, from its first tile, which says what
// its samples are: their bits, and the colour planes' subsampling. A single picture is as large as
// its stream decodes (a stream of layers whose later layers are missing decodes smaller); a grid,
// as it says. Alpha (channel 3) takes the first plane alone.
bool gridsof(const boxes::layout &from, int channel, const codecs::frame *first,
    QList<pixels::gatherer::grid> &grids)
{
    if (!first || first->planes.isEmpty() || (channel == 0 && first->planes.size() == 2))
        return false;
    const pixels::plane &luma = first->planes[0];
    const QSize size = from.tiles.size() == 1 ? QSize(luma.width, luma.height) : from.size;
    for (qsizetype c = 0; c < (channel == 3 ? 1 : first->planes.size()); ++c) {
        const pixels::plane &p = first->planes[c];
        // Colour planes are subsampled by two, or not at all.
        const int across = p.width < luma.width ? 2 : 1;
        const int down = p.height < luma.height ? 2 : 1;
        grids.append(
            { QSize((size.width() + across - 1) / across, (size.height() + down - 1) / down),
                p.bits });
    }
    return true;
}

// A tile's plane, where the tile lies in its channel's grid, cut where the grid ends.
bool addplane(pixels::gatherer &into, int channel, const pixels::gatherer::grid &grid,
    const pixels::plane &plane, int column, int row)
{
    if (plane.bits != grid.bits)
        return false;
    const int x = column * plane.width, y = row * plane.height;
    const int count = qMin(plane.width, grid.size.width() - x);
    for (int r = 0; r < qMin(plane.height, grid.size.height() - y) && count > 0; ++r) {
        const uchar *line = plane.data + qsizetype(r) * plane.stride;
        if (plane.bytes == 1)
            into.add(channel, y + r, x, count, line);
        else
            into.add(channel, y + r, x, count, reinterpret_cast<const quint16 *>(line));
    }
    return true;
}

// One part of the picture: the colours, whose channels start at 0, or the alpha, at 3.
struct part
{
    const boxes::layout *from = nullptr;
    int channel = 0;
    std::unique_ptr<codecs::frame> first;
};

// The tiles of a part gathered into the picture: the first, already decoded, then the others,
// each on a core of its own.
bool gatherpart(pixels::gatherer &into, const QList<pixels::gatherer::grid> &grids, part &p,
    qsizetype colours, bool reduced)
{
    const qsizetype planes = p.channel == 3 ? 1 : colours;
    const auto add = [&](int index, const codecs::frame &frame) {
        const int column = index % p.from->columns, row = index / p.from->columns;
        if (frame.planes.size() < planes)
            return false;
        for (qsizetype c = 0; c < planes; ++c) {
            const int k = int(p.channel + c);
            if (!addplane(into, k, grids[k], frame.planes[c], column, row))
                return false;
        }
        return true;
    };
    std::atomic_bool broken = !add(0, *p.first);
    p.first.reset();
    inparallel(
        int(p.from->tiles.size()) - 1,
        [&](int begin, int end) {
            for (int i = begin + 1; i < end + 1 && !broken; ++i) {
                const std::unique_ptr<codecs::frame> frame = decodetile(*p.from, i, reduced);
                if (!frame || !add(i, *frame))
                    broken = true;
            }
        },
        1);
    return !broken;
}

// What the samples of the first tile mean, as the file describes them. Grey samples are shown as
// they are, whatever range they say, as libheif shows them.
pixels::meaning heifhandler::meaningof(
    const codecs::frame &first, const boxes::description &used, colour::curve light) const
{
    pixels::meaning samples;
    const bool grey = first.planes.size() == 1;
    samples.kind = grey ? pixels::model::grey : pixels::model::ycc;
    samples.full = grey || used.full;
    samples.weights = colour::matrix(used.matrix);
    samples.light = light;
    samples.wide = first.planes[0].bits > 8;
    samples.alpha = bool(made->alpha);
    samples.premultiplied = heif_image_handle_is_premultiplied_alpha(primary.get());
    return samples;
}

// The layout's coded pictures decoded and gathered into a picture of a size, before its changes:
// one picture on every core, or the tiles of a grid side by side, each on a core of its own, and
// its alpha likewise. The colours are made as the file describes them, or else as the first
// tile's stream does.
QImage heifhandler::gathered(
    QSize size, bool reduced, colour::curve *light, boxes::description *used) const
{
    std::vector<part> parts;
    parts.push_back({ &*made, 0, nullptr });
    if (made->alpha)
        parts.push_back({ made->alpha.get(), 3, nullptr });
    QList<pixels::gatherer::grid> grids;
    for (part &p : parts) {
        p.first = decodetile(*p.from, 0, reduced);
        if (!gridsof(*p.from, p.channel, p.first.get(), grids))
            return QImage();
    }
    const codecs::frame &first = *parts[0].first;
    const qsizetype colours = first.planes.size();
    *used = made->described.value_or(
        boxes::description { first.primaries, first.transfer, first.matrix, first.full });
    *light = colour::lightof(used->transfer);
    // Green, blue and red as they are (the identity matrix) come only at the picture's resolution.
    if (colours == 3 && used->matrix == colour::code::identity
        && (grids[1].size != made->size || grids[2].size != made->size))
        return QImage();
    pixels::gatherer into(size, meaningof(first, *used, *light), grids);
    if (!into.valid())
        return QImage();
    for (part &p : parts)
        if (!gatherpart(into, grids, p, colours, reduced))
            return QImage();
    return into.finish();
}

// The primary picture as libheif composes it, made RGB by libheif.
QImage heifhandler::composed() const
{
    heif_decoding_options *options = heif_decoding_options_alloc();
    heif_image *decoded = nullptr;
    const heif_error error = heif_decode_image(
        primary.get(), &decoded, heif_colorspace_undefined, heif_chroma_undefined, options);
    heif_decoding_options_free(options);
    const owned<const heif_image, heif_image_release> held(decoded);
    if (error.code || !decoded)
        return QImage();
    pixels::meaning samples;
    QList<pixels::plane> planes;
    const heif_colorspace space = heif_image_get_colorspace(decoded);
    if (space == heif_colorspace_monochrome) {
        samples.kind = pixels::model::grey;
        samples.full = true;
        planes << planeof(decoded, heif_channel_Y);
    } else if (space == heif_colorspace_RGB
        && heif_image_get_chroma_format(decoded) == heif_chroma_444) {
        for (const heif_channel channel : { heif_channel_R, heif_channel_G, heif_channel_B })
            planes << planeof(decoded, channel);
    } else {
        return QImage();
    }
    samples.alpha = heif_image_has_channel(decoded, heif_channel_Alpha);
    if (samples.alpha)
        planes << planeof(decoded, heif_channel_Alpha);
    samples.premultiplied = heif_image_handle_is_premultiplied_alpha(primary.get());
    for (const pixels::plane &p : std::as_const(planes))
        samples.wide = samples.wide || p.bits > 8;
    const described nclx = describedby(decoded, heif_image_get_nclx_color_profile);
    // libheif gives the picture the file's colour description, or else its stream's.
    boxes::description coded;
    if (nclx)
        coded = { nclx->color_primaries, nclx->transfer_characteristics, 0, true };
    const profiles::described colours = colourspace(coded, &samples.light);
    // The picture, of other proportions than the header said or not, is written at its own size.
    const QSize size(heif_image_get_primary_width(decoded), heif_image_get_primary_height(decoded));
    QImage written = pixels::write(planes, samples, size);
    profiles::apply(written, colours);
    return written;
}

// The picture's changes made in the order the file gives them, to a picture gathered at `across`
// and `down` of its pixels.
QImage applied(QImage picture, const QList<boxes::change> &changes, double across, double down)
{
    for (const boxes::change &c : changes) {
        if (picture.isNull())
            break;
        if (c.kind == boxes::change::crop) {
            picture = picture.copy(QRectF(c.kept.x() * across, c.kept.y() * down,
                c.kept.width() * across, c.kept.height() * down)
                                       .toRect());
        } else if (c.kind == boxes::change::turn) {
            picture = picture.transformed(QTransform().rotate(-90 * c.quarters));
            if (c.quarters & 1)
                std::swap(across, down);
        } else {
            picture = picture.mirrored(c.leftright, !c.leftright);
        }
    }
    return picture;
}

// The picture made here, gathered at the size that its changes bring to the size asked.
QImage heifhandler::shown(colour::curve *light, boxes::description *used) const
{
    const QSize asked = wanted();
    double across = double(asked.width()) / whole.width();
    double down = double(asked.height()) / whole.height();
    if (boxes::sideways(made->changes))
        std::swap(across, down);
    const QSize size(qMax(1, int(std::lround(made->size.width() * across))),
        qMax(1, int(std::lround(made->size.height() * down))));
    const QImage picture = gathered(size, across <= 0.5 && down <= 0.5, light, used);
    return applied(picture, made->changes, across, down);
}

bool heifhandler::readimage(QImage *image)
{
    if (!header())
        return false;
    if (!made)
        return deliver(composed(), image);
    colour::curve light = colour::curve::plain;
    boxes::description used;
    QImage picture = shown(&light, &used);
    if (!picture.isNull())
        profiles::apply(picture, colourspace(used, &light));
    return deliver(std::move(picture), image);
}

} // namespace

class heifplugin : public reader::plugin<heifhandler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "heif.json")

public:
    heifplugin()
        : plugin({ "heif", "heic", "avif" })
    { }
};

#include "heif.moc"
