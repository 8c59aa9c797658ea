// How close the picture the window shows fitted is to a smooth, area-averaged reduction of the
// whole picture: shown from the whole decode with fast scaling, and from the reduced decode the
// viewer makes. Mean absolute difference per channel, 0 to 255; lower is closer.
//   quality PICTURE...

#include "decode.h"

#include <QApplication>
#include <QFileInfo>
#include <cstdio>

namespace {

double difference(const QImage &a, const QImage &b)
{
    double sum = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q))
                + qAbs(qBlue(p) - qBlue(q));
        }
    return sum / (3.0 * a.width() * a.height());
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    setupdecoding();
    const QSize box(585, 440);
    std::printf(
        "%-16s %12s %8s %14s %14s\n", "picture", "size", "decoded", "whole, fast", "reduced, fast");
    for (const QString &file : app.arguments().mid(1)) {
        const decoded whole = decode(file);
        const decoded reduced = decode(file, box);
        const QSize size = fitted(whole.of.whole, box);
        const QImage reference
            = whole.image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const QImage today = whole.image.scaled(size, Qt::IgnoreAspectRatio);
        const QImage now = reduced.image.scaled(size, Qt::IgnoreAspectRatio);
        std::printf("%-16s %12s %8s %14.2f %14.2f\n", qPrintable(QFileInfo(file).fileName()),
            qPrintable(QString("%1x%2").arg(whole.of.whole.width()).arg(whole.of.whole.height())),
            qPrintable(QString("1/%1").arg(reduced.of.shrink)), difference(today, reference),
            difference(now, reference));
    }
    return 0;
}
