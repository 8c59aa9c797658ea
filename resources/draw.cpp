// Draws the program's artwork into resources/images: the default picture, the window and file
// icon, and the button icons. Run it to redraw them: cmake --build build --target artwork

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

namespace {

QString outdir;

QImage canvas(int size)
{
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

void save(const QImage &image, const char *name)
{
    image.save(outdir + QLatin1Char('/') + QLatin1String(name));
}

// A black-framed photograph of hills under a sky with a sun, centred at the origin.
void photograph(QPainter &p, QRectF r, QColor sky, QColor hills)
{
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(20, 20, 20));
    p.drawRect(r);
    const QRectF view = r.adjusted(9, 9, -9, -9);
    QLinearGradient air(view.topLeft(), view.bottomLeft());
    air.setColorAt(0, sky.darker(130));
    air.setColorAt(1, sky.lighter(150));
    p.setBrush(air);
    p.drawRect(view);
    p.setBrush(QColor(255, 214, 80));
    p.drawEllipse(QPointF(view.right() - view.width() * 0.25, view.top() + view.height() * 0.3),
        view.height() * 0.12, view.height() * 0.12);
    QPainterPath land(QPointF(view.left(), view.bottom()));
    land.lineTo(view.left(), view.top() + view.height() * 0.7);
    land.quadTo(view.left() + view.width() * 0.3, view.top() + view.height() * 0.35,
        view.center().x(), view.top() + view.height() * 0.62);
    land.quadTo(view.right() - view.width() * 0.2, view.top() + view.height() * 0.5, view.right(),
        view.top() + view.height() * 0.66);
    land.lineTo(view.bottomRight());
    land.closeSubpath();
    p.setBrush(hills);
    p.drawPath(land);
}

QImage photographs(int size)
{
    QImage layer = canvas(size);
    QPainter p(&layer);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 256.0, size / 256.0);
    p.save();
    p.translate(100, 92);
    p.rotate(-8);
    photograph(p, QRectF(-78, -58, 156, 116), QColor(70, 130, 200), QColor(60, 140, 70));
    p.restore();
    p.translate(156, 118);
    p.rotate(5);
    photograph(p, QRectF(-80, -58, 160, 116), QColor(230, 120, 60), QColor(90, 70, 120));
    return layer;
}

// The photographs with their reflection fading out below them.
QImage defaultpicture(int size)
{
    const QImage photos = photographs(size);
    QImage reflection = photos.mirrored(false, true);
    {
        QPainter fade(&reflection);
        fade.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        QLinearGradient g(0, 0, 0, size);
        g.setColorAt(0, QColor(0, 0, 0, 0));
        g.setColorAt(0.22, QColor(0, 0, 0, 0));
        g.setColorAt(0.3, QColor(0, 0, 0, 130));
        g.setColorAt(0.6, QColor(0, 0, 0, 0));
        fade.fillRect(reflection.rect(), g);
    }
    QImage image = canvas(size);
    QPainter p(&image);
    p.drawImage(0, size * 0.16, reflection);
    p.drawImage(0, -size * 0.06, photos);
    return image;
}

QImage roundbutton(QColor face)
{
    QImage image = canvas(256);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient shade(QPointF(100, 80), 170);
    shade.setColorAt(0, face.lighter(160));
    shade.setColorAt(1, face.darker(140));
    p.setPen(QPen(face.darker(200), 8));
    p.setBrush(shade);
    p.drawEllipse(QPointF(128, 128), 118, 118);
    return image;
}

QImage information()
{
    QImage image = roundbutton(QColor(30, 100, 210));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(128, 68), 19, 19);
    p.drawRoundedRect(QRectF(110, 104, 36, 96), 10, 10);
    p.drawRoundedRect(QRectF(94, 104, 34, 18), 6, 6);
    p.drawRoundedRect(QRectF(94, 186, 68, 18), 6, 6);
    return image;
}

// A round button with two chevrons pointing right, or left when mirrored.
QImage doublearrow(bool left)
{
    QImage image = roundbutton(QColor(60, 150, 70));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (qreal x : { 72.0, 132.0 }) {
        const QPointF tip[] = { { x, 78 }, { x + 58, 128 }, { x, 178 } };
        p.drawPolygon(tip, 3);
    }
    p.end();
    return left ? image.mirrored(true, false) : image;
}

QImage magnifier(bool plus)
{
    QImage image = canvas(128);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(70, 50, 30), 16, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(80, 80), QPointF(116, 116));
    QRadialGradient glass(QPointF(42, 40), 50);
    glass.setColorAt(0, QColor(235, 245, 255));
    glass.setColorAt(1, QColor(150, 190, 230));
    p.setPen(QPen(QColor(60, 60, 70), 9));
    p.setBrush(glass);
    p.drawEllipse(QPointF(52, 52), 40, 40);
    p.setPen(QPen(QColor(30, 30, 40), 10, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(34, 52), QPointF(70, 52));
    if (plus)
        p.drawLine(QPointF(52, 34), QPointF(52, 70));
    return image;
}

// An orange arrow turning clockwise, or anticlockwise when mirrored.
QImage turningarrow(bool anticlockwise)
{
    QImage image = canvas(128);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor orange(240, 130, 20);
    p.setPen(QPen(orange, 16, Qt::SolidLine, Qt::FlatCap));
    p.drawArc(QRectF(22, 26, 84, 84), 230 * 16, -210 * 16);
    // The head sits where the arc ends (20 degrees), pointing along its clockwise travel.
    const qreal end = qDegreesToRadians(20.0);
    const QPointF at(64 + 42 * qCos(end), 68 - 42 * qSin(end));
    const QPointF along(qSin(end), qCos(end));
    const QPointF across(along.y(), -along.x());
    const QPointF head[] = { at + along * 26, at + across * 22, at - across * 22 };
    p.setPen(Qt::NoPen);
    p.setBrush(orange);
    p.drawPolygon(head, 3);
    p.end();
    return anticlockwise ? image.mirrored(true, false) : image;
}

QImage fullscreen()
{
    QImage image = canvas(256);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(40, 40, 48), 10));
    p.setBrush(QColor(70, 80, 95));
    p.drawRoundedRect(QRectF(16, 16, 224, 224), 30, 30);
    p.setPen(QPen(Qt::white, 18, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    for (int turn = 0; turn < 4; ++turn) {
        p.save();
        p.translate(128, 128);
        p.rotate(90 * turn);
        const QPointF corner[] = { { -82, -38 }, { -82, -82 }, { -38, -82 } };
        p.drawPolyline(corner, 3);
        p.drawLine(QPointF(-80, -80), QPointF(-40, -40));
        p.restore();
    }
    return image;
}

// An icon entry as Windows keeps the smaller sizes: a 32-bit bottom-up bitmap with an AND mask.
QByteArray bitmapentry(const QImage &image)
{
    const int size = image.width();
    const int maskrow = (size + 31) / 32 * 4;
    QByteArray data;
    QDataStream out(&data, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint32(40) << qint32(size) << qint32(size * 2) << quint16(1) << quint16(32)
        << quint32(0) << quint32(size * size * 4 + size * maskrow) << qint32(0) << qint32(0)
        << quint32(0) << quint32(0);
    for (int y = size - 1; y >= 0; --y)
        for (int x = 0; x < size; ++x) {
            const QRgb c = image.pixel(x, y);
            out << quint8(qBlue(c)) << quint8(qGreen(c)) << quint8(qRed(c)) << quint8(qAlpha(c));
        }
    for (int y = size - 1; y >= 0; --y) {
        QByteArray bits(maskrow, 0);
        for (int x = 0; x < size; ++x)
            if (qAlpha(image.pixel(x, y)) == 0)
                bits[x / 8] = char(bits[x / 8] | (0x80 >> (x % 8)));
        out.writeRawData(bits.constData(), bits.size());
    }
    return data;
}

// Nine 32-bit images, all bitmaps: a PNG entry would have the toolkit's icon reader try every
// picture reader on it at start-up.
void saveicon(const char *name)
{
    const int sizes[] = { 256, 128, 96, 72, 64, 48, 32, 24, 16 };
    QList<QByteArray> entries;
    for (int size : sizes)
        entries << bitmapentry(defaultpicture(size).convertToFormat(QImage::Format_ARGB32));
    QFile file(outdir + QLatin1Char('/') + QLatin1String(name));
    file.open(QIODevice::WriteOnly);
    QDataStream out(&file);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0) << quint16(1) << quint16(entries.size());
    quint32 offset = 6 + 16 * entries.size();
    for (int i = 0; i < entries.size(); ++i) {
        out << quint8(sizes[i] % 256) << quint8(sizes[i] % 256) << quint8(0) << quint8(0)
            << quint16(1) << quint16(32) << quint32(entries[i].size()) << offset;
        offset += entries[i].size();
    }
    for (const QByteArray &data : entries)
        out.writeRawData(data.constData(), data.size());
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    outdir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("images");
    QDir().mkpath(outdir);
    save(defaultpicture(256), "main.png");
    saveicon("icon.ico");
    save(information(), "a.png");
    save(doublearrow(true), "b.png");
    save(doublearrow(false), "f.png");
    save(magnifier(true), "in.png");
    save(magnifier(false), "out.png");
    save(turningarrow(true), "re.png");
    save(turningarrow(false), "fo.png");
    save(fullscreen(), "full.png");
    return 0;
}
