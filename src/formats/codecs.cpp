#include "codecs.h"

#include "parallel.h"
#include "pixels.h"
#include "reader.h"

#include <QImageReader>
#include <climits>
#include <cstring>
#include <dav1d/dav1d.h>
#include <libde265/de265.h>
#include <libheif/heif_plugin.h>
#include <mutex>
#include <vector>

namespace codecs {

namespace {

pixels::plane planeof(const uint8_t *data, int stride, int width, int height, int bits)
{
    pixels::plane made;
    made.data = data;
    made.stride = stride;
    made.width = width;
    made.height = height;
    made.bits = bits;
    made.bytes = bits > 8 ? 2 : 1;
    return made;
}

// HEVC, with libde265. The coded data comes as NAL units, each after its length; the sequence
// parameter set among them says the picture's size.
namespace hevc {

// Reads the bits of a unit's payload, with the bytes that keep it from looking like a start code
// left out.
class bits
{
public:
    bits(const uint8_t *data, size_t size)
    {
        for (size_t i = 0; i < size && payload.size() < 256; ++i) {
            if (data[i] == 3 && zeros >= 2) {
                zeros = 0;
                continue;
            }
            zeros = data[i] ? 0 : zeros + 1;
            payload.push_back(data[i]);
        }
    }
    quint32 read(int count)
    {
        quint32 value = 0;
        while (count-- > 0) {
            if (at >= payload.size() * 8) {
                broken = true;
                return 0;
            }
            value = value << 1 | ((payload[at / 8] >> (7 - at % 8)) & 1);
            ++at;
        }
        return value;
    }
    quint32 golomb()
    {
        int leading = 0;
        while (!read(1) && !broken)
            if (++leading > 31) {
                broken = true;
                return 0;
            }
        return quint32((quint64(1) << leading) - 1 + read(leading));
    }
    bool broken = false;

private:
    std::vector<uint8_t> payload;
    size_t at = 0;
    int zeros = 0;
};

// The luma size a sequence parameter set (after its two-byte unit header) declares, as coded or
// as cropped to its conformance window; empty when it cannot be read.
QSize declared(const uint8_t *unit, size_t size, bool cropped = false)
{
    if (size < 3)
        return QSize();
    bits in(unit + 2, size - 2);
    in.read(4);
    const int sublayers = int(in.read(3));
    in.read(1);
    in.read(88); // the general profile
    in.read(8); // and level
    bool profile[8] = {};
    bool level[8] = {};
    for (int i = 0; i < sublayers; ++i) {
        profile[i] = in.read(1);
        level[i] = in.read(1);
    }
    if (sublayers > 0)
        for (int i = sublayers; i < 8; ++i)
            in.read(2);
    for (int i = 0; i < sublayers; ++i) {
        if (profile[i])
            in.read(88);
        if (level[i])
            in.read(8);
    }
    in.golomb();
    const quint32 chroma = in.golomb();
    if (chroma == 3)
        in.read(1);
    quint64 width = in.golomb();
    quint64 height = in.golomb();
    if (cropped && in.read(1)) {
        const quint64 across = chroma == 1 || chroma == 2 ? 2 : 1;
        const quint64 down = chroma == 1 ? 2 : 1;
        const quint64 left = in.golomb(), right = in.golomb();
        const quint64 top = in.golomb(), bottom = in.golomb();
        width -= qMin(width, across * (left + right));
        height -= qMin(height, down * (top + bottom));
    }
    if (in.broken || width > quint64(INT_MAX) || height > quint64(INT_MAX))
        return QSize();
    return QSize(int(width), int(height));
}

// The parameter sets of a decoder configuration (hvcC), each with its type; none if the record
// is cut short.
QList<std::pair<int, QByteArrayView>> parametersets(QByteArrayView config)
{
    constexpr qsizetype header = 23;
    QList<std::pair<int, QByteArrayView>> sets;
    if (config.size() < header)
        return sets;
    qsizetype at = header;
    for (int arrays = uchar(config[header - 1]); arrays > 0; --arrays) {
        if (at + 3 > config.size())
            return {};
        const int type = config[at] & 0x3f;
        int units = uchar(config[at + 1]) << 8 | uchar(config[at + 2]);
        at += 3;
        for (; units > 0; --units) {
            const qsizetype length
                = at + 2 <= config.size() ? uchar(config[at]) << 8 | uchar(config[at + 1]) : -1;
            at += 2;
            if (length < 0 || at + length > config.size())
                return {};
            sets.append({ type, config.sliced(at, length) });
            at += length;
        }
    }
    return sets;
}

// The size a decoder configuration (hvcC) declares: that of its first sequence parameter set.
QSize configured(QByteArrayView config)
{
    for (const auto &[type, set] : parametersets(config))
        if (type == 33)
            return declared(
                reinterpret_cast<const uint8_t *>(set.data()), size_t(set.size()), true);
    return QSize();
}

// A decoder, with its worker threads; its picture stays with it until it is freed.
class decoder : public frame
{
public:
    decoder(int threads, bool reduced)
        : context(de265_new_decoder())
    {
        if (!context)
            return;
        de265_start_worker_threads(context, qMax(1, threads));
        // A picture decoded to be reduced skips the sample offsets: their few levels on some
        // samples vanish in the block averages (under a tenth of a level on the mean), and their
        // pass holds a second copy of the whole picture.
        if (reduced)
            de265_set_parameter_bool(context, DE265_DECODER_PARAM_DISABLE_SAO, 1);
    }
    ~decoder() override
    {
        if (held)
            de265_release_next_picture(context);
        if (context)
            de265_free_decoder(context);
    }

    // Takes NAL units, each after its length in `lengthsize` bytes; false for a unit that runs
    // past the data or declares a picture over the decoding limit.
    bool push(const uint8_t *bytes, size_t size, int lengthsize)
    {
        size_t at = 0;
        while (context && size - at >= size_t(lengthsize)) {
            size_t unit = 0;
            for (int i = 0; i < lengthsize; ++i)
                unit = unit << 8 | bytes[at++];
            if (unit > size - at)
                return false;
            if (unit >= 2 && (bytes[at] >> 1 & 0x3f) == 33) {
                const QSize size = declared(bytes + at, unit);
                if (!size.isEmpty() && !pixels::allowed(size))
                    return false;
            }
            if (de265_push_NAL(context, bytes + at, int(unit), 0, nullptr) != DE265_OK)
                return false;
            at += unit;
        }
        return context && at == size;
    }

    // Decodes what was pushed and takes the first picture's planes.
    bool finish()
    {
        if (!context || de265_flush_data(context) != DE265_OK)
            return false;
        // Decoding stops at the first picture, which libde265 holds until it is released.
        const de265_image *picture = nullptr;
        for (int more = 1; more && !picture;) {
            if (de265_decode(context, &more) != DE265_OK)
                break;
            picture = de265_peek_next_picture(context);
        }
        picture = picture ? picture : de265_peek_next_picture(context);
        if (!picture)
            return false;
        held = true;
        const bool grey = de265_get_chroma_format(picture) == de265_chroma_mono;
        const int bits = de265_get_bits_per_pixel(picture, 0);
        for (int c = 0; c < (grey ? 1 : 3); ++c) {
            int stride = 0;
            const uint8_t *data = de265_get_image_plane(picture, c, &stride);
            if (!data || de265_get_bits_per_pixel(picture, c) != bits)
                return false;
            planes << planeof(data, stride, de265_get_image_width(picture, c),
                de265_get_image_height(picture, c), bits);
        }
        primaries = de265_get_image_colour_primaries(picture);
        transfer = de265_get_image_transfer_characteristics(picture);
        matrix = de265_get_image_matrix_coefficients(picture);
        full = de265_get_image_full_range_flag(picture);
        return true;
    }

private:
    de265_decoder_context *context = nullptr;
    bool held = false;
};

// The NAL units of a decoder configuration (hvcC), each after its length in four bytes.
QByteArray units(QByteArrayView config)
{
    QByteArray made;
    for (const auto &[type, set] : parametersets(config)) {
        const qsizetype length = set.size();
        const char size[]
            = { char(length >> 24), char(length >> 16), char(length >> 8), char(length) };
        made += QByteArray(size, 4) + set.toByteArray();
    }
    return made;
}

std::unique_ptr<frame> decode(QByteArrayView config, QByteArrayView data, int threads, bool reduced)
{
    auto made = std::make_unique<decoder>(threads, reduced);
    const QByteArray parameters = units(config);
    const int lengthsize = config.size() > 21 ? (config[21] & 3) + 1 : 4;
    if (parameters.isEmpty()
        || !made->push(
            reinterpret_cast<const uint8_t *>(parameters.constData()), size_t(parameters.size()), 4)
        || !made->push(
            reinterpret_cast<const uint8_t *>(data.data()), size_t(data.size()), lengthsize)
        || !made->finish())
        return nullptr;
    return made;
}

} // namespace hevc

// AV1, with dav1d, whose own limit on a frame's size is set to the decoding limit (libheif sets
// it to a thousand million pixels).
namespace av1 {

// The size the sequence header among a run of units declares.
QSize declared(QByteArrayView units)
{
    Dav1dSequenceHeader sequence;
    if (units.isEmpty()
        || dav1d_parse_sequence_header(
               &sequence, reinterpret_cast<const uint8_t *>(units.data()), size_t(units.size()))
            < 0)
        return QSize();
    return QSize(sequence.max_width, sequence.max_height);
}

// The size a decoder configuration (av1C) declares, or else the data it configures: each may carry
// the sequence header.
QSize configured(QByteArrayView config, QByteArrayView data)
{
    const QSize size = declared(config.size() > 4 ? config.sliced(4) : QByteArrayView());
    return size.isEmpty() ? declared(data) : size;
}

struct contextclose
{
    void operator()(Dav1dContext *context) const { dav1d_close(&context); }
};

// A decoded picture, held until it is freed.
class picture : public frame
{
public:
    ~picture() override { dav1d_picture_unref(&decoded); }
    Dav1dPicture decoded {};
};

std::unique_ptr<frame> decode(QByteArrayView config, QByteArrayView data, int threads)
{
    // The sequence header the configuration carries comes before the picture's own units.
    const QByteArray coded = (config.size() > 4 ? config.sliced(4) : QByteArrayView()).toByteArray()
        + data.toByteArray();
    Dav1dSettings settings;
    dav1d_default_settings(&settings);
    settings.frame_size_limit = unsigned(qMin<qint64>(pixels::limitpixels(), UINT_MAX));
    settings.all_layers = 0;
    settings.max_frame_delay = 1;
    settings.n_threads = qMax(1, threads);
    Dav1dContext *opened = nullptr;
    if (coded.isEmpty() || dav1d_open(&opened, &settings) < 0)
        return nullptr;
    const std::unique_ptr<Dav1dContext, contextclose> context(opened);
    Dav1dData input {};
    uint8_t *buffer = dav1d_data_create(&input, size_t(coded.size()));
    if (!buffer)
        return nullptr;
    std::memcpy(buffer, coded.constData(), size_t(coded.size()));
    auto made = std::make_unique<picture>();
    int result = DAV1D_ERR(EAGAIN);
    // A still picture comes whole after its data; a bound keeps broken data from going round.
    for (int round = 0; round < 1000 && result == DAV1D_ERR(EAGAIN); ++round) {
        if (input.sz > 0) {
            const int sent = dav1d_send_data(context.get(), &input);
            if (sent < 0 && sent != DAV1D_ERR(EAGAIN))
                break;
        }
        result = dav1d_get_picture(context.get(), &made->decoded);
    }
    dav1d_data_unref(&input);
    if (result < 0)
        return nullptr;
    const Dav1dPicture &p = made->decoded;
    const bool grey = p.p.layout == DAV1D_PIXEL_LAYOUT_I400;
    const int across = p.p.layout == DAV1D_PIXEL_LAYOUT_I444 ? 0 : 1;
    const int down = p.p.layout == DAV1D_PIXEL_LAYOUT_I420 ? 1 : 0;
    for (int c = 0; c < (grey ? 1 : 3); ++c)
        made->planes << planeof(static_cast<const uint8_t *>(p.data[c]), int(p.stride[c ? 1 : 0]),
            c ? (p.p.w + across) >> across : p.p.w, c ? (p.p.h + down) >> down : p.p.h, p.p.bpc);
    if (p.seq_hdr) {
        made->primaries = p.seq_hdr->pri;
        made->transfer = p.seq_hdr->trc;
        made->matrix = p.seq_hdr->mtrx;
        made->full = p.seq_hdr->color_range;
    }
    return made;
}

} // namespace av1

// The decoders libheif is given, for the pictures it composes itself (overlays, and the alpha of
// those): they take the coded data as libheif pushes it and hand it the planes as decoded, with
// the stream's colour description, which libheif makes RGB as its own decoders' would be.
namespace plugin {

heif_error ok()
{
    return { heif_error_Ok, heif_suberror_Unspecified, "Success" };
}

heif_error failure(const char *why)
{
    return { heif_error_Decoder_plugin_error, heif_suberror_Unspecified, why };
}

// The data libheif pushes: the configuration's units and the picture's, each after its length in
// four bytes, for HEVC; the units of AV1.
struct pushed
{
    heif_compression_format format;
    QByteArray data;
};

template<heif_compression_format format> int supports(heif_compression_format asked)
{
    return asked == format ? 200 : 0;
}

template<heif_compression_format format> heif_error create(void **decoder)
{
    *decoder = new pushed { format, {} };
    return ok();
}

void release(void *decoder)
{
    delete static_cast<pushed *>(decoder);
}

heif_error push(void *decoder, const void *data, size_t size)
{
    auto *into = static_cast<pushed *>(decoder);
    if (qint64(size) > reader::filelimit - into->data.size())
        return failure("too much data");
    into->data.append(static_cast<const char *>(data), qsizetype(size));
    return ok();
}

heif_error decode(void *decoder, heif_image **out)
{
    const pushed &in = *static_cast<pushed *>(decoder);
    *out = nullptr;
    std::unique_ptr<frame> made;
    if (in.format == heif_compression_HEVC) {
        auto hevc = std::make_unique<hevc::decoder>(cores(), false);
        if (hevc->push(
                reinterpret_cast<const uint8_t *>(in.data.constData()), size_t(in.data.size()), 4)
            && hevc->finish())
            made = std::move(hevc);
    } else {
        made = av1::decode(QByteArrayView(), in.data, cores());
    }
    if (!made || made->planes.isEmpty())
        return failure("no picture decoded");
    const bool grey = made->planes.size() == 1;
    const pixels::plane &luma = made->planes[0];
    const heif_chroma chroma = grey             ? heif_chroma_monochrome
        : made->planes[1].width == luma.width   ? heif_chroma_444
        : made->planes[1].height == luma.height ? heif_chroma_422
                                                : heif_chroma_420;
    heif_error error = heif_image_create(luma.width, luma.height,
        grey ? heif_colorspace_monochrome : heif_colorspace_YCbCr, chroma, out);
    if (error.code)
        return error;
    const heif_channel channels[] = { heif_channel_Y, heif_channel_Cb, heif_channel_Cr };
    for (qsizetype c = 0; c < made->planes.size(); ++c) {
        const pixels::plane &p = made->planes[c];
        error = heif_image_add_plane(*out, channels[c], p.width, p.height, p.bits);
        if (error.code) {
            // libheif keeps no picture its decoder fails on.
            heif_image_release(*out);
            *out = nullptr;
            return error;
        }
        int stride = 0;
        uint8_t *into = heif_image_get_plane(*out, channels[c], &stride);
        for (int y = 0; y < p.height; ++y)
            std::memcpy(into + size_t(y) * size_t(stride), p.data + qsizetype(y) * p.stride,
                size_t(p.width) * size_t(p.bytes));
    }
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    if (nclx) {
        heif_nclx_color_profile_set_color_primaries(nclx, uint16_t(made->primaries));
        heif_nclx_color_profile_set_transfer_characteristics(nclx, uint16_t(made->transfer));
        heif_nclx_color_profile_set_matrix_coefficients(nclx, uint16_t(made->matrix));
        nclx->full_range_flag = uint8_t(made->full);
        heif_image_set_nclx_color_profile(*out, nclx);
        heif_nclx_color_profile_free(nclx);
    }
    return ok();
}

const char *hevcname()
{
    return "libde265, limited";
}

const char *av1name()
{
    return "dav1d, limited";
}

const heif_decoder_plugin hevcplugin
    = { 1, hevcname, nullptr, nullptr, supports<heif_compression_HEVC>,
          create<heif_compression_HEVC>, release, push, decode, nullptr, nullptr };
const heif_decoder_plugin av1plugin
    = { 1, av1name, nullptr, nullptr, supports<heif_compression_AV1>, create<heif_compression_AV1>,
          release, push, decode, nullptr, nullptr };

} // namespace plugin

} // namespace

std::unique_ptr<frame> decode(
    QByteArrayView type, QByteArrayView config, QByteArrayView data, int threads, bool reduced)
{
    if (type == QByteArrayView("hvc1"))
        return hevc::decode(config, data, threads, reduced);
    if (type == QByteArrayView("av01"))
        return av1::decode(config, data, threads);
    return nullptr;
}

QSize codedsize(QByteArrayView type, QByteArrayView config, QByteArrayView data)
{
    if (type == QByteArrayView("hvc1"))
        return hevc::configured(config);
    if (type == QByteArrayView("av01"))
        return av1::configured(config, data);
    return QSize();
}

void registered()
{
    static std::once_flag done;
    std::call_once(done, [] {
        heif_init(nullptr);
        heif_register_decoder_plugin(&plugin::hevcplugin);
        heif_register_decoder_plugin(&plugin::av1plugin);
    });
}

} // namespace codecs
