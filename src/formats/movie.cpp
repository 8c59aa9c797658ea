// Animations as the window's movie plays them: read by the reader of the file's format, and read
// again from the file's first byte whenever the movie comes round to its first frame. The toolkit's
// movie would otherwise start over with a new reader that first reads from wherever the last one
// stopped, and a GIF whose reader stopped before its last byte (bytes after its end, a broken last
// frame) would then stop for good.

#include "kinds.h"

#include <QIODevice>
#include <QImageIOPlugin>
#include <QImageReader>
#include <QVariant>
#include <memory>

namespace {

class moviehandler : public QImageIOHandler
{
public:
    explicit moviehandler(QIODevice *device)
    {
        setDevice(device);
        start = device->pos();
    }

    bool canRead() const override { return frames() && frames()->canRead(); }
    bool read(QImage *image) override
    {
        if (!frames())
            return false;
        *image = frames()->read();
        return !image->isNull();
    }
    bool jumpToImage(int number) override { return number == 0 && restart(); }
    int imageCount() const override { return frames() ? frames()->imageCount() : 0; }
    int loopCount() const override { return frames() ? frames()->loopCount() : 0; }
    int nextImageDelay() const override { return frames() ? frames()->nextImageDelay() : 0; }
    int currentImageNumber() const override
    {
        return frames() ? frames()->currentImageNumber() : -1;
    }
    bool supportsOption(ImageOption option) const override { return option == Animation; }
    QVariant option(ImageOption option) const override
    {
        return option == Animation ? QVariant(true) : QVariant();
    }

private:
    // The reader of the file's frames, made when they are first asked for: the toolkit makes
    // this handler while it holds the lock that asking every reader for the format takes.
    QImageReader *frames() const
    {
        if (!reader && !started)
            const_cast<moviehandler *>(this)->restart();
        return reader.get();
    }

    // The file's format by its first bytes, else by asking every reader; never a drawing, which
    // only the decoding unit reads, once it has checked it.
    bool restart()
    {
        started = true;
        reader.reset();
        if (!device() || !device()->seek(start))
            return false;
        if (format.isEmpty()) {
            format = formatof(*device());
            if (format.isEmpty())
                format = QImageReader::imageFormat(device());
            if (format.isEmpty() || format == "svg" || format == "svgz")
                format = "gif";
            if (!device()->seek(start))
                return false;
        }
        reader = std::make_unique<QImageReader>(device(), format);
        reader->setAutoDetectImageFormat(false);
        return true;
    }

    qint64 start = 0;
    bool started = false;
    QByteArray format;
    std::unique_ptr<QImageReader> reader;
};

} // namespace

class movieplugin : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "movie.json")

public:
    Capabilities capabilities(QIODevice *, const QByteArray &format) const override
    {
        return format == "movie" ? CanRead : Capabilities();
    }
    QImageIOHandler *create(QIODevice *device, const QByteArray &) const override
    {
        return new moviehandler(device);
    }
};

#include "movie.moc"
