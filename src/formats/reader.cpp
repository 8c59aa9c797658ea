#include "reader.h"

#include "pixels.h"

#include <QVariant>
#include <exception>

namespace reader {

int factor(QSize whole, QSize scaled)
{
    return pixels::leastshrink([&](int shrink) {
        return whole.width() / shrink == scaled.width()
            && whole.height() / shrink == scaled.height();
    });
}

handler::handler(QByteArray name, bool (*recognises)(QIODevice *device))
    : name(std::move(name))
    , recognises(recognises)
{
    setFormat(this->name);
}

// Once the header is read, the file has been read too, and is still that picture.
bool handler::canRead() const
{
    if (whole.isEmpty() && (!device() || !recognises(device())))
        return false;
    setFormat(name);
    return true;
}

bool handler::header()
{
    if (!tried) {
        tried = true;
        try {
            readable = readheader() && !whole.isEmpty();
        } catch (const std::exception &) {
            readable = false;
        }
    }
    return readable;
}

bool handler::read(QImage *image)
{
    try {
        return readimage(image);
    } catch (const std::exception &) {
        *image = QImage();
        return false;
    }
}

QByteArray handler::contents() const
{
    if (!device() || device()->size() > filelimit)
        return QByteArray();
    return device()->readAll();
}

QIODevice *handler::seekable()
{
    QIODevice *file = device();
    if (!file || file->size() > filelimit)
        return nullptr;
    if (!file->isSequential())
        return file;
    if (!held.isOpen()) {
        held.setData(file->read(filelimit + 1));
        held.open(QIODevice::ReadOnly);
    }
    return held.size() > filelimit ? nullptr : &held;
}

QSize handler::wanted() const
{
    return scaled.isValid() && !scaled.isEmpty() ? scaled : whole;
}

bool handler::supportsOption(ImageOption option) const
{
    return option == Size || option == ScaledSize || option == ImageTransformation;
}

QVariant handler::option(ImageOption option) const
{
    if (option == Size && const_cast<handler *>(this)->header())
        return whole;
    if (option == ScaledSize)
        return scaled;
    if (option == ImageTransformation && const_cast<handler *>(this)->header()) {
        using t = QImageIOHandler::Transformation;
        const t turns[] = { t::TransformationNone, t::TransformationNone, t::TransformationMirror,
            t::TransformationRotate180, t::TransformationFlip, t::TransformationFlipAndRotate90,
            t::TransformationRotate90, t::TransformationMirrorAndRotate90,
            t::TransformationRotate270 };
        return int(turns[orientation >= 1 && orientation <= 8 ? orientation : 1]);
    }
    return QVariant();
}

void handler::setOption(ImageOption option, const QVariant &value)
{
    if (option == ScaledSize)
        scaled = value.toSize();
}

bool handler::deliver(QImage made, QImage *image) const
{
    if (made.isNull())
        return false;
    if (scaled.isValid() && made.size() != scaled) {
        const QSize over = made.size() - scaled;
        const QSize kept = made.size().scaled(scaled, Qt::KeepAspectRatio);
        if (over.width() >= 0 && over.width() <= 1 && over.height() >= 0 && over.height() <= 1)
            made = made.copy(QRect(QPoint(0, 0), scaled));
        else if (pixels::withinpixel(kept, scaled))
            made = made.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        // A picture of other proportions than the header gave is never stretched into them: it is
        // handed over as decoded, and its own proportions win.
    }
    *image = std::move(made);
    return !image->isNull();
}

} // namespace reader
