// WebP pictures, read with libwebp: a still picture scaled as it is decoded to the size asked for,
// so that the whole picture is never held; an animation's first frame, whole.

#include "kinds.h"
#include "owned.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <QSysInfo>
#include <memory>
#include <webp/decode.h>
#include <webp/demux.h>

namespace {

// Premultiplied samples in the byte order of the screen's pixmap formats, alpha or not.
WEBP_CSP_MODE premultiplied()
{
    return QSysInfo::ByteOrder == QSysInfo::LittleEndian ? MODE_bgrA : MODE_Argb;
}

class webphandler : public reader::handler
{
public:
    webphandler()
        : handler("webp", recognises)
    { }
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    bool firstframe(QImage *image) const;
    QByteArray profile() const;
    WebPData data() const;

    QByteArray bytes;
    WebPBitstreamFeatures features {};
};

bool webphandler::recognises(QIODevice *device)
{
    return startsas(*device, "webp");
}

bool webphandler::readheader()
{
    bytes = contents();
    if (bytes.isEmpty())
        return false;
    if (WebPGetFeatures(data().bytes, data().size, &features) != VP8_STATUS_OK)
        return false;
    const QSize size(features.width, features.height);
    if (!pixels::allowed(size))
        return false;
    whole = size;
    return true;
}

WebPData webphandler::data() const
{
    return { reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()) };
}

QByteArray webphandler::profile() const
{
    const WebPData data = this->data();
    const owned<WebPDemuxer, WebPDemuxDelete> demuxer(WebPDemux(&data));
    WebPChunkIterator chunk;
    if (!demuxer || !WebPDemuxGetChunk(demuxer.get(), "ICCP", 1, &chunk))
        return QByteArray();
    QByteArray icc(reinterpret_cast<const char *>(chunk.chunk.bytes), qsizetype(chunk.chunk.size));
    WebPDemuxReleaseChunkIterator(&chunk);
    return icc;
}

// An animation's first frame, composed on its canvas.
bool webphandler::firstframe(QImage *image) const
{
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        return false;
    options.color_mode = premultiplied();
    options.use_threads = 1;
    const WebPData data = this->data();
    const owned<WebPAnimDecoder, WebPAnimDecoderDelete> decoder(
        WebPAnimDecoderNew(&data, &options));
    WebPAnimInfo info;
    uint8_t *pixels = nullptr;
    int timestamp = 0;
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info)
        || QSize(int(info.canvas_width), int(info.canvas_height)) != whole
        || !WebPAnimDecoderGetNext(decoder.get(), &pixels, &timestamp) || !pixels)
        return false;
    *image = QImage(pixels, whole.width(), whole.height(), whole.width() * 4,
        QImage::Format_ARGB32_Premultiplied)
                 .copy();
    return !image->isNull();
}

bool webphandler::readimage(QImage *image)
{
    if (!header())
        return false;
    QImage decoded;
    if (features.has_animation) {
        if (!firstframe(&decoded))
            return false;
    } else {
        const QSize size = wanted();
        if (!pixels::allowed(size))
            return false;
        pixels::meaning samples;
        samples.alpha = features.has_alpha;
        decoded = QImage(size, pixels::formatof(samples));
        if (decoded.isNull())
            return false;
        WebPDecoderConfig config;
        if (!WebPInitDecoderConfig(&config))
            return false;
        config.options.use_threads = 1;
        config.options.use_scaling = size != whole;
        config.options.scaled_width = size.width();
        config.options.scaled_height = size.height();
        config.output.colorspace = premultiplied();
        config.output.is_external_memory = 1;
        config.output.u.RGBA.rgba = decoded.bits();
        config.output.u.RGBA.stride = int(decoded.bytesPerLine());
        config.output.u.RGBA.size = size_t(decoded.sizeInBytes());
        const VP8StatusCode status = WebPDecode(data().bytes, data().size, &config);
        WebPFreeDecBuffer(&config.output);
        if (status != VP8_STATUS_OK)
            return false;
    }
    profiles::tosrgb(decoded, profile());
    return deliver(std::move(decoded), image);
}

} // namespace

class webpplugin : public reader::plugin<webphandler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "webp.json")

public:
    webpplugin()
        : plugin({ "webp" })
    { }
};

#include "webp.moc"
