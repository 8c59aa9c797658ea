#include "profiles.h"

#include "parallel.h"

#include <QColorSpace>
#include <QList>
#include <algorithm>
#include <lcms2.h>
#include <mutex>

namespace profiles {

// A conversion into sRGB's colours; none (no handle) for a profile of sRGB itself.
struct transform
{
    cmsHTRANSFORM handle = nullptr;
    ~transform()
    {
        if (handle)
            cmsDeleteTransform(handle);
    }
};

namespace {

// The transforms made last, each by the profile and the sample layouts it converts between.
struct kept
{
    QByteArray profile;
    cmsUInt32Number from = 0;
    cmsUInt32Number to = 0;
    std::shared_ptr<transform> made;
};

constexpr int keptmost = 8;

// A transform from the profile's colours into sRGB's, between these layouts; none where the
// profile cannot be read, is not of the colour model the layout has, or Little CMS refuses it.
// The toolkit reads the profile too, only to tell sRGB's own. Made without Little CMS's cache of
// the last pixel, so that threads can share it.
std::shared_ptr<transform> transformfor(
    QByteArrayView icc, cmsUInt32Number from, cmsUInt32Number to, cmsColorSpaceSignature model)
{
    static std::mutex lock;
    static QList<kept> made;
    const std::lock_guard<std::mutex> guard(lock);
    for (const kept &k : made)
        if (k.from == from && k.to == to && k.profile == icc)
            return k.made;
    std::shared_ptr<transform> result;
    cmsHPROFILE profile = cmsOpenProfileFromMem(icc.data(), cmsUInt32Number(icc.size()));
    // sRGB's own profile, as most pictures that embed one embed it, needs no conversion.
    if (profile && model == cmsSigRgbData
        && QColorSpace::fromIccProfile(icc.toByteArray()) == QColorSpace::SRgb) {
        result = std::make_shared<transform>();
    } else if (profile && cmsGetColorSpace(profile) == model) {
        cmsHPROFILE srgb = cmsCreate_sRGBProfile();
        cmsHTRANSFORM handle
            = cmsCreateTransform(profile, from, srgb, to, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
        cmsCloseProfile(srgb);
        if (handle) {
            result = std::make_shared<transform>();
            result->handle = handle;
        }
    }
    if (profile)
        cmsCloseProfile(profile);
    // A profile that cannot be used is remembered too, so it is not read again for each picture.
    made.prepend({ icc.toByteArray(), from, to, result });
    if (made.size() > keptmost)
        made.removeLast();
    return result;
}

bool isgrey(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if (qRed(line[x]) != qGreen(line[x]) || qGreen(line[x]) != qBlue(line[x]))
                return false;
    }
    return true;
}

// The layouts of a picture's pixels as Little CMS names them, with the first sample taken as
// grey for a grey profile; 8-bit pixels are stored as 32-bit words, 16-bit ones as red, green,
// blue and alpha words.
cmsUInt32Number layoutof(bool wide, bool grey)
{
    if (wide)
        return grey ? (COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | EXTRA_SH(3) | BYTES_SH(2))
                    : TYPE_RGBA_16;
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    constexpr cmsUInt32Number order = 0;
    constexpr cmsUInt32Number rgb = TYPE_BGRA_8;
#else
    constexpr cmsUInt32Number order = DOSWAP_SH(1);
    constexpr cmsUInt32Number rgb = TYPE_ARGB_8;
#endif
    return grey ? (COLORSPACE_SH(PT_GRAY) | CHANNELS_SH(1) | EXTRA_SH(3) | BYTES_SH(1) | order)
                : rgb;
}

// Each row converted, its alpha put back as it was.
void convert(QImage &image, const transform &t, bool wide)
{
    const int width = image.width();
    inparallel(image.height(), [&](int first, int last) {
        std::vector<quint64> row(static_cast<size_t>(width));
        for (int y = first; y < last; ++y) {
            uchar *line = image.scanLine(y);
            cmsDoTransform(t.handle, line, row.data(), cmsUInt32Number(width));
            if (wide) {
                auto *out = reinterpret_cast<QRgba64 *>(line);
                const auto *made = reinterpret_cast<const QRgba64 *>(row.data());
                for (int x = 0; x < width; ++x) {
                    const quint16 alpha = out[x].alpha();
                    out[x] = made[x];
                    out[x].setAlpha(alpha);
                }
            } else {
                auto *out = reinterpret_cast<QRgb *>(line);
                const auto *made = reinterpret_cast<const QRgb *>(row.data());
                for (int x = 0; x < width; ++x)
                    out[x] = (made[x] & 0x00ffffff) | (out[x] & 0xff000000);
            }
        }
    });
}

} // namespace

bool tosrgb(QImage &image, QByteArrayView icc)
{
    if (image.isNull() || icc.size() < 128)
        return false;
    const cmsColorSpaceSignature model
        = icc.sliced(16, 4) == QByteArrayView("GRAY") ? cmsSigGrayData : cmsSigRgbData;
    const bool wide = image.depth() > 32;
    const bool grey = model == cmsSigGrayData;
    const QImage::Format was = image.format();
    // Colours are converted as they are, not multiplied by their alpha.
    const QImage::Format straight = wide
        ? (image.hasAlphaChannel() ? QImage::Format_RGBA64 : QImage::Format_RGBX64)
        : (image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32);
    const cmsUInt32Number layout = layoutof(wide, grey);
    const std::shared_ptr<transform> t = transformfor(icc, layout, layoutof(wide, false), model);
    if (t && !t->handle)
        return true;
    if (!t || (grey && !wide && !isgrey(image)))
        return false;
    image.convertTo(straight);
    convert(image, *t, wide);
    if (image.format() != was)
        image.convertTo(was);
    image.setColorSpace(QColorSpace());
    return true;
}

void apply(QImage &image, const described &colours)
{
    if (!tosrgb(image, colours.icc))
        image.setColorSpace(colours.space);
}

converter::converter(model kind, QByteArrayView icc)
    : of(kind)
{
    if (of == model::lab) {
        // One transform from CIELab serves every such picture.
        static const std::shared_ptr<transform> fromlab = [] {
            auto made = std::make_shared<transform>();
            cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
            cmsHPROFILE srgb = cmsCreate_sRGBProfile();
            made->handle = cmsCreateTransform(
                lab, TYPE_Lab_8, srgb, TYPE_RGB_8, INTENT_PERCEPTUAL, cmsFLAGS_NOCACHE);
            cmsCloseProfile(lab);
            cmsCloseProfile(srgb);
            return made;
        }();
        made = fromlab;
    } else if (icc.size() >= 128) {
        made = transformfor(icc, of == model::invertedinks ? TYPE_CMYK_8_REV : TYPE_CMYK_8,
            TYPE_RGB_8, cmsSigCmykData);
    }
}

converter::~converter() = default;

void converter::torgb(const uchar *samples, uchar *rgb, int count) const
{
    if (made && made->handle) {
        cmsDoTransform(made->handle, samples, rgb, cmsUInt32Number(count));
        return;
    }
    if (of == model::lab) {
        std::fill(rgb, rgb + size_t(count) * 3, uchar(0));
        return;
    }
    const bool inverted = of == model::invertedinks;
    for (int i = 0; i < count; ++i, samples += 4, rgb += 3) {
        const int k = inverted ? samples[3] : 255 - samples[3];
        for (int c = 0; c < 3; ++c) {
            const int light = inverted ? samples[c] : 255 - samples[c];
            rgb[c] = uchar((light * k + 127) / 255);
        }
    }
}

} // namespace profiles
