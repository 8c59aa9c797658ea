// A coverage-guided fuzzing target for one of the project's own readers (FORMAT: heif, jxl, jp2
// or webpscaled): libFuzzer's bytes are read through the toolkit's reader interface, whole and
// reduced, as the decoding unit reads a file. Not part of the suite; built with clang and run by
// hand:
//   cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DPORVANE_FUZZ=ON
//   cmake --build build-fuzz --target fuzz-heif fuzz-jxl fuzz-jp2 fuzz-webp seeds
//   build-fuzz/tests/seeds seeds/ && build-fuzz/tests/fuzz-heif -max_total_time=1800 corpus/
//   seeds/heif

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication application(*argc, *argv);
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
    QImageReader reader(&buffer, FORMAT);
    const QSize whole = reader.size();
    // The last byte picks a reduction, as a window of some size would.
    const int shrink = size ? 1 << (data[size - 1] & 3) : 1;
    if (whole.isValid() && shrink > 1)
        reader.setScaledSize(QSize(whole.width() / shrink, whole.height() / shrink));
    const QImage image = reader.read();
    if (!image.isNull() && image.size().isEmpty())
        __builtin_trap();
    return 0;
}
