// What every reader of the project's own offers the toolkit: the picture's size once its header
// is read, before any pixel is decoded; decoding at the size asked; the file's bytes taken one way,
// within one limit, from a file or a pipe; and the plugin that gives the reader to the toolkit.
#pragma once

#include <QBuffer>
#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>

namespace reader {

// The largest file a reader takes: far beyond any picture within the decoding limit.
constexpr qint64 filelimit = qint64(512) << 20;

// The whole factor of a reduction from `whole` to `scaled` (the whole size divided and rounded
// down), or 0 when the scaled size is no such reduction.
int factor(QSize whole, QSize scaled);

class handler : public QImageIOHandler
{
public:
    // A reader of one format, which knows its files by the first bytes of their contents.
    handler(QByteArray name, bool (*recognises)(QIODevice *device));

    bool canRead() const override;
    // Reads the picture. A reader that runs out of memory, or meets any fault it throws, fails
    // the read as a broken file does, rather than taking the program with it.
    bool read(QImage *image) final;
    bool supportsOption(ImageOption option) const override;
    QVariant option(ImageOption option) const override;
    void setOption(ImageOption option, const QVariant &value) override;

protected:
    // Reads what the size needs, once; false when the file is not a readable picture.
    bool header();
    // What header() reads, in the reader's own way: sets `whole`, or returns false.
    virtual bool readheader() = 0;
    // What read() reads, in the reader's own way.
    virtual bool readimage(QImage *image) = 0;
    // The file's bytes; none when there is no device or the file is over the limit.
    QByteArray contents() const;
    // Hands over the picture read, at the size asked for: one a pixel larger (the last part-block
    // of a reduction) is cut, one of the same proportions scaled, one of others left as it is.
    bool deliver(QImage made, QImage *image) const;
    // The file as a device that seeks: the reader's own, or the bytes of a sequential one (a pipe)
    // held here; null when there is no device or the file is over the limit.
    QIODevice *seekable();
    // The size asked for, or the picture's own.
    QSize wanted() const;

    QSize whole; // the picture's own size as read, before `orientation`, once the header is read
    QSize scaled; // the size asked for, if any
    // How the file says its picture is turned and mirrored, as Exif and TIFF number it (1 to 8):
    // told to the toolkit, which applies it once. Readers that turn pictures themselves leave 1.
    int orientation = 1;

private:
    QByteArray name;
    bool (*recognises)(QIODevice *device);
    QBuffer held;
    bool tried = false;
    bool readable = false;
};

// The plugin of a reader: it reads its own formats, and any file its reader knows.
template<typename reading> class plugin : public QImageIOPlugin
{
public:
    explicit plugin(QByteArrayList keys)
        : keys(std::move(keys))
    { }
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override
    {
        if (keys.contains(format))
            return CanRead;
        if (format.isEmpty() && device && reading::recognises(device))
            return CanRead;
        return Capabilities();
    }
    QImageIOHandler *create(QIODevice *device, const QByteArray &format) const override
    {
        auto *made = new reading;
        made->setDevice(device);
        if (!format.isEmpty())
            made->setFormat(format);
        return made;
    }

private:
    QByteArrayList keys;
};

} // namespace reader
