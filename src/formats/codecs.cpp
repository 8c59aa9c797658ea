#include "codecs.h"

#include "parallel.h"
#include "pixels.h"
#include "reader.h"

#include <QImageReader>
#include <QThread>
#include <climits>
#include <cmath>
#include <cstring>
#include <dav1d/dav1d.h>
#include <libde265/de265.h>
#include <libheif/heif_plugin.h>
#include <mutex>
#include <vector>

namespace codecs {

namespace {

heif_error ok()
{
    return { heif_error_Ok, heif_suberror_Unspecified, "Success" };
}

heif_error failure(const char *why)
{
    return { heif_error_Decoder_plugin_error, heif_suberror_Unspecified, why };
}

// The pixels the decoding limit allows a picture.
qint64 limitpixels()
{
    return (qint64(QImageReader::allocationLimit()) << 20) / 4;
}

// A decoded picture's planes (one for grey, or luma and two chroma planes) as libheif takes
// them, with the colour description its stream carries, which libheif uses to make RGB of them
// where the file itself says nothing.
struct planes
{
    int width = 0;
    int height = 0;
    bool grey = false;
    heif_chroma chroma = heif_chroma_420;
    int bits = 8;
    const uint8_t *data[3] = {};
    int stride[3] = {};
    int planewidth[3] = {};
    int planeheight[3] = {};
    int primaries = 2;
    int transfer = 2;
    int matrix = 2;
    bool full = false;
};

// What the handler reading a file on this thread lays down while libheif decodes its primary
// picture: the colour description the file itself gives, which rules over the stream's own, as
// in libheif; and a factor to decode the picture reduced by, where the file neither turns,
// mirrors nor crops it and it is not made of tiles.
thread_local const heif_color_profile_nclx *described = nullptr;
thread_local int reduceby = 1;

// The planes averaged down by the factor, a block of the picture to each sample, all at the
// reduced picture's size (a picture not divisible by it loses its last part-blocks).
template<typename word> planes reduced(const planes &from, int by, std::vector<word> store[3])
{
    planes made = from;
    made.width = from.width / by;
    made.height = from.height / by;
    made.chroma = from.grey ? heif_chroma_monochrome : heif_chroma_444;
    for (int c = 0; c < (from.grey ? 1 : 3); ++c) {
        const int across = qMax(1, by * from.planewidth[c] / from.width);
        const int down = qMax(1, by * from.planeheight[c] / from.height);
        store[c].resize(size_t(made.width) * made.height);
        inparallel(made.height, [&](int first, int last) {
            for (int y = first; y < last; ++y) {
                word *out = store[c].data() + size_t(y) * made.width;
                for (int x = 0; x < made.width; ++x) {
                    quint64 sum = 0;
                    for (int j = 0; j < down; ++j) {
                        const auto *row = reinterpret_cast<const word *>(from.data[c]
                            + size_t(qMin(y * down + j, from.planeheight[c] - 1)) * from.stride[c]);
                        for (int i = 0; i < across; ++i)
                            sum += row[qMin(x * across + i, from.planewidth[c] - 1)];
                    }
                    out[x] = word((sum + across * down / 2) / (across * down));
                }
            }
        });
        made.data[c] = reinterpret_cast<const uint8_t *>(store[c].data());
        made.stride[c] = int(made.width * sizeof(word));
        made.planewidth[c] = made.width;
        made.planeheight[c] = made.height;
    }
    return made;
}

// A grey picture as it is; luma and colour differences made RGB as the matrix and range say,
// on every core (libheif would do it after, on one, and hold both).
heif_error picture(const planes &coded, heif_image **out)
{
    if (coded.width <= 0 || coded.height <= 0 || coded.bits < 1 || coded.bits > 16)
        return failure("no picture");
    for (int c = 0; c < (coded.grey ? 1 : 3); ++c)
        if (coded.planewidth[c] <= 0 || coded.planeheight[c] <= 0 || !coded.data[c])
            return failure("a plane is missing");
    const int matrix = described ? described->matrix_coefficients : coded.matrix;
    const bool full = described ? described->full_range_flag : coded.full;
    if (!coded.grey
        && (coded.planewidth[0] < coded.width || coded.planeheight[0] < coded.height
            || coded.planewidth[1] != coded.planewidth[2]
            || coded.planeheight[1] != coded.planeheight[2]))
        return failure("planes of unequal sizes");
    // Green, blue and red as they are can only be taken at the picture's own resolution.
    if (!coded.grey && matrix == 0
        && (coded.planewidth[1] < coded.width || coded.planeheight[1] < coded.height))
        return failure("subsampled green, blue and red");
    std::vector<quint8> narrow[3];
    std::vector<quint16> wide16[3];
    const int by = qBound(1, reduceby, qMin(coded.width, coded.height));
    const planes from = by == 1 ? coded
        : coded.bits > 8        ? reduced(coded, by, wide16)
                                : reduced(coded, by, narrow);
    const int planecount = from.grey ? 1 : 3;
    heif_error error = heif_image_create(from.width, from.height,
        from.grey ? heif_colorspace_monochrome : heif_colorspace_RGB,
        from.grey ? heif_chroma_monochrome : heif_chroma_444, out);
    if (error.code)
        return error;
    const heif_channel channels[] = { heif_channel_R, heif_channel_G, heif_channel_B };
    uint8_t *target[3] = {};
    int to[3] = {};
    for (int c = 0; c < planecount; ++c) {
        const heif_channel channel = from.grey ? heif_channel_Y : channels[c];
        error = heif_image_add_plane(*out, channel, from.width, from.height, from.bits);
        if (error.code) {
            // libheif keeps no picture its decoder fails on.
            heif_image_release(*out);
            *out = nullptr;
            return error;
        }
        target[c] = heif_image_get_plane(*out, channel, &to[c]);
    }
    const bool wide = from.bits > 8;
    const size_t bytes = wide ? 2 : 1;
    if (from.grey) {
        for (int y = 0; y < from.height; ++y)
            std::memcpy(target[0] + size_t(y) * to[0], from.data[0] + size_t(y) * from.stride[0],
                size_t(from.width) * bytes);
    } else {
        // Luma weights of red and blue (BT.601's where the stream names none).
        double kr = 0.299, kb = 0.114;
        if (matrix == 1) {
            kr = 0.2126;
            kb = 0.0722;
        } else if (matrix == 9 || matrix == 10) {
            kr = 0.2627;
            kb = 0.0593;
        } else if (matrix == 4) {
            kr = 0.30;
            kb = 0.11;
        } else if (matrix == 7) {
            kr = 0.212;
            kb = 0.087;
        }
        const int top = (1 << from.bits) - 1;
        const double step = double(1 << (from.bits - 8));
        const double yoff = full ? 0 : 16 * step, yrange = full ? top : 219 * step;
        const double coff = 1 << (from.bits - 1), crange = full ? top : 224 * step;
        // Each sample's share of red, green and blue, in 1/65536ths of the top value.
        std::vector<qint32> luma(size_t(top) + 1), redcr(luma.size()), greencb(luma.size()),
            greencr(luma.size()), bluecb(luma.size());
        for (int v = 0; v <= top; ++v) {
            const double y = (v - yoff) / yrange, c = (v - coff) / crange;
            luma[size_t(v)] = qint32(std::lround(y * top * 65536));
            redcr[size_t(v)] = qint32(std::lround(2 * (1 - kr) * c * top * 65536));
            bluecb[size_t(v)] = qint32(std::lround(2 * (1 - kb) * c * top * 65536));
            greencb[size_t(v)]
                = qint32(std::lround(2 * kb * (1 - kb) / (1 - kr - kb) * c * top * 65536));
            greencr[size_t(v)]
                = qint32(std::lround(2 * kr * (1 - kr) / (1 - kr - kb) * c * top * 65536));
        }
        const int across = from.planewidth[1] < from.width ? 1 : 0;
        const int down = from.planeheight[1] < from.height ? 1 : 0;
        const auto convert = [&](auto sample) {
            using word = decltype(sample);
            inparallel(from.height, [&](int first, int last) {
                for (int y = first; y < last; ++y) {
                    const auto *ys
                        = reinterpret_cast<const word *>(from.data[0] + size_t(y) * from.stride[0]);
                    const int chromarow = qMin(y >> down, from.planeheight[1] - 1);
                    const auto *cb = reinterpret_cast<const word *>(
                        from.data[1] + size_t(chromarow) * from.stride[1]);
                    const auto *cr = reinterpret_cast<const word *>(
                        from.data[2] + size_t(chromarow) * from.stride[2]);
                    word *out[3];
                    for (int c = 0; c < 3; ++c)
                        out[c] = reinterpret_cast<word *>(target[c] + size_t(y) * to[c]);
                    for (int x = 0; x < from.width; ++x) {
                        const int cx = qMin(x >> across, from.planewidth[1] - 1);
                        const size_t l = qMin<size_t>(ys[x], size_t(top));
                        const size_t b = qMin<size_t>(cb[cx], size_t(top));
                        const size_t r = qMin<size_t>(cr[cx], size_t(top));
                        const qint32 value[3] = { luma[l] + redcr[r],
                            luma[l] - greencb[b] - greencr[r], luma[l] + bluecb[b] };
                        for (int c = 0; c < 3; ++c)
                            out[c][x] = word(qBound(0, (value[c] + 32768) >> 16, top));
                    }
                }
            });
        };
        if (matrix == 0) {
            // The samples are already green, blue and red.
            const int order[3] = { 2, 0, 1 };
            for (int c = 0; c < 3; ++c)
                for (int y = 0; y < from.height; ++y)
                    std::memcpy(target[c] + size_t(y) * to[c],
                        from.data[order[c]] + size_t(y) * from.stride[order[c]],
                        size_t(qMin(from.width, from.planewidth[order[c]])) * bytes);
        } else if (wide) {
            convert(quint16());
        } else {
            convert(quint8());
        }
    }
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    if (nclx) {
        heif_nclx_color_profile_set_color_primaries(nclx, uint16_t(from.primaries));
        heif_nclx_color_profile_set_transfer_characteristics(nclx, uint16_t(from.transfer));
        heif_nclx_color_profile_set_matrix_coefficients(nclx, uint16_t(from.matrix));
        nclx->full_range_flag = uint8_t(from.full);
        heif_image_set_nclx_color_profile(*out, nclx);
        heif_nclx_color_profile_free(nclx);
    }
    return ok();
}

// HEVC, with libde265. The coded data comes as NAL units, each after its length in four bytes;
// the sequence parameter set among them says the picture's size.
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

// The size a decoder configuration (hvcC) declares: that of its first sequence parameter set.
QSize configured(QByteArrayView config)
{
    constexpr qsizetype header = 23;
    if (config.size() < header)
        return QSize();
    qsizetype at = header;
    for (int arrays = uchar(config[header - 1]); arrays > 0; --arrays) {
        if (at + 3 > config.size())
            return QSize();
        const int type = config[at] & 0x3f;
        int units = uchar(config[at + 1]) << 8 | uchar(config[at + 2]);
        at += 3;
        for (; units > 0 && at + 2 <= config.size(); --units) {
            const qsizetype length = uchar(config[at]) << 8 | uchar(config[at + 1]);
            at += 2;
            if (at + length > config.size())
                return QSize();
            if (type == 33)
                return declared(
                    reinterpret_cast<const uint8_t *>(config.data() + at), size_t(length), true);
            at += length;
        }
    }
    return QSize();
}

const char *name()
{
    return "libde265, limited, on every core";
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
    de265_start_worker_threads(context, cores());
    // A picture decoded to be reduced skips the sample offsets: their few levels on some samples
    // vanish in the block averages (under a tenth of a level on the mean), and their pass holds a
    // second copy of the whole picture.
    if (reduceby > 1)
        de265_set_parameter_bool(context, DE265_DECODER_PARAM_DISABLE_SAO, 1);
    *decoder = context;
    return ok();
}

void release(void *decoder)
{
    de265_free_decoder(static_cast<de265_decoder_context *>(decoder));
}

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
        if (unit >= 2 && (bytes[at] >> 1 & 0x3f) == 33) {
            const QSize size = declared(bytes + at, unit);
            if (!size.isEmpty() && !pixels::allowed(size))
                return failure("a picture larger than the decoding limit");
        }
        if (de265_push_NAL(
                static_cast<de265_decoder_context *>(decoder), bytes + at, int(unit), 0, nullptr)
            != DE265_OK)
            return failure("a unit is refused");
        at += unit;
    }
    return at == size ? ok() : failure("data after the last unit");
}

heif_error copy(const de265_image *decoded, heif_image **out)
{
    planes from;
    from.width = de265_get_image_width(decoded, 0);
    from.height = de265_get_image_height(decoded, 0);
    from.grey = de265_get_chroma_format(decoded) == de265_chroma_mono;
    from.chroma = heif_chroma(de265_get_chroma_format(decoded));
    from.bits = de265_get_bits_per_pixel(decoded, 0);
    for (int c = 0; c < (from.grey ? 1 : 3); ++c) {
        if (de265_get_bits_per_pixel(decoded, c) != from.bits)
            return failure("planes of different depths");
        from.data[c] = de265_get_image_plane(decoded, c, &from.stride[c]);
        from.planewidth[c] = de265_get_image_width(decoded, c);
        from.planeheight[c] = de265_get_image_height(decoded, c);
    }
    from.primaries = de265_get_image_colour_primaries(decoded);
    from.transfer = de265_get_image_transfer_characteristics(decoded);
    from.matrix = de265_get_image_matrix_coefficients(decoded);
    from.full = de265_get_image_full_range_flag(decoded);
    return picture(from, out);
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
        if (const de265_image *decoded = de265_get_next_picture(context)) {
            if (*out)
                heif_image_release(*out);
            *out = nullptr;
            const heif_error error = copy(decoded, out);
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

// AV1, with dav1d, whose own limit on a frame's size is set to the decoding limit (libheif sets
// it to a thousand million pixels).
namespace av1 {

const char *name()
{
    return "dav1d, limited";
}

int supports(heif_compression_format format)
{
    return format == heif_compression_AV1 ? 200 : 0;
}

// The size a decoder configuration (av1C) declares: that of the sequence header among its units.
QSize configured(QByteArrayView config)
{
    Dav1dSequenceHeader sequence;
    if (config.size() <= 4
        || dav1d_parse_sequence_header(&sequence,
               reinterpret_cast<const uint8_t *>(config.data()) + 4, size_t(config.size() - 4))
            < 0)
        return QSize();
    return QSize(sequence.max_width, sequence.max_height);
}

heif_error create(void **decoder)
{
    *decoder = new QByteArray;
    return ok();
}

void release(void *decoder)
{
    delete static_cast<QByteArray *>(decoder);
}

heif_error push(void *decoder, const void *data, size_t size)
{
    auto *coded = static_cast<QByteArray *>(decoder);
    if (qint64(size) > reader::filelimit - coded->size())
        return failure("too much data");
    coded->append(static_cast<const char *>(data), qsizetype(size));
    return ok();
}

struct contextclose
{
    void operator()(Dav1dContext *context) const { dav1d_close(&context); }
};

heif_error decode(void *decoder, heif_image **out)
{
    const QByteArray &coded = *static_cast<QByteArray *>(decoder);
    *out = nullptr;
    Dav1dSettings settings;
    dav1d_default_settings(&settings);
    settings.frame_size_limit = unsigned(qMin<qint64>(limitpixels(), UINT_MAX));
    settings.all_layers = 0;
    settings.max_frame_delay = 1;
    Dav1dContext *opened = nullptr;
    if (coded.isEmpty() || dav1d_open(&opened, &settings) < 0)
        return failure("no decoder");
    const std::unique_ptr<Dav1dContext, contextclose> context(opened);
    Dav1dData data {};
    uint8_t *buffer = dav1d_data_create(&data, size_t(coded.size()));
    if (!buffer)
        return failure("no memory");
    std::memcpy(buffer, coded.constData(), size_t(coded.size()));
    Dav1dPicture decoded {};
    int result = DAV1D_ERR(EAGAIN);
    // A still picture comes whole after its data; a bound keeps broken data from going round.
    for (int round = 0; round < 1000 && result == DAV1D_ERR(EAGAIN); ++round) {
        if (data.sz > 0) {
            const int sent = dav1d_send_data(context.get(), &data);
            if (sent < 0 && sent != DAV1D_ERR(EAGAIN))
                break;
        }
        result = dav1d_get_picture(context.get(), &decoded);
    }
    dav1d_data_unref(&data);
    if (result < 0)
        return failure("no picture decoded");
    planes from;
    from.width = decoded.p.w;
    from.height = decoded.p.h;
    from.grey = decoded.p.layout == DAV1D_PIXEL_LAYOUT_I400;
    from.chroma = decoded.p.layout == DAV1D_PIXEL_LAYOUT_I400 ? heif_chroma_monochrome
        : decoded.p.layout == DAV1D_PIXEL_LAYOUT_I420         ? heif_chroma_420
        : decoded.p.layout == DAV1D_PIXEL_LAYOUT_I422         ? heif_chroma_422
                                                              : heif_chroma_444;
    from.bits = decoded.p.bpc;
    const int across = decoded.p.layout == DAV1D_PIXEL_LAYOUT_I444 ? 0 : 1;
    const int down = decoded.p.layout == DAV1D_PIXEL_LAYOUT_I420 ? 1 : 0;
    for (int c = 0; c < (from.grey ? 1 : 3); ++c) {
        from.data[c] = static_cast<const uint8_t *>(decoded.data[c]);
        from.stride[c] = int(decoded.stride[c ? 1 : 0]);
        from.planewidth[c] = c ? (from.width + across) >> across : from.width;
        from.planeheight[c] = c ? (from.height + down) >> down : from.height;
    }
    if (decoded.seq_hdr) {
        from.primaries = decoded.seq_hdr->pri;
        from.transfer = decoded.seq_hdr->trc;
        from.matrix = decoded.seq_hdr->mtrx;
        from.full = decoded.seq_hdr->color_range;
    }
    const heif_error error = picture(from, out);
    dav1d_picture_unref(&decoded);
    return error;
}

const heif_decoder_plugin plugin
    = { 1, name, nullptr, nullptr, supports, create, release, push, decode, nullptr, nullptr };

} // namespace av1

} // namespace

QSize codedsize(QByteArrayView type, QByteArrayView config)
{
    if (type == QByteArrayView("hvc1"))
        return hevc::configured(config);
    if (type == QByteArrayView("av01"))
        return av1::configured(config);
    return QSize();
}

decoding::decoding(const heif_color_profile_nclx *nclx, int shrink)
{
    described = nclx;
    reduceby = shrink;
}

decoding::~decoding()
{
    described = nullptr;
    reduceby = 1;
}

void registered()
{
    static std::once_flag done;
    std::call_once(done, [] {
        heif_init(nullptr);
        heif_register_decoder_plugin(&hevc::plugin);
        heif_register_decoder_plugin(&av1::plugin);
    });
}

} // namespace codecs
