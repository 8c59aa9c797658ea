// JPEG XL pictures, read with libjxl on every core: upright, the first frame of an animation, in
// their own colour space; at an eighth of their size from the low-resolution image every lossy
// picture carries first, without decoding the rest. (libjxl starts its vector library when it is
// loaded, which times the clock for several milliseconds: this reader is loaded only for a JPEG
// XL picture.)

#include "colour.h"
#include "kinds.h"
#include "owned.h"
#include "parallel.h"
#include "pixels.h"
#include "profiles.h"
#include "reader.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>
#include <memory>
#include <optional>

namespace {

// libjxl holds several times a picture's pixels while it decodes: larger pictures are refused
// before it starts.
constexpr qint64 pixellimit = qint64(128) << 20;
// The reduction the low-resolution image gives.
constexpr int dcshrink = 8;

// Rows libjxl hands over, from its threads, gathered into the picture at the size asked.
void taken(void *into, size_t x, size_t y, size_t count, const void *samples, bool wide)
{
    auto *made = static_cast<pixels::gatherer *>(into);
    if (wide)
        made->addpixels(int(y), int(x), int(count), static_cast<const quint16 *>(samples), 4);
    else
        made->addpixels(int(y), int(x), int(count), static_cast<const quint8 *>(samples), 4);
}

void takennarrow(void *into, size_t x, size_t y, size_t count, const void *samples)
{
    taken(into, x, y, count, samples, false);
}

void takenwide(void *into, size_t x, size_t y, size_t count, const void *samples)
{
    taken(into, x, y, count, samples, true);
}

QPointF xy(const double value[2])
{
    return QPointF(value[0], value[1]);
}

// The colour space a colour encoding names, which names its primaries, transfer and white as
// H.273 code points do, or by their coordinates; PQ and HLG pictures are written as linear light.
QColorSpace colourspace(const JxlColorEncoding &encoding, colour::curve *light)
{
    if (encoding.color_space != JXL_COLOR_SPACE_RGB && encoding.color_space != JXL_COLOR_SPACE_GRAY)
        return QColorSpace();
    // Grey has no primaries of its own: sRGB's serve.
    const bool rgb = encoding.color_space == JXL_COLOR_SPACE_RGB;
    colour::chromaticities of = colour::primaries(rgb ? int(encoding.primaries) : 1);
    if (rgb && encoding.primaries == JXL_PRIMARIES_CUSTOM)
        of = { of.white, xy(encoding.primaries_red_xy), xy(encoding.primaries_green_xy),
            xy(encoding.primaries_blue_xy) };
    if (encoding.white_point == JXL_WHITE_POINT_D65)
        of.white = colour::primaries(1).white;
    else if (encoding.white_point == JXL_WHITE_POINT_DCI)
        of.white = colour::primaries(11).white;
    else if (encoding.white_point == JXL_WHITE_POINT_E)
        of.white = QPointF(1 / 3.0, 1 / 3.0);
    else if (encoding.white_point == JXL_WHITE_POINT_CUSTOM)
        of.white = xy(encoding.white_point_xy);
    const int transfer = int(encoding.transfer_function);
    *light = colour::lightof(transfer);
    if (transfer == JXL_TRANSFER_FUNCTION_GAMMA && (encoding.gamma <= 0 || encoding.gamma > 1))
        return QColorSpace();
    return colour::space(
        of, transfer, transfer == JXL_TRANSFER_FUNCTION_GAMMA ? 1 / encoding.gamma : 0);
}

class jxlhandler : public reader::handler
{
public:
    jxlhandler()
        : handler("jxl", recognises)
    { }
    bool readimage(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    using runner = owned<void, JxlThreadParallelRunnerDestroy>;
    owned<JxlDecoder, JxlDecoderDestroy> start(int events);
    owned<JxlDecoder, JxlDecoderDestroy> begin(bool lowresolution, runner &threads);
    bool gatherinto(std::optional<pixels::gatherer> &into, JxlDecoder *decoder,
        const JxlPixelFormat &format, QSize size, colour::curve light) const;
    bool decode(QImage *made, QSize size, bool wide, bool lowresolution, profiles::described *space,
        colour::curve *light);

    QByteArray bytes;
    JxlBasicInfo info {};
};

bool jxlhandler::recognises(QIODevice *device)
{
    return startsas(*device, "jxl");
}

owned<JxlDecoder, JxlDecoderDestroy> jxlhandler::start(int events)
{
    owned<JxlDecoder, JxlDecoderDestroy> decoder(JxlDecoderCreate(nullptr));
    if (!decoder || JxlDecoderSubscribeEvents(decoder.get(), events) != JXL_DEC_SUCCESS
        || JxlDecoderSetInput(decoder.get(), reinterpret_cast<const uint8_t *>(bytes.constData()),
               size_t(bytes.size()))
            != JXL_DEC_SUCCESS)
        return nullptr;
    JxlDecoderCloseInput(decoder.get());
    return decoder;
}

bool jxlhandler::readheader()
{
    bytes = contents();
    if (bytes.isEmpty())
        return false;
    const auto decoder = start(JXL_DEC_BASIC_INFO);
    if (!decoder || JxlDecoderProcessInput(decoder.get()) != JXL_DEC_BASIC_INFO
        || JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS)
        return false;
    const QSize stored(
        int(qMin<quint32>(info.xsize, INT_MAX)), int(qMin<quint32>(info.ysize, INT_MAX)));
    const QSize upright = info.orientation >= JXL_ORIENT_TRANSPOSE ? stored.transposed() : stored;
    if (!pixels::allowed(upright) || qint64(upright.width()) * upright.height() > pixellimit)
        return false;
    whole = upright;
    return true;
}

// The picture's colours as libjxl tells them: its encoding, or else its ICC profile; nothing where
// it tells neither. libjxl leaves what does not apply (the primaries of grey) as it found it. The
// video curves (BT.709's and its kin) are taken as the profile libjxl makes of them says, as its
// reference decoder writes it.
std::optional<profiles::described> spaceof(
    JxlDecoder *decoder, const JxlPixelFormat &format, colour::curve *light)
{
    JxlColorEncoding encoding {};
    if (JxlDecoderGetColorAsEncodedProfile(
            decoder, &format, JXL_COLOR_PROFILE_TARGET_DATA, &encoding)
            == JXL_DEC_SUCCESS
        && encoding.transfer_function != JXL_TRANSFER_FUNCTION_709)
        return profiles::described { QByteArray(), colourspace(encoding, light) };
    size_t icc = 0;
    if (JxlDecoderGetICCProfileSize(decoder, &format, JXL_COLOR_PROFILE_TARGET_DATA, &icc)
            != JXL_DEC_SUCCESS
        || icc == 0 || icc >= (size_t(1) << 24))
        return std::nullopt;
    QByteArray profile(qsizetype(icc), 0);
    if (JxlDecoderGetColorAsICCProfile(decoder, &format, JXL_COLOR_PROFILE_TARGET_DATA,
            reinterpret_cast<uint8_t *>(profile.data()), icc)
        != JXL_DEC_SUCCESS)
        return std::nullopt;
    return profiles::described { profile, QColorSpace() };
}

// The gatherer libjxl hands its rows to, once the colours are known.
bool jxlhandler::gatherinto(std::optional<pixels::gatherer> &into, JxlDecoder *decoder,
    const JxlPixelFormat &format, QSize size, colour::curve light) const
{
    pixels::meaning samples;
    samples.light = light;
    samples.wide = format.data_type == JXL_TYPE_UINT16;
    samples.alpha = info.alpha_bits > 0;
    samples.premultiplied = info.alpha_premultiplied;
    const QList<pixels::gatherer::grid> grids(
        samples.alpha ? 4 : 3, { whole, samples.wide ? 16 : 8 });
    into.emplace(size, samples, grids);
    return into->valid()
        && JxlDecoderSetImageOutCallback(
               decoder, &format, samples.wide ? takenwide : takennarrow, &*into)
        == JXL_DEC_SUCCESS;
}

// A decoder that decodes on every core, and with `lowresolution` stops at the low-resolution image.
owned<JxlDecoder, JxlDecoderDestroy> jxlhandler::begin(bool lowresolution, runner &threads)
{
    int events = JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE;
    if (lowresolution)
        events |= JXL_DEC_FRAME_PROGRESSION;
    auto decoder = start(events);
    threads.reset(JxlThreadParallelRunnerCreate(nullptr, size_t(cores())));
    if (!decoder || !threads
        || JxlDecoderSetParallelRunner(decoder.get(), JxlThreadParallelRunner, threads.get())
            != JXL_DEC_SUCCESS
        || (lowresolution && JxlDecoderSetProgressiveDetail(decoder.get(), kDC) != JXL_DEC_SUCCESS))
        return nullptr;
    return decoder;
}

// Decodes the first frame into the target, or with `lowresolution` only its low-resolution image,
// which stands for the whole picture at an eighth of its size.
bool jxlhandler::decode(QImage *made, QSize size, bool wide, bool lowresolution,
    profiles::described *space, colour::curve *light)
{
    runner threads;
    const auto decoder = begin(lowresolution, threads);
    if (!decoder)
        return false;
    const JxlPixelFormat format
        = { 4, wide ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0 };
    std::optional<pixels::gatherer> into;
    for (;;) {
        switch (JxlDecoderProcessInput(decoder.get())) {
        case JXL_DEC_COLOR_ENCODING:
            if (const auto found = spaceof(decoder.get(), format, light))
                *space = *found;
            if (!gatherinto(into, decoder.get(), format, size, *light))
                return false;
            break;
        case JXL_DEC_FRAME_PROGRESSION:
            if (JxlDecoderGetIntendedDownsamplingRatio(decoder.get()) > size_t(dcshrink))
                break;
            if (JxlDecoderFlushImage(decoder.get()) != JXL_DEC_SUCCESS)
                return false;
            *made = into->finish();
            return !made->isNull();
        case JXL_DEC_FULL_IMAGE:
            if (!into)
                return false;
            *made = into->finish();
            return !made->isNull();
        default:
            return false;
        }
    }
}

bool jxlhandler::readimage(QImage *image)
{
    if (!header())
        return false;
    const int asked = scaled.isValid() ? reader::factor(whole, scaled) : 1;
    // At an eighth or less, the low-resolution image stands for the whole picture.
    const bool lowresolution = asked >= dcshrink;
    colour::curve light = colour::curve::plain;
    profiles::described space;
    const bool wide
        = info.bits_per_sample > 8 || info.exponent_bits_per_sample > 0 || info.alpha_bits > 8;
    QImage made;
    bool done = decode(&made, wanted(), wide, lowresolution, &space, &light);
    if (!done && lowresolution)
        done = decode(&made, wanted(), wide, false, &space, &light);
    // HDR pictures are asked for in 16 bits, so that the shoulder has room to work.
    if (done && light != colour::curve::plain && !wide)
        done = decode(&made, wanted(), true, lowresolution, &space, &light);
    if (!done)
        return false;
    profiles::apply(made, space);
    return deliver(std::move(made), image);
}

} // namespace

class jxlplugin : public reader::plugin<jxlhandler>
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "jxl.json")

public:
    jxlplugin()
        : plugin({ "jxl" })
    { }
};

#include "jxl.moc"
