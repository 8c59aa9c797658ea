// Holds the viewer to a format's reference decoder on pictures no one here made: each picture is
// opened by the program, in its window, the way a user opens it, and what the window shows is
// compared with what the reference decoder wrote, brought into sRGB's colours as well, on its
// proportions and, both reduced to a small size, on its colours.
//   conformance < LIST
// LIST has one picture a line: PICTURE, a tab, and the reference decoder's PNG of it (nothing, or
// a file that does not exist, where the reference decoder refused it). Each line of the answer
// says: alike, refused (by both), differs (with how much), not shown (refused by the viewer only)
// or shown (refused by the reference decoder only); the counts follow on the error output.

#include "canvas.h"
#include "imgv.h"

#include <QApplication>
#include <QColorSpace>
#include <QFileInfo>
#include <QImageReader>
#include <QLabel>
#include <QMap>
#include <QMessageBox>
#include <QPainter>
#include <QStyle>
#include <QTextStream>
#include <QTimer>
#include <QtEndian>
#include <cstdio>
#include <libheif/heif.h>

namespace {

// Colours are compared on pictures this small, where both are averaged alike.
constexpr int side = 96;

// The colour space a HEIF file's colour description names, read here with libheif itself rather
// than with the viewer's reader: heif-convert writes the numbers decoded in that space and says
// nothing of it in its PNG. PQ and HLG are left out: the viewer eases them into a screen's range,
// which no reference decoder does.
QColorSpace describedspace(const QString &file)
{
    heif_context *context = heif_context_alloc();
    heif_image_handle *handle = nullptr;
    heif_color_profile_nclx *nclx = nullptr;
    QColorSpace space;
    if (!heif_context_read_from_file(context, QFile::encodeName(file).constData(), nullptr).code
        && !heif_context_get_primary_image_handle(context, &handle).code
        && heif_image_handle_get_color_profile_type(handle) == heif_color_profile_type_nclx
        && !heif_image_handle_get_nclx_color_profile(handle, &nclx).code) {
        const auto function = nclx->transfer_characteristics == 8
            ? QColorSpace::TransferFunction::Linear
            : QColorSpace::TransferFunction::SRgb;
        if (nclx->color_primaries == 9)
            space = QColorSpace(QPointF(0.3127, 0.3290), QPointF(0.708, 0.292),
                QPointF(0.170, 0.797), QPointF(0.131, 0.046), function);
        else if (nclx->color_primaries == 12)
            space = QColorSpace(QColorSpace::Primaries::DciP3D65, function);
        else if (function == QColorSpace::TransferFunction::Linear)
            space = QColorSpace(QColorSpace::Primaries::SRgb, function);
    }
    heif_nclx_color_profile_free(nclx);
    heif_image_handle_release(handle);
    heif_context_free(context);
    return space;
}

// The colour space a PNG file's chunks describe, read here from the file rather than by the
// viewer's reader, in the order the format gives them: cICP, iCCP, sRGB, then gAMA with cHRM.
// The reference decoder writes the samples as they are and says nothing of them.
QColorSpace pngspace(const QString &name)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QMap<QByteArray, QByteArray> found;
    for (qsizetype at = 8; at + 12 <= bytes.size();) {
        const qsizetype length = qFromBigEndian<quint32>(bytes.constData() + at);
        if (length > bytes.size() - at - 12)
            break;
        if (!found.contains(bytes.mid(at + 4, 4)))
            found.insert(bytes.mid(at + 4, 4), bytes.mid(at + 8, length));
        at += 12 + length;
    }
    const auto number = [](const QByteArray &data, int at) {
        return qFromBigEndian<quint32>(data.constData() + at) / 100000.0;
    };
    const QByteArray cicp = found.value("cICP");
    if (cicp.size() == 4 && cicp[1] == 13)
        return cicp[0] == 12 ? QColorSpace(QColorSpace::DisplayP3) : QColorSpace(QColorSpace::SRgb);
    const QByteArray icc = found.value("iCCP");
    const qsizetype end = icc.indexOf('\0');
    if (end > 0 && end + 2 < icc.size()) {
        QByteArray packed = icc.mid(end + 2);
        packed.prepend(QByteArray(4, char(0xff)));
        const QColorSpace space = QColorSpace::fromIccProfile(qUncompress(packed));
        if (space.isValid())
            return space;
    }
    if (found.contains("sRGB"))
        return QColorSpace::SRgb;
    const QByteArray gamma = found.value("gAMA"), chrm = found.value("cHRM");
    if (gamma.size() != 4 || number(gamma, 0) <= 0)
        return {};
    const float power = float(1 / number(gamma, 0));
    if (chrm.size() == 32) {
        const QColorSpace space(QPointF(number(chrm, 0), number(chrm, 4)),
            QPointF(number(chrm, 8), number(chrm, 12)), QPointF(number(chrm, 16), number(chrm, 20)),
            QPointF(number(chrm, 24), number(chrm, 28)), QColorSpace::TransferFunction::Gamma,
            power);
        if (space.isValid())
            return space;
    }
    return QColorSpace(QColorSpace::Primaries::SRgb, QColorSpace::TransferFunction::Gamma, power);
}

// The reference decoder's picture in sRGB, over black as the viewer shows transparency.
QImage reference(const QString &png, const QString &picture)
{
    QImageReader reader(png);
    QImage image = reader.read();
    if (image.isNull())
        return image;
    const QString suffix = QFileInfo(picture).suffix().toLower();
    if (!image.colorSpace().isValid() && suffix == "png")
        image.setColorSpace(pngspace(picture));
    else if (!image.colorSpace().isValid() && suffix != "jxl")
        image.setColorSpace(describedspace(picture));
    // The toolkit counts a space of sRGB's primaries equal to sRGB whatever its curve: both are
    // asked. Grey converts in colour.
    const QColorSpace space = image.colorSpace();
    if (space.isValid()
        && (space.primaries() != QColorSpace::Primaries::SRgb
            || space.transferFunction() != QColorSpace::TransferFunction::SRgb)) {
        image = image.convertToFormat(
            image.hasAlphaChannel() ? QImage::Format_RGBA64 : QImage::Format_RGBX64);
        image.convertToColorSpace(QColorSpace::SRgb);
    }
    QImage over(image.size(), QImage::Format_RGB32);
    over.fill(Qt::black);
    QPainter(&over).drawImage(0, 0, image);
    return over;
}

// The picture a window shows, opened as the program opens it; null when it says it cannot.
QImage viewed(const QString &file)
{
    bool refused = false;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&refused] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            refused = true;
            box->done(0);
        }
    });
    answer.start(5);
    imgv window;
    window.openimage(file);
    window.buildui();
    window.resize(600, 500);
    window.show();
    QApplication::processEvents();
    const auto *still = static_cast<canvas *>(label);
    if (refused || still->stillsize().isEmpty())
        return QImage();
    const QRect place = QStyle::alignedRect(
        Qt::LeftToRight, Qt::AlignCenter, still->stillsize(), label->contentsRect());
    return label->grab(place).toImage().convertToFormat(QImage::Format_RGB32);
}

struct comparison
{
    double mean = 0; // levels, over every channel of every pixel
    double worst = 0; // levels, the largest of any block's average
};

// Both pictures averaged down to the same small size: no larger than the reference decoder's
// own, so that a small picture the window enlarges is compared pixel for pixel.
comparison compare(const QImage &a, const QImage &b)
{
    const QSize size
        = a.size()
              .scaled(qMin(side, b.width()), qMin(side, b.height()), Qt::KeepAspectRatio)
              .expandedTo(QSize(1, 1));
    const QImage x = a.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage y = b.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    comparison found;
    constexpr int block = 8;
    for (int by = 0; by < size.height(); by += block)
        for (int bx = 0; bx < size.width(); bx += block) {
            double sum = 0;
            int count = 0;
            for (int j = by; j < qMin(by + block, size.height()); ++j)
                for (int i = bx; i < qMin(bx + block, size.width()); ++i) {
                    const QRgb p = x.pixel(i, j), q = y.pixel(i, j);
                    sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q))
                        + qAbs(qBlue(p) - qBlue(q));
                    count += 3;
                }
            found.mean += sum;
            found.worst = qMax(found.worst, sum / count);
        }
    found.mean /= 3.0 * size.width() * size.height();
    return found;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTextStream in(stdin);
    int counts[5] = {};
    const char *verdicts[] = { "alike", "refused", "differs", "not shown", "shown" };
    for (QString line; in.readLineInto(&line);) {
        const QStringList parts = line.split(QLatin1Char('\t'));
        if (parts.value(0).isEmpty())
            continue;
        // Whole names: the viewer moves to each picture's folder.
        const QString file = QFileInfo(parts.value(0)).absoluteFilePath();
        const QImage theirs = reference(QFileInfo(parts.value(1)).absoluteFilePath(), file);
        const QImage ours = viewed(file);
        QString how;
        int verdict = 0;
        if (ours.isNull() || theirs.isNull()) {
            verdict = ours.isNull() ? (theirs.isNull() ? 1 : 3) : 4;
        } else {
            // Alike proportions, but for the fitted side's rounding, however thin the picture.
            const bool proportions = qAbs(qint64(ours.width()) * theirs.height()
                                         - qint64(ours.height()) * theirs.width())
                <= 2 * qMax(theirs.width(), theirs.height());
            const comparison c = compare(ours, theirs);
            how = QString("%1x%2 against %3x%4, mean %5, worst block %6")
                      .arg(ours.width())
                      .arg(ours.height())
                      .arg(theirs.width())
                      .arg(theirs.height())
                      .arg(c.mean, 0, 'f', 2)
                      .arg(c.worst, 0, 'f', 1);
            verdict = proportions && c.mean <= 3 && c.worst <= 12 ? 0 : 2;
        }
        ++counts[verdict];
        std::printf(
            "%-10s %s  %s\n", verdicts[verdict], qPrintable(parts.value(0)), qPrintable(how));
        std::fflush(stdout);
    }
    std::fprintf(stderr, "\n");
    for (int v = 0; v < 5; ++v)
        std::fprintf(stderr, "%-10s %d\n", verdicts[v], counts[v]);
    return 0;
}
