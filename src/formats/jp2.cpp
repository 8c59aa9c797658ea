// JPEG 2000 pictures (JP2 files and bare codestreams), read with OpenJPEG on every core, decoding
// only the resolution levels the size asked for needs: each level dropped halves the picture.

#include "colour.h"
#include "kinds.h"
#include "owned.h"
#include "parallel.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <memory>
#include <openjpeg.h>

namespace {

const QByteArray jp2signature = QByteArray::fromHex("0000000c6a5020200d0a870a");
// Most pictures have three components, or four with alpha. A picture of up to `componentlimit`
// is decoded whole, as its channel definitions may put any of them in the colour and alpha
// channels; of more (a survey's bands), the first four only.
constexpr OPJ_UINT32 componentlimit = 8;
constexpr OPJ_UINT32 firstfour[] = { 0, 1, 2, 3 };
// Each tile costs its own setting up, whatever its size: a picture cut into more tiles than this
// (a 16384-pixel square in tiles of 256) is refused rather than decoded slowly.
constexpr quint64 tilelimit = 4096;

// The library reads the file through the device, only what it needs.
OPJ_SIZE_T readfrom(void *buffer, OPJ_SIZE_T size, void *device)
{
    const qint64 got = static_cast<QIODevice *>(device)->read(
        static_cast<char *>(buffer), qint64(qMin<OPJ_SIZE_T>(size, OPJ_SIZE_T(INT64_MAX))));
    return got > 0 ? OPJ_SIZE_T(got) : OPJ_SIZE_T(-1);
}

OPJ_OFF_T skipin(OPJ_OFF_T by, void *device)
{
    auto *file = static_cast<QIODevice *>(device);
    const qint64 to = qBound<qint64>(0, file->pos() + by, file->size());
    const qint64 from = file->pos();
    return file->seek(to) ? to - from : -1;
}

OPJ_BOOL seekin(OPJ_OFF_T to, void *device)
{
    auto *file = static_cast<QIODevice *>(device);
    return to >= 0 && to <= file->size() && file->seek(to);
}

void quiet(const char *, void *) { }

struct session
{
    owned<opj_stream_t, opj_stream_destroy> stream;
    owned<opj_codec_t, opj_destroy_codec> codec;
    owned<opj_image_t, opj_image_destroy> image;
};

class jp2handler : public reader::handler
{
public:
    jp2handler()
        : handler("jp2", recognises)
    { }
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    session open();

    session opened; // the decoder whose header gave the size, ready to decode

    int levels = 1; // resolution levels in the codestream
};

bool jp2handler::recognises(QIODevice *device)
{
    return startsas(*device, "jp2");
}

// A decoder over the device from its start, the header read.
session jp2handler::open()
{
    session made;
    QIODevice *file = seekable();
    if (!file || !file->seek(0))
        return made;
    const bool boxed = file->peek(12) == jp2signature;
    made.stream.reset(opj_stream_create(OPJ_J2K_STREAM_CHUNK_SIZE, OPJ_TRUE));
    made.codec.reset(opj_create_decompress(boxed ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
    if (!made.stream || !made.codec)
        return session();
    opj_stream_set_read_function(made.stream.get(), readfrom);
    opj_stream_set_skip_function(made.stream.get(), skipin);
    opj_stream_set_seek_function(made.stream.get(), seekin);
    opj_stream_set_user_data(made.stream.get(), file, nullptr);
    opj_stream_set_user_data_length(made.stream.get(), OPJ_UINT64(file->size()));
    opj_set_error_handler(made.codec.get(), quiet, nullptr);
    opj_set_warning_handler(made.codec.get(), quiet, nullptr);
    opj_set_info_handler(made.codec.get(), quiet, nullptr);
    opj_dparameters_t parameters;
    opj_set_default_decoder_parameters(&parameters);
    opj_image_t *image = nullptr;
    if (!opj_setup_decoder(made.codec.get(), &parameters)
        || !opj_codec_set_threads(made.codec.get(), cores())
        || !opj_read_header(made.stream.get(), made.codec.get(), &image) || !image)
        return session();
    made.image.reset(image);
    if (image->numcomps < 1 || !image->comps)
        return session();
    return made;
}

bool jp2handler::readheader()
{
    opened = open();
    if (!opened.image)
        return false;
    const opj_image_t *image = opened.image.get();
    const qint64 width = qint64(image->x1) - image->x0;
    const qint64 height = qint64(image->y1) - image->y0;
    if (width < 1 || height < 1 || width > INT_MAX || height > INT_MAX)
        return false;
    opj_codestream_info_v2_t *info = opj_get_cstr_info(opened.codec.get());
    const bool tiled = info && quint64(info->tw) * info->th <= tilelimit;
    if (info && info->m_default_tile_info.tccp_info)
        levels = int(qMax<OPJ_UINT32>(1, info->m_default_tile_info.tccp_info[0].numresolutions));
    opj_destroy_cstr_info(&info);
    if (!tiled)
        return false;
    whole = QSize(int(width), int(height));
    return true;
}

pixels::plane planeof(const opj_image_comp_t &component)
{
    pixels::plane made;
    made.data = reinterpret_cast<const uchar *>(component.data);
    made.stride = qsizetype(component.w) * 4;
    made.width = int(component.w);
    made.height = int(component.h);
    made.bytes = 4;
    made.bits = int(component.prec);
    made.sign = component.sgnd;
    return made;
}

// Cyan, magenta, yellow and black inks, of one grid and precision, made red, green and blue in
// the first three components, as the reference decoder makes them (without a profile of the
// inks, the plain complement).
bool inkstocolours(opj_image_comp_t *comps)
{
    for (int c = 1; c < 4; ++c)
        if (comps[c].w != comps[0].w || comps[c].h != comps[0].h || comps[c].prec != comps[0].prec
            || comps[c].sgnd || comps[0].sgnd)
            return false;
    const qint64 top = (qint64(1) << comps[0].prec) - 1;
    const qint64 count = qint64(comps[0].w) * comps[0].h;
    for (qint64 i = 0; i < count; ++i) {
        const qint64 black = top - qBound<qint64>(0, qint64(comps[3].data[i]), top);
        for (int c = 0; c < 3; ++c)
            comps[c].data[i]
                = OPJ_INT32((top - qBound<qint64>(0, qint64(comps[c].data[i]), top)) * black / top);
    }
    return true;
}

// The resolution levels to drop: as many as the size asked for allows, and the codestream has.
int droppable(QSize whole, QSize scaled, int levels)
{
    int drop = 0;
    if (scaled.isValid())
        while (drop + 1 < levels && whole.width() >> (drop + 1) >= scaled.width()
            && whole.height() >> (drop + 1) >= scaled.height() && drop < 30)
            ++drop;
    return drop;
}

// Decodes the picture with `drop` levels dropped; the components decoded, or none. A picture of
// up to eight components is decoded whole, of more the first four only.
int decodeall(const session &decoding, int drop, QSize size)
{
    opj_image_t *header = decoding.image.get();
    const bool whole = header->numcomps <= componentlimit;
    if (!pixels::allowed(size, 4 * int(whole ? header->numcomps : 4)))
        return 0;
    if (!opj_set_decoded_resolution_factor(decoding.codec.get(), OPJ_UINT32(drop))
        || (!whole && !opj_set_decoded_components(decoding.codec.get(), 4, firstfour, OPJ_FALSE))
        || !opj_decode(decoding.codec.get(), decoding.stream.get(), header)
        || !opj_end_decompress(decoding.codec.get(), decoding.stream.get()))
        return 0;
    const int decoded = int(qMin<OPJ_UINT32>(header->numcomps, whole ? componentlimit : 4));
    for (int c = 0; c < decoded; ++c) {
        const opj_image_comp_t &component = header->comps[c];
        if (!component.data || component.w < 1 || component.h < 1 || component.prec < 1
            || component.prec > 16)
            return 0;
    }
    return decoded;
}

// The alpha is the component the channel definitions name opacity (1) or premultiplied opacity
// (2); without them, the one after the colours. Other meanings (65535: none stated) are not
// shown. None: -1.
int alphaof(const opj_image_comp_t *comps, int after, int decoded)
{
    int alpha = after < decoded && !comps[after].alpha ? after : -1;
    for (int c = decoded - 1; c >= after; --c)
        if (comps[c].alpha == 1 || comps[c].alpha == 2)
            alpha = c;
    return alpha;
}

// The decoded components made a picture of a size, in the colours they stand for.
QImage written(opj_image_t *header, int decoded, QSize size)
{
    const bool cmyk = header->color_space == OPJ_CLRSPC_CMYK;
    if (cmyk && (decoded < 4 || !inkstocolours(header->comps)))
        return QImage();
    const bool grey = header->color_space == OPJ_CLRSPC_GRAY || decoded < 3;
    const opj_image_comp_t *comps = header->comps;
    // e-sYCC is sYCC whose values may reach past sRGB's range, which a screen cannot show.
    const bool ycc = header->color_space == OPJ_CLRSPC_SYCC
        || header->color_space == OPJ_CLRSPC_EYCC
        || (header->color_space != OPJ_CLRSPC_SRGB && !cmyk && decoded >= 3 && comps[0].dx == 1
            && comps[1].dx > 1 && comps[2].dx > 1);
    // sYCC is full-range BT.601.
    pixels::meaning samples;
    samples.kind = grey ? pixels::model::grey : ycc ? pixels::model::ycc : pixels::model::rgb;
    const int colours = grey ? 1 : 3;
    QList<pixels::plane> planes;
    for (int c = 0; c < colours; ++c)
        planes << planeof(comps[c]);
    const int alpha = alphaof(comps, cmyk ? 4 : colours, decoded);
    samples.alpha = alpha >= 0;
    if (samples.alpha)
        planes << planeof(comps[alpha]);
    samples.premultiplied = samples.alpha && comps[alpha].alpha == 2;
    for (const pixels::plane &p : std::as_const(planes))
        samples.wide = samples.wide || p.bits > 8;
    QImage made = pixels::write(planes, samples, size);
    if (!made.isNull() && header->icc_profile_buf && header->icc_profile_len > 0)
        profiles::tosrgb(
            made, QByteArrayView(header->icc_profile_buf, qsizetype(header->icc_profile_len)));
    return made;
}

bool jp2handler::readimage(QImage *image)
{
    if (!header())
        return false;
    const int drop = droppable(whole, scaled, levels);
    const QSize size(
        (whole.width() + (1 << drop) - 1) >> drop, (whole.height() + (1 << drop) - 1) >> drop);
    // The decoder that read the header decodes; another read starts over.
    if (!opened.image)
        opened = open();
    const session decoding = std::move(opened);
    if (!decoding.image)
        return false;
    const int decoded = decodeall(decoding, drop, size);
    if (!decoded)
        return false;
    QImage made = written(decoding.image.get(), decoded, wanted());
    return !made.isNull() && deliver(std::move(made), image);
}

} // namespace

class jp2plugin : public reader::plugin<jp2handler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "jp2.json")

public:
    jp2plugin()
        : plugin({ "jp2", "j2k" })
    { }
};

#include "jp2.moc"
