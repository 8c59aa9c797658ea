// JPEG XL pictures, read with libjxl on every core: upright, the first frame of an animation, in
// their own colour space; at an eighth of their size from the low-resolution image every lossy
// picture carries first, without decoding the rest.

#include "samples.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <dlfcn.h>
#include <jxl/decode.h>
#include <jxl/thread_parallel_runner.h>
#include <memory>
#include <mutex>
#include <optional>

namespace {

// libjxl is loaded when a JPEG XL picture is first read, not with the program: loading it starts
// its vector library, which times the clock for several milliseconds, and every start-up would
// pay for that.
#define JXL_FUNCTIONS(F)                                                                           \
    F(JxlDecoderCloseInput)                                                                        \
    F(JxlDecoderCreate)                                                                            \
    F(JxlDecoderDestroy)                                                                           \
    F(JxlDecoderFlushImage)                                                                        \
    F(JxlDecoderGetBasicInfo)                                                                      \
    F(JxlDecoderGetColorAsEncodedProfile)                                                          \
    F(JxlDecoderGetColorAsICCProfile)                                                              \
    F(JxlDecoderGetICCProfileSize)                                                                 \
    F(JxlDecoderGetIntendedDownsamplingRatio)                                                      \
    F(JxlDecoderProcessInput)                                                                      \
    F(JxlDecoderSetImageOutCallback)                                                               \
    F(JxlDecoderSetInput)                                                                          \
    F(JxlDecoderSetParallelRunner)                                                                 \
    F(JxlDecoderSetProgressiveDetail)                                                              \
    F(JxlDecoderSubscribeEvents)                                                                   \
    F(JxlThreadParallelRunner)                                                                     \
    F(JxlThreadParallelRunnerCreate)                                                               \
    F(JxlThreadParallelRunnerDefaultNumWorkerThreads)                                              \
    F(JxlThreadParallelRunnerDestroy)

struct library
{
#define JXL_POINTER(name) decltype(&::name) name = nullptr;
    JXL_FUNCTIONS(JXL_POINTER)
#undef JXL_POINTER
};

// The library's functions; null when it cannot be loaded, and no JPEG XL picture is read.
const library *jxl()
{
    static const std::optional<library> loaded = []() -> std::optional<library> {
        void *decoder = dlopen(JXL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        void *threads = dlopen(JXL_THREADS_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!decoder || !threads)
            return std::nullopt;
        const auto find = [&](const char *name) {
            void *function = dlsym(decoder, name);
            return function ? function : dlsym(threads, name);
        };
        library made;
        bool complete = true;
#define JXL_FIND(name)                                                                             \
    made.name = reinterpret_cast<decltype(&::name)>(find(#name));                                  \
    complete = complete && made.name;
        JXL_FUNCTIONS(JXL_FIND)
#undef JXL_FIND
        return complete ? std::optional(made) : std::nullopt;
    }();
    return loaded ? &*loaded : nullptr;
}

void freedecoder(JxlDecoder *decoder)
{
    jxl()->JxlDecoderDestroy(decoder);
}

void freerunner(void *runner)
{
    jxl()->JxlThreadParallelRunnerDestroy(runner);
}

// libjxl holds several times a picture's pixels while it decodes: larger pictures are refused
// before it starts.
constexpr qint64 pixellimit = qint64(128) << 20;
// The reduction the low-resolution image gives.
constexpr int dcshrink = 8;

// Where decoded rows go: straight into the picture, or summed into the blocks of a reduced one.
// libjxl calls from its threads, and may visit a pixel twice (a pass over the low-resolution image,
// then the full one): sums are taken under a lock, and values never leave their range.
struct target
{
    QImage image;
    int shrink = 1;
    bool wide = false;
    bool alpha = false;
    bool premultiplied = false;
    std::vector<quint16> light;
    std::vector<quint32> sums; // four a block
    std::vector<quint32> counts;
    std::mutex summing;

    void put(uchar *line, int x, const quint32 v[4]) const
    {
        const quint32 top = wide ? 65535 : 255;
        quint32 c[3];
        for (int k = 0; k < 3; ++k)
            c[k] = light[qMin(v[k], top)];
        const quint32 a = alpha ? qMin(v[3], top) : top;
        if (alpha && !premultiplied)
            for (quint32 &value : c)
                value = (value * a + top / 2) / top;
        for (quint32 &value : c)
            value = qMin(value, a);
        if (wide)
            reinterpret_cast<QRgba64 *>(line)[x] = QRgba64::fromRgba64(c[0], c[1], c[2], a);
        else
            reinterpret_cast<QRgb *>(line)[x] = qRgba(int(c[0]), int(c[1]), int(c[2]), int(a));
    }

    template<typename T> void take(size_t x, size_t y, size_t count, const T *pixels)
    {
        if (shrink == 1) {
            if (y >= size_t(image.height()))
                return;
            uchar *line = image.scanLine(int(y));
            for (size_t i = 0; i < count && x + i < size_t(image.width()); ++i) {
                const quint32 v[4]
                    = { pixels[4 * i], pixels[4 * i + 1], pixels[4 * i + 2], pixels[4 * i + 3] };
                put(line, int(x + i), v);
            }
            return;
        }
        const size_t row = y / shrink;
        const size_t end = qMin(x + count, size_t(image.width()) * shrink);
        if (row >= size_t(image.height()) || x >= end)
            return;
        // Block by block along the run, with no division a pixel: this is most of the work.
        size_t block = row * image.width() + x / shrink;
        size_t next = (x / shrink + 1) * shrink; // where the next block starts
        const std::lock_guard<std::mutex> lock(summing);
        for (size_t at = x; at < end; ++at, pixels += 4) {
            if (at == next) {
                next += shrink;
                ++block;
            }
            quint32 *sum = &sums[4 * block];
            for (int c = 0; c < 4; ++c)
                sum[c] += pixels[c];
            ++counts[block];
        }
    }

    static void taken(void *opaque, size_t x, size_t y, size_t count, const void *pixels)
    {
        auto *into = static_cast<target *>(opaque);
        if (into->wide)
            into->take(x, y, count, static_cast<const quint16 *>(pixels));
        else
            into->take(x, y, count, static_cast<const quint8 *>(pixels));
    }

    // The reduced picture from its sums; false when a block got nothing.
    bool finish()
    {
        if (shrink == 1)
            return true;
        for (int y = 0; y < image.height(); ++y) {
            uchar *line = image.scanLine(y);
            for (int x = 0; x < image.width(); ++x) {
                const size_t block = size_t(y) * image.width() + x;
                const quint32 n = counts[block];
                if (!n)
                    return false;
                quint32 v[4];
                for (int c = 0; c < 4; ++c)
                    v[c] = (sums[4 * block + c] + n / 2) / n;
                put(line, x, v);
            }
        }
        return true;
    }
};

QPointF xy(const double value[2])
{
    return QPointF(value[0], value[1]);
}

// The colour space a colour encoding names; PQ and HLG pictures are written as linear light.
QColorSpace colourspace(const JxlColorEncoding &encoding, samples::curve *light)
{
    if (encoding.color_space != JXL_COLOR_SPACE_RGB && encoding.color_space != JXL_COLOR_SPACE_GRAY)
        return QColorSpace();
    using tf = QColorSpace::TransferFunction;
    tf function = tf::SRgb;
    float gamma = 0;
    switch (encoding.transfer_function) {
    case JXL_TRANSFER_FUNCTION_LINEAR:
        function = tf::Linear;
        break;
    case JXL_TRANSFER_FUNCTION_PQ:
    case JXL_TRANSFER_FUNCTION_HLG:
        *light = samples::lightof(int(encoding.transfer_function));
        function = tf::Linear;
        break;
    case JXL_TRANSFER_FUNCTION_GAMMA:
        if (encoding.gamma <= 0 || encoding.gamma > 1)
            return QColorSpace();
        function = tf::Gamma;
        gamma = float(1 / encoding.gamma);
        break;
    case JXL_TRANSFER_FUNCTION_DCI:
        function = tf::Gamma;
        gamma = 2.6f;
        break;
    default: // sRGB, and BT.709's, shown as sRGB
        break;
    }
    QPointF white(0.3127, 0.3290);
    if (encoding.white_point == JXL_WHITE_POINT_DCI)
        white = QPointF(0.314, 0.351);
    else if (encoding.white_point == JXL_WHITE_POINT_E)
        white = QPointF(1 / 3.0, 1 / 3.0);
    else if (encoding.white_point == JXL_WHITE_POINT_CUSTOM)
        white = xy(encoding.white_point_xy);
    // Grey has no primaries of its own: sRGB's serve.
    const bool rgb = encoding.color_space == JXL_COLOR_SPACE_RGB;
    QPointF red(0.64, 0.33), green(0.30, 0.60), blue(0.15, 0.06);
    if (rgb && encoding.primaries == JXL_PRIMARIES_2100) {
        red = QPointF(0.708, 0.292);
        green = QPointF(0.170, 0.797);
        blue = QPointF(0.131, 0.046);
    } else if (rgb && encoding.primaries == JXL_PRIMARIES_P3) {
        red = QPointF(0.680, 0.320);
        green = QPointF(0.265, 0.690);
        blue = QPointF(0.150, 0.060);
    } else if (rgb && encoding.primaries == JXL_PRIMARIES_CUSTOM) {
        red = xy(encoding.primaries_red_xy);
        green = xy(encoding.primaries_green_xy);
        blue = xy(encoding.primaries_blue_xy);
    }
    return QColorSpace(white, red, green, blue, function, gamma);
}

class jxlhandler : public samples::handler
{
public:
    jxlhandler()
        : handler("jxl", recognises)
    { }
    bool read(QImage *image) override;
    static bool recognises(QIODevice *device);

protected:
    bool readheader() override;

private:
    samples::owned<JxlDecoder, freedecoder> start(int events);
    bool decode(target &into, bool lowresolution, QColorSpace *space, samples::curve *light);

    QByteArray bytes;
    JxlBasicInfo info {};
};

bool jxlhandler::recognises(QIODevice *device)
{
    // A bare codestream, or the container's signature box.
    const QByteArray first = device->peek(12);
    return first.startsWith("\xff\x0a") || first == QByteArray("\0\0\0\x0cJXL \r\n\x87\n", 12);
}

samples::owned<JxlDecoder, freedecoder> jxlhandler::start(int events)
{
    samples::owned<JxlDecoder, freedecoder> decoder(jxl()->JxlDecoderCreate(nullptr));
    if (!decoder || jxl()->JxlDecoderSubscribeEvents(decoder.get(), events) != JXL_DEC_SUCCESS
        || jxl()->JxlDecoderSetInput(decoder.get(),
               reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()))
            != JXL_DEC_SUCCESS)
        return nullptr;
    jxl()->JxlDecoderCloseInput(decoder.get());
    return decoder;
}

bool jxlhandler::readheader()
{
    if (!jxl())
        return false;
    bytes = contents();
    if (bytes.isEmpty())
        return false;
    const auto decoder = start(JXL_DEC_BASIC_INFO);
    if (!decoder || jxl()->JxlDecoderProcessInput(decoder.get()) != JXL_DEC_BASIC_INFO
        || jxl()->JxlDecoderGetBasicInfo(decoder.get(), &info) != JXL_DEC_SUCCESS)
        return false;
    const QSize stored(
        int(qMin<quint32>(info.xsize, INT_MAX)), int(qMin<quint32>(info.ysize, INT_MAX)));
    const QSize upright = info.orientation >= JXL_ORIENT_TRANSPOSE ? stored.transposed() : stored;
    if (!samples::allowed(upright) || qint64(upright.width()) * upright.height() > pixellimit)
        return false;
    whole = upright;
    return true;
}

// Decodes the first frame into the target, or with `lowresolution` only its low-resolution image,
// which stands for the whole picture at an eighth of its size.
bool jxlhandler::decode(target &into, bool lowresolution, QColorSpace *space, samples::curve *light)
{
    int events = JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE;
    if (lowresolution)
        events |= JXL_DEC_FRAME_PROGRESSION;
    const auto decoder = start(events);
    const samples::owned<void, freerunner> runner(jxl()->JxlThreadParallelRunnerCreate(
        nullptr, jxl()->JxlThreadParallelRunnerDefaultNumWorkerThreads()));
    if (!decoder || !runner
        || jxl()->JxlDecoderSetParallelRunner(
               decoder.get(), jxl()->JxlThreadParallelRunner, runner.get())
            != JXL_DEC_SUCCESS)
        return false;
    if (lowresolution
        && jxl()->JxlDecoderSetProgressiveDetail(decoder.get(), kDC) != JXL_DEC_SUCCESS)
        return false;
    const JxlPixelFormat format
        = { 4, into.wide ? JXL_TYPE_UINT16 : JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0 };
    for (;;) {
        switch (jxl()->JxlDecoderProcessInput(decoder.get())) {
        case JXL_DEC_COLOR_ENCODING: {
            // libjxl leaves what does not apply (the primaries of grey) as it found it.
            JxlColorEncoding encoding {};
            size_t icc = 0;
            if (jxl()->JxlDecoderGetColorAsEncodedProfile(
                    decoder.get(), &format, JXL_COLOR_PROFILE_TARGET_DATA, &encoding)
                == JXL_DEC_SUCCESS) {
                *space = colourspace(encoding, light);
            } else if (jxl()->JxlDecoderGetICCProfileSize(
                           decoder.get(), &format, JXL_COLOR_PROFILE_TARGET_DATA, &icc)
                    == JXL_DEC_SUCCESS
                && icc > 0 && icc < (size_t(1) << 24)) {
                QByteArray profile(qsizetype(icc), 0);
                if (jxl()->JxlDecoderGetColorAsICCProfile(decoder.get(), &format,
                        JXL_COLOR_PROFILE_TARGET_DATA, reinterpret_cast<uint8_t *>(profile.data()),
                        icc)
                    == JXL_DEC_SUCCESS)
                    *space = QColorSpace::fromIccProfile(profile);
            }
            into.light = samples::levels(into.wide ? 16 : 8, *light, into.wide);
            if (jxl()->JxlDecoderSetImageOutCallback(decoder.get(), &format, target::taken, &into)
                != JXL_DEC_SUCCESS)
                return false;
            break;
        }
        case JXL_DEC_FRAME_PROGRESSION:
            if (jxl()->JxlDecoderGetIntendedDownsamplingRatio(decoder.get()) <= size_t(dcshrink))
                return jxl()->JxlDecoderFlushImage(decoder.get()) == JXL_DEC_SUCCESS
                    && into.finish();
            break;
        case JXL_DEC_FULL_IMAGE:
            return into.finish();
        default:
            return false;
        }
    }
}

bool jxlhandler::read(QImage *image)
{
    if (!header())
        return false;
    const int asked = scaled.isValid() ? samples::factor(whole, scaled) : 1;
    const int shrink = qBound(1, asked, dcshrink);
    const QSize size(whole.width() / shrink, whole.height() / shrink);
    samples::curve light = samples::curve::plain;
    QColorSpace space;
    target into;
    into.shrink = shrink;
    into.alpha = info.alpha_bits > 0;
    into.premultiplied = info.alpha_premultiplied;
    into.wide
        = info.bits_per_sample > 8 || info.exponent_bits_per_sample > 0 || info.alpha_bits > 8;
    const auto allocate = [&] {
        into.image = QImage(size,
            into.wide ? (into.alpha ? QImage::Format_RGBA64_Premultiplied : QImage::Format_RGBX64)
                      : (into.alpha ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32));
        if (shrink > 1) {
            into.sums.assign(size_t(size.width()) * size.height() * 4, 0);
            into.counts.assign(size_t(size.width()) * size.height(), 0);
        }
        return !into.image.isNull();
    };
    // HDR pictures are asked for in 16 bits, so that the shoulder has room to work.
    if (!allocate())
        return false;
    bool done = decode(into, shrink == dcshrink, &space, &light);
    if (!done && shrink == dcshrink && allocate())
        done = decode(into, false, &space, &light);
    if (!done)
        return false;
    if (light != samples::curve::plain && !into.wide) {
        into.wide = true;
        if (!allocate() || !decode(into, shrink == dcshrink, &space, &light))
            return false;
    }
    into.image.setColorSpace(space);
    return deliver(std::move(into.image), image);
}

} // namespace

class jxlplugin : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "jxl.json")

public:
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override
    {
        return samples::capabilities<jxlhandler>(device, format, { "jxl" });
    }
    QImageIOHandler *create(QIODevice *device, const QByteArray &format) const override
    {
        return samples::created<jxlhandler>(device, format);
    }
};

#include "jxl.moc"
