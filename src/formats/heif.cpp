// HEIF (HEIC) and AVIF pictures, read with libheif: the primary image, upright and cropped as the
// file says, in its own colour space.

#include "boxes.h"
#include "codecs.h"
#include "colour.h"
#include "owned.h"
#include "parallel.h"
#include "pixels.h"
#include "reader.h"

#include <QIODevice>
#include <QImageIOPlugin>
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
    bool read(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    QColorSpace colourspace(const heif_image *image, colour::curve *light) const;

    source file;
    bool untransformed = false; // one coded picture that nothing turns, mirrors or crops
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
    const boxes::picture described
        = boxes::primary(file.device, file.start, file.size, codecs::codedsize);
    untransformed = !described.transformed
        && (described.type == QByteArrayView("hvc1") || described.type == QByteArrayView("av01"));
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
    whole = described.shown.isEmpty()
        ? QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle))
        : described.shown;
    // A grid or an overlay says its own size besides the size the picture declares: from here on
    // libheif takes no picture longer on a side than the one declared, give or take the tiles
    // (of up to 512 pixels) it is coded in.
    const int longest = qMax(qMax(whole.width(), whole.height()),
        qMax(heif_image_handle_get_ispe_width(handle), heif_image_handle_get_ispe_height(handle)));
    heif_context_set_maximum_image_size_limit(context.get(), (qMax(longest, 0) / 512 + 2) * 512);
    return pixels::allowed(whole);
}

// The picture's colour space: its ICC profile, or else its colour description (the file's, or the
// stream's). HDR transfers are written as linear light.
QColorSpace heifhandler::colourspace(const heif_image *image, colour::curve *light) const
{
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(primary.get());
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        QByteArray icc(qsizetype(heif_image_handle_get_raw_color_profile_size(primary.get())), 0);
        if (!icc.isEmpty()
            && !heif_image_handle_get_raw_color_profile(primary.get(), icc.data()).code)
            return QColorSpace::fromIccProfile(icc);
        return QColorSpace();
    }
    described nclx = describedby(primary.get(), heif_image_handle_get_nclx_color_profile);
    if (!nclx)
        nclx = describedby(image, heif_image_get_nclx_color_profile);
    if (!nclx)
        return QColorSpace();
    *light = colour::lightof(nclx->transfer_characteristics);
    return colour::coded(nclx->color_primaries, nclx->transfer_characteristics);
}

bool heifhandler::read(QImage *image)
{
    if (!header())
        return false;
    const int shrink = scaled.isValid() ? reader::factor(whole, scaled) : 1;
    const described nclx = describedby(primary.get(), heif_image_handle_get_nclx_color_profile);
    heif_decoding_options *options = heif_decoding_options_alloc();
    heif_image *decoded = nullptr;
    heif_error error;
    {
        const codecs::decoding asked(nclx.get(), shrink > 1 && untransformed ? shrink : 1);
        error = heif_decode_image(
            primary.get(), &decoded, heif_colorspace_undefined, heif_chroma_undefined, options);
    }
    heif_decoding_options_free(options);
    const owned<const heif_image, heif_image_release> held(decoded);
    if (error.code || !decoded)
        return false;

    pixels::meaning samples;
    QList<pixels::plane> planes;
    const heif_colorspace space = heif_image_get_colorspace(decoded);
    if (space == heif_colorspace_monochrome) {
        samples.kind = pixels::model::grey;
        planes << planeof(decoded, heif_channel_Y);
    } else if (space == heif_colorspace_RGB
        && heif_image_get_chroma_format(decoded) == heif_chroma_444) {
        for (const heif_channel channel : { heif_channel_R, heif_channel_G, heif_channel_B })
            planes << planeof(decoded, channel);
    } else {
        return false;
    }
    samples.alpha = heif_image_has_channel(decoded, heif_channel_Alpha);
    if (samples.alpha)
        planes << planeof(decoded, heif_channel_Alpha);
    samples.premultiplied = heif_image_handle_is_premultiplied_alpha(primary.get());
    for (const pixels::plane &p : std::as_const(planes))
        samples.wide = samples.wide || p.bits > 8;
    const QColorSpace colours = colourspace(decoded, &samples.light);
    // The picture, decoded reduced or not, is written at the size asked; one of other proportions
    // than the header said, in its own.
    const QSize made(heif_image_get_primary_width(decoded), heif_image_get_primary_height(decoded));
    const QSize kept = made.scaled(wanted(), Qt::KeepAspectRatio);
    const bool alike = qAbs(kept.width() - wanted().width()) <= 1
        && qAbs(kept.height() - wanted().height()) <= 1;
    QImage written = pixels::write(planes, samples, alike ? wanted() : kept);
    written.setColorSpace(colours);
    return deliver(std::move(written), image);
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
