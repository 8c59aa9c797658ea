// Seeded mutations of the colour profiles embedded in a few tagged pictures, each decoded the way
// the viewer decodes a picture. Built with the sanitizers, any fault in reading or applying a
// profile stops it; it prints the iterations run and how the decodes ended.
//   profiles [ITERATIONS] [SEED]

#include "../tests/chunks.h"
#include "remote.h"

#include <QApplication>
#include <QColorSpace>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    setupdecoding();
    const qint64 iterations = argc > 1 ? QByteArray(argv[1]).toLongLong() : 100000;
    const quint32 seed = argc > 2 ? QByteArray(argv[2]).toUInt() : 1;
    QRandomGenerator random(seed);

    QImage patch(24, 16, QImage::Format_ARGB32);
    for (int y = 0; y < patch.height(); ++y)
        for (int x = 0; x < patch.width(); ++x)
            patch.setPixel(x, y, qRgba(x * 10, y * 15, 200, 255 - x));
    QImage opaque = patch.convertToFormat(QImage::Format_RGB32);
    const QList<std::pair<QByteArray, QByteArray>> originals = {
        { encode(patch, "PNG"), QColorSpace(QColorSpace::DisplayP3).iccProfile() },
        { encode(opaque, "JPEG"), QColorSpace(QColorSpace::AdobeRgb).iccProfile() },
        { encode(opaque, "PNG"),
            QColorSpace(QPointF(0.3127, 0.3290), QPointF(0.15, 0.06), QPointF(0.30, 0.60),
                QPointF(0.64, 0.33), QColorSpace::TransferFunction::Gamma, 1.8f)
                .iccProfile() },
    };

    const QString file = QDir::temp().filePath(QString("porvane-profiles-%1").arg(seed));
    qint64 opened = 0, refused = 0, valid = 0, slowest = 0;
    for (qint64 i = 0; i < iterations; ++i) {
        const auto &[picture, original] = originals.at(i % originals.size());
        QByteArray profile = original;
        switch (random.bounded(8)) {
        case 0:
            profile.truncate(random.bounded(int(profile.size())));
            break;
        case 1: // a header or tag table field set to an extreme
            qToBigEndian(random.bounded(2) ? 0xffffffffu : random.generate(),
                profile.data() + 4 * random.bounded(int(qMin<qsizetype>(profile.size() / 4, 60))));
            break;
        default:
            for (int n = 1 + random.bounded(8); n > 0; --n)
                profile[random.bounded(int(profile.size()))] = char(random.bounded(256));
        }
        QFile out(file);
        out.open(QIODevice::WriteOnly | QIODevice::Truncate);
        const QByteArray bytes = chunks::withprofile(picture, profile);
        out.write(bytes);
        out.close();
        valid += QImage::fromData(bytes).colorSpace().isValid();
        QElapsedTimer timer;
        timer.start();
        const decoded result = decode(file, QSize(585, 440));
        slowest = qMax(slowest, timer.elapsed());
        result.image.isNull() ? ++refused : ++opened;
    }
    QFile::remove(file);
    std::printf("%lld iterations (seed %u): %lld opened, %lld refused, %lld profiles read as "
                "valid and applied, slowest decode %lld ms\n",
        iterations, seed, opened, refused, valid, slowest);
    return 0;
}
