// Pictures written in the formats the viewer reads with its own readers, by the field's own
// encoders: libheif (HEIF and AVIF), libjxl (JPEG XL), OpenJPEG (JPEG 2000), libwebp and
// libjpeg-turbo and libtiff; and colour profiles written by Little CMS. For the tests and the
// measurements.
#pragma once

#include <QBuffer>
#include <QByteArray>
#include <QColorSpace>
#include <QImage>
#include <QTemporaryFile>
#include <QtEndian>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <jpeglib.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>
#include <lcms2.h>
#include <libheif/heif.h>
#include <openjpeg.h>
#include <qfloat16.h>
#include <tiffio.h>
#include <webp/encode.h>

namespace writers {

// A colour description as H.273 code points.
struct coded
{
    int primaries = 1;
    int transfer = 13;
    int matrix = 6;
    bool full = true;
};

// A picture as a HEIF (HEVC) or AVIF (AV1) file: 8 bits a channel, or 10 for an RGBA64 picture;
// 10-bit AVIF in 4:2:2 chroma, as libheif 1.15 asks libaom for its professional profile there;
// grey for a Grayscale8 picture; alpha where the picture has it. `orientation` (1 to 8, as in
// Exif) is written as the container's rotation and mirror; `exif` as an Exif orientation tag.
inline QByteArray heif(QImage picture, bool avif, int quality = 90, int orientation = 1,
    const coded *colours = nullptr, int exif = 0)
{
    const bool grey = picture.format() == QImage::Format_Grayscale8;
    const bool deep = picture.depth() == 64;
    const bool alpha = picture.hasAlphaChannel();
    if (!grey)
        picture = picture.convertToFormat(deep
                ? (alpha ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
                : (alpha ? QImage::Format_RGBA8888 : QImage::Format_RGB888));
    heif_image *image = nullptr;
    const heif_chroma chroma = grey ? heif_chroma_monochrome
        : deep ? (alpha ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RRGGBB_LE)
               : (alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB);
    heif_image_create(picture.width(), picture.height(),
        grey ? heif_colorspace_monochrome : heif_colorspace_RGB, chroma, &image);
    const heif_channel channel = grey ? heif_channel_Y : heif_channel_interleaved;
    heif_image_add_plane(image, channel, picture.width(), picture.height(), deep ? 10 : 8);
    int stride = 0;
    uint8_t *plane = heif_image_get_plane(image, channel, &stride);
    for (int y = 0; y < picture.height(); ++y) {
        if (!deep) {
            std::memcpy(plane + y * stride, picture.constScanLine(y),
                size_t(picture.bytesPerLine()) < size_t(stride) ? picture.bytesPerLine() : stride);
            continue;
        }
        const auto *in = reinterpret_cast<const quint16 *>(picture.constScanLine(y));
        auto *out = reinterpret_cast<quint16 *>(plane + y * stride);
        for (int i = 0; i < picture.width() * (alpha ? 4 : 3); ++i)
            out[i] = qToLittleEndian(quint16(in[i + (alpha ? 0 : i / 3)] >> 6));
    }
    heif_context *context = heif_context_alloc();
    heif_encoder *encoder = nullptr;
    heif_context_get_encoder_for_format(
        context, avif ? heif_compression_AV1 : heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, quality);
    heif_encoder_set_parameter_string(encoder, "chroma", deep && avif ? "422" : "420");
    heif_encoding_options *options = heif_encoding_options_alloc();
    options->image_orientation = heif_orientation(orientation);
    heif_color_profile_nclx *nclx = heif_nclx_color_profile_alloc();
    if (colours) {
        heif_nclx_color_profile_set_color_primaries(nclx, uint16_t(colours->primaries));
        heif_nclx_color_profile_set_transfer_characteristics(nclx, uint16_t(colours->transfer));
        heif_nclx_color_profile_set_matrix_coefficients(nclx, uint16_t(colours->matrix));
        nclx->full_range_flag = colours->full;
        heif_image_set_nclx_color_profile(image, nclx);
        options->output_nclx_profile = nclx;
        options->macOS_compatibility_workaround_no_nclx_profile = 0;
    }
    heif_image_handle *handle = nullptr;
    heif_context_encode_image(context, image, encoder, options, &handle);
    if (exif) {
        // An Exif block whose orientation tag says to turn the picture, which the container's
        // own rotation already does.
        const char block[] = { 0, 0, 0, 6, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0, 0, 0, 8, 0,
            1, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, char(exif), 0, 0, 0, 0, 0, 0 };
        heif_context_add_exif_metadata(context, handle, block, int(sizeof block));
    }
    QByteArray bytes;
    heif_writer writer = { 1, [](heif_context *, const void *data, size_t size, void *out) {
                              static_cast<QByteArray *>(out)->append(
                                  static_cast<const char *>(data), qsizetype(size));
                              return heif_error { heif_error_Ok, heif_suberror_Unspecified, "" };
                          } };
    heif_context_write(context, &writer, &bytes);
    heif_image_handle_release(handle);
    heif_nclx_color_profile_free(nclx);
    heif_encoding_options_free(options);
    heif_encoder_release(encoder);
    heif_context_free(context);
    heif_image_release(image);
    return bytes;
}

// A picture as a HEIF file of a grid of HEVC tiles, as phones write photographs: `columns` tiles
// across, each coded by libheif with its stream saying `tiles` of its colours, and the grid saying
// `file` of them (the file's description, which rules). The picture's sides must be multiples of
// the tiles' count, and the tiles' sides even.
inline QByteArray grid(
    const QImage &picture, int columns, int rows, const coded &tiles, const coded &file)
{
    const auto u16 = [](int v) { return QByteArray(1, char(v >> 8)) + char(v & 0xff); };
    const auto u32 = [&](quint32 v) { return u16(int(v >> 16)) + u16(int(v & 0xffff)); };
    const auto box = [&](const char *type, const QByteArray &body) {
        return u32(quint32(body.size() + 8)) + type + body;
    };
    const auto full = [&](const char *type, int version, int flags, const QByteArray &body) {
        return box(
            type, QByteArray(1, char(version)) + char(flags >> 16) + u16(flags & 0xffff) + body);
    };
    // Each tile coded alone; its configuration and data taken from libheif's file.
    const QSize tile(picture.width() / columns, picture.height() / rows);
    QByteArray config;
    QList<QByteArray> data;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < columns; ++c) {
            const QByteArray one
                = heif(picture.copy(QRect(QPoint(c * tile.width(), r * tile.height()), tile)),
                    false, 95, 1, &tiles);
            const qsizetype hvcc = one.indexOf("hvcC"), mdat = one.indexOf("mdat");
            config = one.mid(hvcc + 4, qFromBigEndian<quint32>(one.constData() + hvcc - 4) - 8);
            data << one.mid(mdat + 4, qFromBigEndian<quint32>(one.constData() + mdat - 4) - 8);
        }
    const int count = columns * rows;
    const int gridid = count + 1;
    const QByteArray descriptor = QByteArray(2, 0) + char(rows - 1) + char(columns - 1)
        + u16(picture.width()) + u16(picture.height());
    const QByteArray nclx = "nclx" + u16(file.primaries) + u16(file.transfer) + u16(file.matrix)
        + char(file.full ? 0x80 : 0);
    QByteArray infe, dimg, ipma;
    for (int i = 1; i <= count; ++i) {
        infe += full("infe", 2, 1, u16(i) + u16(0) + "hvc1" + '\0');
        dimg += u16(i);
        ipma += u16(i) + char(2) + char(0x81) + char(2);
    }
    infe += full("infe", 2, 0, u16(gridid) + u16(0) + "grid" + '\0');
    ipma += u16(gridid) + char(2) + char(3) + char(4);
    const QByteArray ipco = box("ipco",
        box("hvcC", config)
            + full("ispe", 0, 0, u32(quint32(tile.width())) + u32(quint32(tile.height())))
            + full("ispe", 0, 0, u32(quint32(picture.width())) + u32(quint32(picture.height())))
            + box("colr", nclx));
    const QByteArray ftyp = box("ftyp", "heic" + u32(0) + "mif1" + "heic");
    // The locations point into the media data after the meta box, whose size they do not change.
    const auto metaof = [&](quint32 at) {
        QByteArray iloc = u16(0x4400) + u16(count + 1);
        quint32 offset = at + 8;
        for (const QByteArray &d : std::as_const(data)) {
            iloc += u16(int(&d - data.constData()) + 1) + u16(0) + u16(1) + u32(offset)
                + u32(quint32(d.size()));
            offset += quint32(d.size());
        }
        iloc += u16(gridid) + u16(0) + u16(1) + u32(offset) + u32(quint32(descriptor.size()));
        return full("meta", 0, 0,
            full("hdlr", 0, 0, u32(0) + "pict" + QByteArray(12, 0) + '\0')
                + full("pitm", 0, 0, u16(gridid)) + full("iloc", 0, 0, iloc)
                + full("iinf", 0, 0, u16(count + 1) + infe)
                + full("iref", 0, 0, box("dimg", u16(gridid) + u16(count) + dimg))
                + box("iprp", ipco + full("ipma", 0, 0, u32(quint32(count + 1)) + ipma)));
    };
    const QByteArray meta = metaof(quint32(ftyp.size() + metaof(0).size()));
    return ftyp + meta + box("mdat", data.join() + descriptor);
}

// The same HEIF or AVIF file with its rotation and mirror given to the coded picture itself and
// listed before its size, which is the coded picture's, as some encoders write them. libheif
// gives a HEIF file's turns to an identity item made from the coded picture, and writes the size
// of an AVIF one as turned. Only numbers change in place, so nothing in the file moves.
inline QByteArray turnedfirst(QByteArray file)
{
    // The body of the first box of a type in a run of boxes, as an offset and a length.
    const auto find = [&file](qsizetype at, qsizetype end, const char *type) {
        while (at + 8 <= end) {
            const qsizetype size = qFromBigEndian<quint32>(file.constData() + at);
            if (size < 8 || at + size > end)
                break;
            if (file.mid(at + 4, 4) == type)
                return std::pair(at + 8, size - 8);
            at += size;
        }
        return std::pair(qsizetype(-1), qsizetype(0));
    };
    const auto u16
        = [&file](qsizetype at) { return qFromBigEndian<quint16>(file.constData() + at); };
    const auto u32
        = [&file](qsizetype at) { return qFromBigEndian<quint32>(file.constData() + at); };
    const auto [meta, metasize] = find(0, file.size(), "meta");
    const auto [pitm, pitmsize] = find(meta + 4, meta + metasize, "pitm");
    const auto [iinf, iinfsize] = find(meta + 4, meta + metasize, "iinf");
    const auto [iref, irefsize] = find(meta + 4, meta + metasize, "iref");
    const auto [iprp, iprpsize] = find(meta + 4, meta + metasize, "iprp");
    const auto [ipco, ipcosize] = find(iprp, iprp + iprpsize, "ipco");
    const auto [ipma, ipmasize] = find(iprp, iprp + iprpsize, "ipma");
    const auto [dimg, dimgsize] = iref < 0 ? std::pair(qsizetype(-1), qsizetype(0))
                                           : find(iref + 4, iref + irefsize, "dimg");
    if (pitm < 0 || iinf < 0 || ipco < 0 || ipma < 0 || file[pitm] || file[ipma])
        return QByteArray();
    const quint16 primary = u16(pitm + 4);
    const quint16 coded = dimg >= 0 && u16(dimg) == primary ? u16(dimg + 4) : primary;
    QList<qsizetype> properties; // where each property's box starts
    for (qsizetype at = ipco; at + 8 <= ipco + ipcosize; at += u32(at))
        properties << at;
    const auto type = [&](char association) {
        const qsizetype at = properties.value((association & 0x7f) - 1, -1);
        return at < 0 ? QByteArray() : file.mid(at + 4, 4);
    };
    // The associations, one byte each, item by item.
    QList<std::pair<quint16, QByteArray>> items;
    qsizetype at = ipma + 8;
    for (quint32 e = 0, entries = u32(ipma + 4); e < entries; ++e) {
        items.append({ u16(at), file.mid(at + 3, uchar(file[at + 2])) });
        at += 3 + uchar(file[at + 2]);
    }
    QByteArray turns;
    bool across = false;
    for (auto &[item, associations] : items)
        if (item == primary)
            for (qsizetype i = associations.size() - 1; i >= 0; --i)
                if (type(associations[i]) == "irot" || type(associations[i]) == "imir") {
                    const qsizetype box = properties[(associations[i] & 0x7f) - 1];
                    across ^= type(associations[i]) == "irot" && (file[box + 8] & 1);
                    turns.prepend(associations[i]);
                    associations.remove(i, 1);
                }
    QByteArray written;
    for (auto &[item, associations] : items) {
        if (item == coded) {
            associations.prepend(turns);
            // An AVIF file's size, written as turned, is written as coded.
            for (const char association : std::as_const(associations)) {
                const qsizetype box = properties[(association & 0x7f) - 1];
                if (coded == primary && across && type(association) == "ispe")
                    file.replace(box + 12, 8, file.mid(box + 16, 4) + file.mid(box + 12, 4));
            }
        }
        written += char(item >> 8) + QByteArray(1, char(item & 0xff)) + char(associations.size())
            + associations;
    }
    file.replace(ipma + 8, written.size(), written);
    qToBigEndian(coded, file.data() + pitm + 4);
    // The coded picture is no longer hidden behind the identity item.
    for (qsizetype at = iinf + 6; at + 14 <= iinf + iinfsize; at += u32(at))
        if (u16(at + 12) == coded)
            file[at + 11] = char(file[at + 11] & ~1);
    return file;
}

// A picture as a JPEG XL file: lossless, or lossy at the given distance (1 is visually lossless);
// 16 bits a channel for an RGBA64 picture; with its orientation (1 to 8) and colour space (sRGB,
// Display P3 or BT.2020 with the sRGB curve, or PQ or HLG for `transfer` 16 or 18).
inline QByteArray jxl(
    QImage picture, float distance = 0, int orientation = 1, int primaries = 1, int transfer = 13)
{
    const bool deep = picture.depth() == 64;
    const bool alpha = picture.hasAlphaChannel();
    picture = picture.convertToFormat(deep ? QImage::Format_RGBA64
            : alpha                        ? QImage::Format_RGBA8888
                                           : QImage::Format_RGB888);
    if (deep && !alpha) {
        // Three 16-bit channels a pixel, as libjxl takes them.
        QImage packed(picture.width() * 3, picture.height(), QImage::Format_Grayscale16);
        for (int y = 0; y < picture.height(); ++y) {
            const auto *in = reinterpret_cast<const quint16 *>(picture.constScanLine(y));
            auto *out = reinterpret_cast<quint16 *>(packed.scanLine(y));
            for (int i = 0; i < picture.width() * 3; ++i)
                out[i] = in[i + i / 3];
        }
        picture = packed;
    }
    JxlEncoder *encoder = JxlEncoderCreate(nullptr);
    void *runner = JxlThreadParallelRunnerCreate(nullptr, 2);
    JxlEncoderSetParallelRunner(encoder, JxlThreadParallelRunner, runner);
    JxlBasicInfo info;
    JxlEncoderInitBasicInfo(&info);
    info.xsize = uint32_t(deep && !alpha ? picture.width() / 3 : picture.width());
    info.ysize = uint32_t(picture.height());
    info.bits_per_sample = deep ? 16 : 8;
    info.num_color_channels = 3;
    info.num_extra_channels = alpha ? 1 : 0;
    info.alpha_bits = alpha ? info.bits_per_sample : 0;
    info.orientation = JxlOrientation(orientation);
    info.uses_original_profile = distance == 0;
    JxlEncoderSetBasicInfo(encoder, &info);
    JxlColorEncoding encoding;
    JxlColorEncodingSetToSRGB(&encoding, JXL_FALSE);
    encoding.primaries = primaries == 12 ? JXL_PRIMARIES_P3
        : primaries == 9                 ? JXL_PRIMARIES_2100
                                         : JXL_PRIMARIES_SRGB;
    encoding.transfer_function = JxlTransferFunction(transfer);
    JxlEncoderSetColorEncoding(encoder, &encoding);
    JxlEncoderFrameSettings *settings = JxlEncoderFrameSettingsCreate(encoder, nullptr);
    if (distance == 0)
        JxlEncoderSetFrameLossless(settings, JXL_TRUE);
    else
        JxlEncoderSetFrameDistance(settings, distance);
    const JxlPixelFormat format = { alpha ? 4u : 3u, deep ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8,
        JXL_NATIVE_ENDIAN, size_t(picture.bytesPerLine()) };
    JxlEncoderAddImageFrame(settings, &format, picture.constBits(), size_t(picture.sizeInBytes()));
    JxlEncoderCloseInput(encoder);
    QByteArray bytes(1 << 16, 0);
    size_t done = 0;
    for (;;) {
        auto *next = reinterpret_cast<uint8_t *>(bytes.data()) + done;
        size_t room = size_t(bytes.size()) - done;
        const JxlEncoderStatus status = JxlEncoderProcessOutput(encoder, &next, &room);
        done = size_t(next - reinterpret_cast<uint8_t *>(bytes.data()));
        if (status != JXL_ENC_NEED_MORE_OUTPUT)
            break;
        bytes.resize(bytes.size() * 2);
    }
    bytes.resize(qsizetype(done));
    JxlEncoderDestroy(encoder);
    JxlThreadParallelRunnerDestroy(runner);
    return bytes;
}

// A picture as a JPEG 2000 file (or a bare codestream) with the given number of resolution
// levels, lossless or compressed by the given ratio, in square tiles of the given side (or one);
// grey for a Grayscale8 picture, grey with alpha where asked for; with `extra` components of no
// stated meaning, all at their top, between the colours and the alpha; or in cyan, magenta,
// yellow and black inks.
inline QByteArray jp2(const QImage &picture, bool codestream = false, int levels = 6,
    float ratio = 0, int tile = 0, bool greyalpha = false, int extra = 0, bool inks = false)
{
    const bool grey = greyalpha || picture.format() == QImage::Format_Grayscale8;
    const bool alpha = picture.hasAlphaChannel();
    const int colours = grey ? 1 : inks ? 4 : 3;
    const int count = colours + extra + (alpha ? 1 : 0);
    const QImage pixels = picture.format() == QImage::Format_Grayscale8
        ? picture
        : picture.convertToFormat(QImage::Format_ARGB32);
    opj_image_cmptparm_t parameters[8] = {};
    for (int c = 0; c < count; ++c)
        parameters[c]
            = { 1, 1, OPJ_UINT32(picture.width()), OPJ_UINT32(picture.height()), 0, 0, 8, 0, 0 };
    opj_image_t *image
        = opj_image_create(OPJ_UINT32(count), parameters, grey ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB);
    image->x1 = OPJ_UINT32(picture.width());
    image->y1 = OPJ_UINT32(picture.height());
    if (alpha)
        image->comps[count - 1].alpha = 1;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x) {
            const size_t at = size_t(y) * picture.width() + x;
            if (pixels.format() == QImage::Format_Grayscale8) {
                image->comps[0].data[at] = pixels.constScanLine(y)[x];
                continue;
            }
            const QRgb p = reinterpret_cast<const QRgb *>(pixels.constScanLine(y))[x];
            const int most = qMax(1, qMax(qRed(p), qMax(qGreen(p), qBlue(p))));
            const auto ink = [most](int level) { return (most - level) * 255 / most; };
            const int values[] = { inks ? ink(qRed(p)) : qRed(p), inks ? ink(qGreen(p)) : qGreen(p),
                inks ? ink(qBlue(p)) : qBlue(p), 255 - most };
            for (int c = 0; c < colours; ++c)
                image->comps[c].data[at] = values[c];
            for (int c = colours; c < colours + extra; ++c)
                image->comps[c].data[at] = 255;
            if (alpha)
                image->comps[count - 1].data[at] = qAlpha(p);
        }
    opj_cparameters_t settings;
    opj_set_default_encoder_parameters(&settings);
    settings.tcp_numlayers = 1;
    settings.tcp_rates[0] = ratio;
    settings.cp_disto_alloc = 1;
    // Each level halves the picture: no more levels than its smaller side allows.
    while (levels > 1 && (1 << (levels - 1)) > qMin(picture.width(), picture.height()))
        --levels;
    settings.numresolution = levels;
    if (tile > 0) {
        settings.tile_size_on = OPJ_TRUE;
        settings.cp_tdx = settings.cp_tdy = tile;
        while (levels > 1 && (1 << (levels - 1)) > tile)
            settings.numresolution = --levels;
    }
    settings.tcp_mct = grey || inks ? 0 : 1;
    opj_codec_t *codec = opj_create_compress(codestream ? OPJ_CODEC_J2K : OPJ_CODEC_JP2);
    if (!opj_setup_encoder(codec, &settings, image)) {
        opj_destroy_codec(codec);
        opj_image_destroy(image);
        return QByteArray();
    }
    struct output
    {
        QByteArray bytes;
        qint64 at = 0;
    } out;
    opj_stream_t *stream = opj_stream_create(1 << 16, OPJ_FALSE);
    opj_stream_set_user_data(stream, &out, nullptr);
    opj_stream_set_write_function(stream, [](void *data, OPJ_SIZE_T size, void *user) {
        auto *o = static_cast<output *>(user);
        if (o->at + qint64(size) > o->bytes.size())
            o->bytes.resize(o->at + qint64(size));
        std::memcpy(o->bytes.data() + o->at, data, size);
        o->at += qint64(size);
        return size;
    });
    opj_stream_set_skip_function(stream, [](OPJ_OFF_T by, void *user) {
        static_cast<output *>(user)->at += by;
        return by;
    });
    opj_stream_set_seek_function(stream, [](OPJ_OFF_T to, void *user) {
        static_cast<output *>(user)->at = to;
        return OPJ_TRUE;
    });
    if (!opj_start_compress(codec, image, stream) || !opj_encode(codec, stream)
        || !opj_end_compress(codec, stream))
        out.bytes.clear();
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    // The encoder names no colour space for inks: the file's says CMYK (12) instead of sRGB.
    const qsizetype colr = out.bytes.indexOf("colr");
    if (inks && colr > 0)
        qToBigEndian<quint32>(12, out.bytes.data() + colr + 7);
    return out.bytes;
}

// A picture as a WebP file: lossy at the quality given, or lossless at 100; alpha where the
// picture has it.
inline QByteArray webp(const QImage &picture, int quality = 90)
{
    const QImage rgba = picture.convertToFormat(QImage::Format_RGBA8888);
    uint8_t *made = nullptr;
    const int width = rgba.width(), height = rgba.height(), stride = int(rgba.bytesPerLine());
    const size_t size = quality >= 100
        ? WebPEncodeLosslessRGBA(rgba.constBits(), width, height, stride, &made)
        : WebPEncodeRGBA(rgba.constBits(), width, height, stride, float(quality), &made);
    const QByteArray bytes(reinterpret_cast<const char *>(made), qsizetype(size));
    WebPFree(made);
    return bytes;
}

// A JPEG of samples given a pixel at a time: grey, RGB or printing inks (CMYK, stored inverted
// as Adobe's writers store them, with the Adobe marker libjpeg writes for them), with an ICC
// profile in as many markers as it needs.
// How a JPEG is coded beyond the baseline: in progressive scans, with restart markers every so
// many rows of blocks, arithmetic-coded.
struct coding
{
    bool progressive = false;
    int restart = 0;
    bool arithmetic = false;
};

inline QByteArray jpeg(const std::vector<uchar> &samples, QSize size, int components,
    const QByteArray &icc = QByteArray(), int quality = 95, coding how = coding())
{
    jpeg_compress_struct info {};
    jpeg_error_mgr error {};
    info.err = jpeg_std_error(&error);
    jpeg_create_compress(&info);
    unsigned char *out = nullptr;
    unsigned long length = 0;
    jpeg_mem_dest(&info, &out, &length);
    info.image_width = JDIMENSION(size.width());
    info.image_height = JDIMENSION(size.height());
    info.input_components = components;
    info.in_color_space = components == 1 ? JCS_GRAYSCALE : components == 3 ? JCS_RGB : JCS_CMYK;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    if (how.progressive)
        jpeg_simple_progression(&info);
    info.restart_in_rows = how.restart;
    info.arith_code = how.arithmetic;
    jpeg_start_compress(&info, TRUE);
    if (!icc.isEmpty())
        jpeg_write_icc_profile(
            &info, reinterpret_cast<const JOCTET *>(icc.constData()), unsigned(icc.size()));
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(
            samples.data() + size_t(info.next_scanline) * size_t(size.width() * components));
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    QByteArray bytes(reinterpret_cast<const char *>(out), qsizetype(length));
    std::free(out);
    return bytes;
}

// A picture's red, green and blue samples, a pixel at a time.
inline std::vector<uchar> rgbof(const QImage &picture)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    std::vector<uchar> samples;
    for (int y = 0; y < rgb.height(); ++y)
        samples.insert(samples.end(), rgb.constScanLine(y), rgb.constScanLine(y) + rgb.width() * 3);
    return samples;
}

// One sample repeated over a picture of a size.
inline std::vector<uchar> plain(QSize size, const std::vector<uchar> &pixel)
{
    std::vector<uchar> samples;
    for (int i = 0; i < size.width() * size.height(); ++i)
        samples.insert(samples.end(), pixel.begin(), pixel.end());
    return samples;
}

inline QByteArray saved(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    cmsSaveProfileToMem(profile, nullptr, &size);
    QByteArray bytes(qsizetype(size), 0);
    cmsSaveProfileToMem(profile, bytes.data(), &size);
    cmsCloseProfile(profile);
    return bytes;
}

// A profile of lookup tables, of the colour model and version asked, whose table gives each
// device colour the colour of sRGB that `map` makes of it (each from 0 to 1).
inline QByteArray tabled(cmsColorSpaceSignature model, int channels, double version,
    void (*map)(const double *device, double *rgb))
{
    cmsHPROFILE profile = cmsCreateProfilePlaceholder(nullptr);
    cmsSetProfileVersion(profile, version);
    cmsSetDeviceClass(profile, model == cmsSigCmykData ? cmsSigOutputClass : cmsSigDisplayClass);
    cmsSetColorSpace(profile, model);
    cmsSetPCS(profile, cmsSigLabData);
    cmsWriteTag(profile, cmsSigMediaWhitePointTag, cmsD50_XYZ());
    cmsHPROFILE srgb = cmsCreate_sRGBProfile();
    cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
    struct context
    {
        cmsHTRANSFORM tolab;
        void (*map)(const double *, double *);
        int channels;
    } made { cmsCreateTransform(srgb, TYPE_RGB_DBL, lab, TYPE_Lab_16, INTENT_PERCEPTUAL, 0), map,
        channels };
    cmsPipeline *table = cmsPipelineAlloc(nullptr, cmsUInt32Number(channels), 3);
    cmsStage *grid = cmsStageAllocCLut16bit(nullptr, 9, cmsUInt32Number(channels), 3, nullptr);
    cmsStageSampleCLut16bit(
        grid,
        [](const cmsUInt16Number in[], cmsUInt16Number out[], void *cargo) -> cmsInt32Number {
            const auto *c = static_cast<const context *>(cargo);
            double device[4] = {}, rgb[3] = {};
            for (int k = 0; k < c->channels; ++k)
                device[k] = in[k] / 65535.0;
            c->map(device, rgb);
            cmsDoTransform(c->tolab, rgb, out, 1);
            return TRUE;
        },
        &made, 0);
    // Version 4's tables (mAB) hold curves on both sides of the grid, here of no change.
    cmsPipelineInsertStage(
        table, cmsAT_END, cmsStageAllocToneCurves(nullptr, cmsUInt32Number(channels), nullptr));
    cmsPipelineInsertStage(table, cmsAT_END, grid);
    cmsPipelineInsertStage(table, cmsAT_END, cmsStageAllocToneCurves(nullptr, 3, nullptr));
    cmsWriteTag(profile, cmsSigAToB0Tag, table);
    cmsPipelineFree(table);
    cmsDeleteTransform(made.tolab);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    return saved(profile);
}

// A grey profile of linear light.
inline QByteArray lineargrey()
{
    cmsToneCurve *linear = cmsBuildGamma(nullptr, 1.0);
    cmsHPROFILE profile = cmsCreateGrayProfile(cmsD50_xyY(), linear);
    cmsFreeToneCurve(linear);
    return saved(profile);
}

// What Little CMS makes of 8-bit samples in a profile's colours, in sRGB's (or another
// profile's, three 8-bit samples).
inline QColor converted(const QByteArray &icc, cmsUInt32Number layout, const uchar *samples,
    const QByteArray &into = QByteArray(), cmsUInt32Number intolayout = TYPE_RGB_8)
{
    cmsHPROFILE profile = cmsOpenProfileFromMem(icc.constData(), cmsUInt32Number(icc.size()));
    cmsHPROFILE srgb = into.isEmpty()
        ? cmsCreate_sRGBProfile()
        : cmsOpenProfileFromMem(into.constData(), cmsUInt32Number(into.size()));
    cmsHTRANSFORM t = cmsCreateTransform(profile, layout, srgb, intolayout, INTENT_PERCEPTUAL, 0);
    uchar rgb[3] = {};
    cmsDoTransform(t, samples, rgb, 1);
    cmsDeleteTransform(t);
    cmsCloseProfile(srgb);
    cmsCloseProfile(profile);
    return QColor(rgb[0], rgb[1], rgb[2]);
}

// How a TIFF is laid out: its samples (bits, and whether floating point), colour model
// (PHOTOMETRIC_*), planes apart or side by side, tiles or strips, and compression.
struct tiffing
{
    int bits = 8;
    int photometric = PHOTOMETRIC_RGB;
    bool planar = false;
    bool tiled = false;
    int compression = COMPRESSION_LZW;
    bool floating = false;
    bool sign = false; // signed whole numbers
    bool bytemap = false; // a palette's colours written as 8-bit values, as many writers do
};

// A picture as a TIFF written by libtiff in that layout: RGB samples as they are; grey from the
// green; inks as the complement of the colours, with no black; CIELab as Little CMS makes it of
// sRGB; 1-bit grey as dots of black and white, their density the grey's; a palette of the
// picture's first 256 colours.
inline QByteArray tiff(const QImage &picture, const tiffing &how)
{
    const QImage rgb = picture.convertToFormat(QImage::Format_RGB888);
    const int width = rgb.width(), height = rgb.height();
    const bool grey
        = how.photometric == PHOTOMETRIC_MINISBLACK || how.photometric == PHOTOMETRIC_MINISWHITE;
    const bool palette = how.photometric == PHOTOMETRIC_PALETTE;
    const int samples = grey || palette ? 1 : how.photometric == PHOTOMETRIC_SEPARATED ? 4 : 3;
    QList<QRgb> colours;
    cmsHPROFILE srgb = cmsCreate_sRGBProfile(), lab = cmsCreateLab4Profile(nullptr);
    cmsHTRANSFORM tolab
        = cmsCreateTransform(srgb, TYPE_RGB_8, lab, TYPE_Lab_DBL, INTENT_PERCEPTUAL, 0);
    // Each pixel's samples from 0 to 1.
    std::vector<double> values(size_t(width) * size_t(height) * size_t(samples));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uchar *p = rgb.constScanLine(y) + x * 3;
            double *v = values.data() + (size_t(y) * size_t(width) + size_t(x)) * size_t(samples);
            if (grey) {
                v[0] = how.photometric == PHOTOMETRIC_MINISWHITE ? 1 - p[1] / 255.0 : p[1] / 255.0;
                if (how.bits == 1)
                    v[0] = ((x * 7 + y * 13) % 17) / 17.0 < v[0] ? 1 : 0;
            } else if (palette) {
                const QRgb c = qRgb(p[0], p[1], p[2]);
                if (!colours.contains(c) && colours.size() < 256)
                    colours << c;
                v[0] = double(qMax<qsizetype>(0, colours.indexOf(c))) / ((1 << how.bits) - 1);
            } else if (how.photometric == PHOTOMETRIC_SEPARATED) {
                for (int c = 0; c < 3; ++c)
                    v[c] = 1 - p[c] / 255.0;
                v[3] = 0;
            } else if (how.photometric == PHOTOMETRIC_CIELAB) {
                cmsCIELab l;
                cmsDoTransform(tolab, p, &l, 1);
                v[0] = l.L / 100;
                v[1] = (l.a < 0 ? l.a + 256 : l.a) / 255; // signed, stored as its byte
                v[2] = (l.b < 0 ? l.b + 256 : l.b) / 255;
            } else {
                for (int c = 0; c < 3; ++c)
                    v[c] = p[c] / 255.0;
            }
        }
    cmsDeleteTransform(tolab);
    cmsCloseProfile(srgb);
    cmsCloseProfile(lab);
    QTemporaryFile file;
    file.open();
    TIFF *out = TIFFOpen(file.fileName().toLocal8Bit().constData(), "w");
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, uint32_t(width));
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, uint16_t(how.bits));
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, uint16_t(samples));
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, uint16_t(how.photometric));
    TIFFSetField(out, TIFFTAG_PLANARCONFIG,
        uint16_t(how.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG));
    TIFFSetField(out, TIFFTAG_COMPRESSION, uint16_t(how.compression));
    TIFFSetField(out, TIFFTAG_SAMPLEFORMAT,
        uint16_t(how.floating ? SAMPLEFORMAT_IEEEFP
                : how.sign    ? SAMPLEFORMAT_INT
                              : SAMPLEFORMAT_UINT));
    if (palette) {
        std::vector<uint16_t> map(3 * 256, 0);
        for (qsizetype i = 0; i < colours.size(); ++i)
            for (int c = 0; c < 3; ++c) {
                const int level = (colours[i] >> (16 - 8 * c)) & 255;
                map[size_t(c) * 256 + size_t(i)] = uint16_t(how.bytemap ? level : level * 257);
            }
        TIFFSetField(out, TIFFTAG_COLORMAP, map.data(), map.data() + 256, map.data() + 512);
    }
    if (how.tiled) {
        TIFFSetField(out, TIFFTAG_TILEWIDTH, uint32_t(16));
        TIFFSetField(out, TIFFTAG_TILELENGTH, uint32_t(16));
    } else {
        TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, uint32_t(7));
    }
    // Each plane's (or the only plane's) samples of a block of rows and columns, packed.
    const auto packed = [&](int plane, int top, int left, int rows, int columns) {
        const int per = how.planar ? 1 : samples;
        std::vector<uchar> bytes(size_t((qint64(columns) * per * how.bits + 7) / 8) * size_t(rows));
        const size_t line = bytes.size() / size_t(rows);
        const double topvalue = double((qint64(1) << qMin(how.bits, 16)) - 1);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns * per; ++c) {
                const int x = left + c / per, y = top + r, k = how.planar ? plane : c % per;
                const double v = x < width && y < height
                    ? values[(size_t(y) * size_t(width) + size_t(x)) * size_t(samples) + size_t(k)]
                    : 0;
                uchar *at = bytes.data() + size_t(r) * line;
                if (how.floating && how.bits == 16) {
                    const qfloat16 f(v);
                    std::memcpy(at + size_t(c) * 2, &f, 2);
                } else if (how.floating) {
                    const float f = float(v);
                    std::memcpy(at + size_t(c) * 4, &f, 4);
                } else if (how.bits == 16) {
                    // Signed samples centred on zero.
                    const quint16 w = quint16(std::lround(v * topvalue) ^ (how.sign ? 0x8000 : 0));
                    std::memcpy(at + size_t(c) * 2, &w, 2);
                } else {
                    const quint32 w = quint32(std::lround(v * topvalue));
                    for (int b = 0; b < how.bits; ++b) {
                        const qint64 bit = qint64(c) * how.bits + b;
                        if (w >> (how.bits - 1 - b) & 1)
                            at[bit / 8] |= uchar(0x80 >> (bit % 8));
                    }
                }
            }
        return bytes;
    };
    const int planes = how.planar ? samples : 1;
    for (int plane = 0; plane < planes; ++plane) {
        if (how.tiled) {
            for (int y = 0; y < height; y += 16)
                for (int x = 0; x < width; x += 16) {
                    std::vector<uchar> tile = packed(plane, y, x, 16, 16);
                    TIFFWriteTile(out, tile.data(), uint32_t(x), uint32_t(y), 0, uint16_t(plane));
                }
        } else {
            for (int y = 0; y < height; ++y) {
                std::vector<uchar> row = packed(plane, y, 0, 1, width);
                TIFFWriteScanline(out, row.data(), uint32_t(y), uint16_t(plane));
            }
        }
    }
    TIFFClose(out);
    file.seek(0);
    return file.readAll();
}

// How a BMP is laid out: bits a pixel, coding (0 plain, 1 RLE8, 2 RLE4, 3 bit fields, 5 a PNG
// inside), the bit fields of red, green, blue and alpha, the header's size (12 for OS/2's, 40, or
// 124 with room for a profile), and rows stored top down.
struct bmping
{
    int bits = 24;
    int coding = 0;
    std::array<quint32, 4> masks {};
    int header = 40;
    bool topdown = false;
    QByteArray icc = {};
};

// A picture as a BMP in that layout: a palette of its first colours at 8 bits and fewer, runs of
// one colour coded as such; each channel scaled into its field; 64 bits as linear light.
inline QByteArray bmp(const QImage &picture, const bmping &how)
{
    const QImage argb = picture.convertToFormat(QImage::Format_ARGB32);
    const int width = argb.width(), height = argb.height();
    QList<QRgb> palette;
    const auto index = [&](QRgb c) {
        if (!palette.contains(c) && palette.size() < (1 << how.bits))
            palette << c;
        return int(qMax<qsizetype>(0, palette.indexOf(c)));
    };
    const auto scaled = [](int level, quint32 mask) {
        const int shift = mask ? qCountTrailingZeroBits(mask) : 0;
        return quint32(qRound(level / 255.0 * (mask >> shift))) << shift;
    };
    const auto linear = [](double v) {
        v = v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        return quint16(qRound(v * 8192));
    };
    QByteArray pixels;
    for (int i = 0; i < height; ++i) {
        const QRgb *line
            = reinterpret_cast<const QRgb *>(argb.constScanLine(how.topdown ? i : height - 1 - i));
        QByteArray row;
        for (int x = 0; x < width; ++x) {
            const QRgb c = line[x];
            if (how.bits <= 8 && how.coding == 0) {
                if (x % (8 / how.bits) == 0)
                    row += '\0';
                row[row.size() - 1] = char(
                    uchar(row.back()) | index(c) << (8 - how.bits * (x % (8 / how.bits) + 1)));
            } else if (how.coding == 1 || how.coding == 2) {
                int run = 1;
                while (x + run < width && line[x + run] == c && run < 255)
                    ++run;
                row += char(run);
                row += char(how.coding == 2 ? index(c) * 17 : index(c));
                x += run - 1;
            } else if (how.bits == 64) {
                const quint16 v[4] = { linear(qBlue(c) / 255.0), linear(qGreen(c) / 255.0),
                    linear(qRed(c) / 255.0), quint16(qRound(qAlpha(c) / 255.0 * 8192)) };
                row += QByteArray(reinterpret_cast<const char *>(v), 8);
            } else if (how.bits == 24) {
                row += char(qBlue(c));
                row += char(qGreen(c));
                row += char(qRed(c));
            } else {
                const quint32 v = scaled(qRed(c), how.masks[0]) | scaled(qGreen(c), how.masks[1])
                    | scaled(qBlue(c), how.masks[2]) | scaled(qAlpha(c), how.masks[3]);
                QByteArray bytes(4, 0);
                qToLittleEndian(v, bytes.data());
                row += bytes.left(how.bits / 8);
            }
        }
        if (how.coding == 1 || how.coding == 2)
            row += QByteArray(2, 0);
        else
            row += QByteArray((4 - row.size() % 4) % 4, 0);
        pixels += row;
    }
    if (how.coding == 1 || how.coding == 2)
        pixels += QByteArray::fromHex("0001");
    if (how.coding == 5) {
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        picture.save(&png, "PNG");
        pixels = png.data();
    }
    const auto le = [](quint32 value, int size) {
        QByteArray bytes(4, 0);
        qToLittleEndian(value, bytes.data());
        return bytes.left(size);
    };
    QByteArray info = le(quint32(how.header), 4);
    if (how.header == 12) {
        info
            += le(quint32(width), 2) + le(quint32(height), 2) + le(1, 2) + le(quint32(how.bits), 2);
    } else {
        info += le(quint32(width), 4) + le(quint32(how.topdown ? -height : height), 4) + le(1, 2)
            + le(quint32(how.bits), 2) + le(quint32(how.coding), 4) + le(quint32(pixels.size()), 4)
            + le(2835, 4) + le(2835, 4) + le(quint32(palette.size()), 4) + le(0, 4);
        if (how.header == 124) {
            for (const quint32 mask : how.masks)
                info += le(mask, 4);
            info += QByteArray(how.icc.isEmpty() ? "BGRs" : "DEBM", 4) + QByteArray(48, 0);
            info += le(4, 4) + le(quint32(pixels.size()), 4) + le(quint32(how.icc.size()), 4)
                + le(0, 4);
        } else if (how.coding == 3) {
            for (int k = 0; k < 3; ++k)
                info += le(how.masks[size_t(k)], 4);
        }
    }
    QByteArray colours;
    for (const QRgb c : palette) {
        colours += char(qBlue(c));
        colours += char(qGreen(c));
        colours += char(qRed(c));
        if (how.header != 12)
            colours += '\0';
    }
    const quint32 offset = quint32(14 + info.size() + colours.size());
    if (how.header == 124)
        info.replace(112, 4, le(quint32(offset - 14 + pixels.size()), 4));
    const QByteArray rest = info + colours + pixels + how.icc;
    return "BM" + le(quint32(14 + rest.size()), 4) + le(0, 4) + le(offset, 4) + rest;
}

} // namespace writers
