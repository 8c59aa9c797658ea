// A coverage-guided fuzzing target for one of the project's own readers (FORMAT: heif, jxl, jp2,
// webp, png, jfif for JPEG, libtiff for TIFF, dib for BMP, or movie): libFuzzer's bytes are read
// through the toolkit's reader interface, whole and reduced, as the decoding unit reads a file; an
// animation is played as the window's movie plays it. Not part of the suite; built with clang and
// run by hand:
//   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DPORVANE_FUZZ=ON
//   cmake --build build-fuzz --target fuzz-heif fuzz-jxl fuzz-jp2 fuzz-webp fuzz-png fuzz-jpeg
//     fuzz-tiff fuzz-bmp fuzz-movie
//   seeds build-fuzz/tests/seeds seeds/ && build-fuzz/tests/fuzz-heif -max_total_time=1800 corpus/
//   seeds/heif
// PNG takes the suite's collection as its seeds: fuzz-png corpus/ tests/data/png

#include <QBuffer>
#include <QCoreApplication>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

// A device that cannot seek, as a pipe is.
class stream : public QIODevice
{
public:
    explicit stream(const QByteArray &bytes)
        : bytes(bytes)
    {
        open(QIODevice::ReadOnly);
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return bytes.size() - at + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 size) override
    {
        size = qMin(size, bytes.size() - at);
        std::memcpy(data, bytes.constData() + at, size_t(size));
        at += size;
        return size ? size : -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const QByteArray bytes;
    qint64 at = 0;
};

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The toolkit's worker threads that end during a long run would leave GLib's per-thread state
    // behind, which the leak checker reports; the toolkit's own event loop has none.
    qputenv("QT_NO_GLIB", "1");
    static QCoreApplication application(*argc, *argv);
    // The project's reader alone, built in: the toolkit's own plugin of the same format (WebP)
    // would otherwise be asked first.
    QCoreApplication::setLibraryPaths({});
    // A lower decoding limit than the viewer's: inputs claiming vast pictures are refused at once,
    // and the run spends its time on parsing rather than on allocating.
    QImageReader::setAllocationLimit(64);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    stream pipe(bytes);
    // The last byte picks a reduction, as a window of some size would, and whether the bytes come
    // from a device that cannot seek, from memory, or from a file, as the window reads them.
    const int last = size ? data[size - 1] : 0;
    QFile file;
    if (last & 8) {
        const int descriptor = memfd_create("picture", 0);
        if (descriptor < 0 || write(descriptor, data, size) != ssize_t(size)
            || lseek(descriptor, 0, SEEK_SET) != 0
            || !file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            __builtin_trap();
    }
    QIODevice *device = last & 4 ? static_cast<QIODevice *>(&pipe)
        : last & 8               ? static_cast<QIODevice *>(&file)
                                 : &buffer;
    const int shrink = 1 << (last & 3);
    QImageReader reader(device, FORMAT);
    const QSize whole = reader.size();
    if (whole.isValid() && shrink > 1)
        reader.setScaledSize(QSize(whole.width() / shrink, whole.height() / shrink));
    const QImage image = reader.read();
    if (!image.isNull() && image.size().isEmpty())
        __builtin_trap();
    return 0;
}
