// HEIF (HEIC) and AVIF pictures, read with libheif: the primary image, upright and cropped as the
// file says, in its own colour space.

#include "samples.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <QThread>
#include <cstring>
#include <libde265/de265.h>
#include <libheif/heif.h>
#include <libheif/heif_plugin.h>
#include <memory>
#include <mutex>

namespace {

// Files larger than this are not read at all: no picture this viewer could decode needs more.
constexpr qint64 filelimit = qint64(512) << 20;
// A picture is at most this long on a side (65535 x 1 is the same allocation as 256 x 256).
constexpr int sidelimit = 65535;

// libheif decodes HEVC with libde265 on one thread; the same decoder given a worker for each core
// decodes the rows of a picture in parallel where the encoder allowed it (as x265 does by
// default), and libheif decodes the tiles of a grid in parallel as well.
namespace hevc {

heif_error ok()
{
    return { heif_error_Ok, heif_suberror_Unspecified, "Success" };
}

heif_error failure(const char *why)
{
    return { heif_error_Decoder_plugin_error, heif_suberror_Unspecified, why };
}

const char *name()
{
    return "libde265 on every core";
}

int supports(heif_compression_format format)
{
    return format == heif_compression_HEVC ? 200 : 0;
}

heif_error create(void **decoder)
{
    de265_decoder_context *context = de265_new_decoder();
    if (!context)
        return failure("no decoder");
    de265_start_worker_threads(context, qMax(1, QThread::idealThreadCount()));
    *decoder = context;
    return ok();
}

void release(void *decoder)
{
    de265_free_decoder(static_cast<de265_decoder_context *>(decoder));
}

// The coded data comes as NAL units, each after its length in four bytes.
heif_error push(void *decoder, const void *data, size_t size)
{
    const auto *bytes = static_cast<const uint8_t *>(data);
    size_t at = 0;
    while (size - at >= 4) {
        const size_t unit
            = size_t(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
        at += 4;
        if (unit > size - at)
            return failure("a unit runs past the data");
        if (de265_push_NAL(
                static_cast<de265_decoder_context *>(decoder), bytes + at, int(unit), 0, nullptr)
            != DE265_OK)
            return failure("a unit is refused");
        at += unit;
    }
    return at == size ? ok() : failure("data after the last unit");
}

// The decoded picture's planes, and the colour description its stream carries, which libheif
// uses to make RGB of them where the file itself says nothing.
heif_error copy(const de265_image *picture, heif_image **out)
{
    const bool grey = de265_get_chroma_format(picture) == de265_chroma_mono;
    const int width = de265_get_image_width(picture, 0);
    const int height = de265_get_image_height(picture, 0);
    if (width <= 0 || height <= 0)
        return failure("no picture");
    heif_error error = heif_image_create(width, height,
        grey ? heif_colorspace_monochrome : heif_colorspace_YCbCr,
        heif_chroma(de265_get_chroma_format(picture)), out);
    if (error.code)
        return error;
    const heif_channel channels[] = { heif_channel_Y, heif_channel_Cb, heif_channel_Cr };
    const int bits = de265_get_bits_per_pixel(picture, 0);
    for (int c = 0; c < (grey ? 1 : 3); ++c) {
        const int w = de265_get_image_width(picture, c);
        const int h = de265_get_image_height(picture, c);
        if (w <= 0 || h <= 0 || de265_get_bits_per_pixel(picture, c) != bits)
            return failure("planes of different depths");
        error = heif_image_add_plane(*out, channels[c], w, h, bits);
        if (error.code)
            return error;
        int from = 0;
        int to = 0;
        const uint8_t *source = de265_get_image_plane(picture, c, &from);
        uint8_t *target = heif_image_get_plane(*out, channels[c], &to);
        const size_t row = size_t(w) * ((bits + 7) / 8);
        for (int y = 0; y < h; ++y)
            std::memcpy(target + size_t(y) * to, source + size_t(y) * from, row);
    }
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    if (nclx) {
        heif_nclx_color_profile_set_color_primaries(
            nclx, uint16_t(de265_get_image_colour_primaries(picture)));
        heif_nclx_color_profile_set_transfer_characteristics(
            nclx, uint16_t(de265_get_image_transfer_characteristics(picture)));
        heif_nclx_color_profile_set_matrix_coefficients(
            nclx, uint16_t(de265_get_image_matrix_coefficients(picture)));
        nclx->full_range_flag = uint8_t(de265_get_image_full_range_flag(picture));
        heif_image_set_nclx_color_profile(*out, nclx);
        heif_nclx_color_profile_free(nclx);
    }
    return ok();
}

heif_error decode(void *decoder, heif_image **out)
{
    auto *context = static_cast<de265_decoder_context *>(decoder);
    *out = nullptr;
    if (de265_flush_data(context) != DE265_OK)
        return failure("no data");
    int more = 1;
    while (more) {
        more = 0;
        if (de265_decode(context, &more) != DE265_OK)
            break;
        if (const de265_image *picture = de265_get_next_picture(context)) {
            if (*out)
                heif_image_release(*out);
            *out = nullptr;
            const heif_error error = copy(picture, out);
            de265_release_next_picture(context);
            if (error.code)
                return error;
        }
    }
    return *out ? ok() : failure("no picture decoded");
}

const heif_decoder_plugin plugin
    = { 1, name, nullptr, nullptr, supports, create, release, push, decode, nullptr, nullptr };

} // namespace hevc

void setup()
{
    static std::once_flag done;
    std::call_once(done, [] {
        heif_init(nullptr);
        heif_register_decoder_plugin(&hevc::plugin);
    });
}

struct contextfree
{
    void operator()(heif_context *context) const { heif_context_free(context); }
};
struct handlefree
{
    void operator()(heif_image_handle *handle) const { heif_image_handle_release(handle); }
};
struct imagefree
{
    void operator()(heif_image *image) const { heif_image_release(image); }
};

samples::plane planeof(const heif_image *image, heif_channel channel)
{
    samples::plane made;
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

class heifhandler : public samples::handler
{
public:
    bool canRead() const override;
    bool read(QImage *image) override;
    static bool canRead(QIODevice *device);

protected:
    bool header() override;

private:
    QColorSpace colourspace(const heif_image *image, samples::curve *light) const;

    QByteArray bytes;
    std::unique_ptr<heif_context, contextfree> context;
    std::unique_ptr<heif_image_handle, handlefree> primary;
};

bool heifhandler::canRead(QIODevice *device)
{
    if (!device)
        return false;
    const QByteArray start = device->peek(32);
    return start.size() >= 12
        && heif_check_filetype(
               reinterpret_cast<const uint8_t *>(start.constData()), int(start.size()))
        == heif_filetype_yes_supported;
}

// Once the header is read the file has been read too, and is still a picture.
bool heifhandler::canRead() const
{
    if (!primary && !canRead(device()))
        return false;
    setFormat("heif");
    return true;
}

bool heifhandler::header()
{
    if (primary || failed)
        return primary && !failed;
    failed = true;
    setup();
    if (!device() || device()->size() > filelimit)
        return false;
    bytes = device()->readAll();
    context.reset(heif_context_alloc());
    if (!context)
        return false;
    heif_context_set_maximum_image_size_limit(context.get(), sidelimit);
    heif_context_set_max_decoding_threads(context.get(), qMax(1, QThread::idealThreadCount()));
    if (heif_context_read_from_memory_without_copy(
            context.get(), bytes.constData(), size_t(bytes.size()), nullptr)
            .code)
        return false;
    heif_image_handle *handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code || !handle)
        return false;
    primary.reset(handle);
    whole = QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
    failed = !samples::allowed(whole);
    return !failed;
}

// The picture's colour space: its ICC profile, or else its colour description (the file's, or the
// stream's). HDR transfers are written as linear light.
QColorSpace heifhandler::colourspace(const heif_image *image, samples::curve *light) const
{
    const heif_color_profile_type type = heif_image_handle_get_color_profile_type(primary.get());
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        QByteArray icc(qsizetype(heif_image_handle_get_raw_color_profile_size(primary.get())), 0);
        if (!icc.isEmpty()
            && !heif_image_handle_get_raw_color_profile(primary.get(), icc.data()).code)
            return QColorSpace::fromIccProfile(icc);
        return QColorSpace();
    }
    heif_color_profile_nclx *nclx = nullptr;
    if (heif_image_handle_get_nclx_color_profile(primary.get(), &nclx).code || !nclx)
        heif_image_get_nclx_color_profile(image, &nclx);
    if (!nclx)
        return QColorSpace();
    *light = samples::lightof(nclx->transfer_characteristics);
    const QColorSpace space = samples::coded(nclx->color_primaries, nclx->transfer_characteristics);
    heif_nclx_color_profile_free(nclx);
    return space;
}

bool heifhandler::read(QImage *image)
{
    if (!header())
        return false;
    const int shrink = scaled.isValid() ? samples::factor(whole, scaled) : 1;
    heif_decoding_options *options = heif_decoding_options_alloc();
    heif_image *decoded = nullptr;
    const heif_error error = heif_decode_image(
        primary.get(), &decoded, heif_colorspace_undefined, heif_chroma_undefined, options);
    heif_decoding_options_free(options);
    const std::unique_ptr<heif_image, imagefree> pixels(decoded);
    if (error.code || !decoded)
        return false;

    samples::planes source;
    source.size
        = QSize(heif_image_get_primary_width(decoded), heif_image_get_primary_height(decoded));
    const heif_colorspace space = heif_image_get_colorspace(decoded);
    if (space == heif_colorspace_monochrome) {
        source.kind = samples::model::grey;
        source.channel[0] = planeof(decoded, heif_channel_Y);
    } else if (space == heif_colorspace_RGB
        && heif_image_get_chroma_format(decoded) == heif_chroma_444) {
        source.channel[0] = planeof(decoded, heif_channel_R);
        source.channel[1] = planeof(decoded, heif_channel_G);
        source.channel[2] = planeof(decoded, heif_channel_B);
    } else {
        return false;
    }
    source.alpha = planeof(decoded, heif_channel_Alpha);
    source.premultiplied = heif_image_handle_is_premultiplied_alpha(primary.get());
    const QColorSpace colours = colourspace(decoded, &source.light);
    QImage written = samples::write(source, qMax(1, shrink));
    if (written.isNull())
        return false;
    written.setColorSpace(colours);
    if (scaled.isValid() && written.size() != scaled)
        written = written.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    *image = std::move(written);
    return true;
}

} // namespace

class heifplugin : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "heif.json")

public:
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override
    {
        if (format == "heif" || format == "heic" || format == "avif")
            return CanRead;
        return format.isEmpty() && heifhandler::canRead(device) ? CanRead : Capabilities();
    }
    QImageIOHandler *create(QIODevice *device, const QByteArray &format) const override
    {
        auto *handler = new heifhandler;
        handler->setDevice(device);
        handler->setFormat(format.isEmpty() ? QByteArray("heif") : format);
        return handler;
    }
};

#include "heif.moc"
