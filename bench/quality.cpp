// How close the picture the window shows fitted is to a smooth, area-averaged reduction of the
// whole picture: shown from the whole decode with fast scaling, and from the reduced decode the
// viewer makes, in the window and full screen on a 1280 x 1024 screen. Mean absolute difference
// per channel, 0 to 255; lower is closer. Beside it, what the decode costs for the window's box
// and for the screen's, and decoded whole.
//   quality PICTURE...

#include "remote.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
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

// The median of five decodes for the box, in ms.
double decodems(const QString &file, QSize box)
{
    QList<double> times;
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer timer;
        timer.start();
        decode(file, box);
        times << timer.nsecsElapsed() / 1e6;
    }
    std::sort(times.begin(), times.end());
    return times[2];
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    setupdecoding();
    const QSize box(585, 440);
    const QSize screen(1265, 964);
    std::printf("%-16s %12s %9s %12s %12s %12s %10s %10s %10s\n", "picture", "size", "decoded",
        "whole, fast", "window", "full screen", "window ms", "screen ms", "whole ms");
    for (const QString &file : app.arguments().mid(1)) {
        const decoded whole = decode(file);
        // The fitted picture from the viewer's own decode for the box, against a smooth reduction.
        const auto shown = [&](QSize into) {
            const QSize size = fitted(whole.of.whole, into);
            const QImage reference
                = whole.image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
            return difference(
                decode(file, into).image.scaled(size, Qt::IgnoreAspectRatio), reference);
        };
        const QSize size = fitted(whole.of.whole, box);
        const QImage reference
            = whole.image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        const decoded reduced = decode(file, box);
        std::printf("%-16s %12s %9s %12.2f %12.2f %12.2f %10.1f %10.1f %10.1f\n",
            qPrintable(QFileInfo(file).fileName()),
            qPrintable(QString("%1x%2").arg(whole.of.whole.width()).arg(whole.of.whole.height())),
            qPrintable(QString("%1x%2").arg(reduced.image.width()).arg(reduced.image.height())),
            difference(whole.image.scaled(size, Qt::IgnoreAspectRatio), reference), shown(box),
            shown(screen), decodems(file, box), decodems(file, screen), decodems(file, QSize()));
    }
    return 0;
}
