#include "channel.h"
#include "formats/boxes.h"
#include "formats/codecs.h"
#include "formats/colour.h"
#include "formats/packer.h"
#include "formats/pixels.h"
#include "formats/weights.h"
#include "steps.h"
#include "writers.h"

#include <QBuffer>
#include <QTemporaryFile>
#include <QtTest>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The parts beneath the window on their own: the view state's arithmetic, the averager every
// reader of the project's own gathers its samples with, and the reader of a HEIF file's boxes.
class tst_units : public QObject
{
    Q_OBJECT

    // A picture gathered from interleaved 8-bit samples of one grid, given a pixel at a time
    // (as most readers give them) or a channel at a time.
    static QImage gathered(QSize size, const pixels::meaning &what, QSize grid,
        const std::vector<quint8> &samples, bool bychannel)
    {
        const int channels = (what.kind == pixels::model::grey ? 1 : 3) + (what.alpha ? 1 : 0);
        pixels::gatherer into(size, what, QList<pixels::gatherer::grid>(channels, { grid, 8 }));
        if (!into.valid())
            return QImage();
        for (int r = 0; r < grid.height(); ++r) {
            const quint8 *row = samples.data() + size_t(r * grid.width() * channels);
            if (!bychannel)
                into.addpixels(r, 0, grid.width(), row, channels);
            for (int k = 0; bychannel && k < channels; ++k)
                into.add(k, r, 0, grid.width(), row + k, channels);
        }
        return into.finish();
    }

private slots:
    // The zoom box moves by 50 pixels each way, never to a side of 50 or less nor past the
    // largest widget; one side at its bound holds both.
    void zoomBox()
    {
        QCOMPARE(steps::zoomed(QSize(585, 440), 50), QSize(635, 490));
        QCOMPARE(steps::zoomed(QSize(585, 440), -50), QSize(535, 390));
        QCOMPARE(steps::zoomed(QSize(300, 101), -50), QSize(250, 51));
        QCOMPARE(steps::zoomed(QSize(300, 100), -50), QSize(300, 100));
        const int top = QWIDGETSIZE_MAX;
        QCOMPARE(steps::zoomed(QSize(top - 50, 10), 50), QSize(top, 60));
        QCOMPARE(steps::zoomed(QSize(top - 49, 10), 50), QSize(top - 49, 10));
        QCOMPARE(steps::fitof(QSize(600, 500)), QSize(585, 440));
    }

    // Steps through a listing: on to the next entry, back to the one before or from past the end
    // to the last; nothing past either end or in an empty listing.
    void folderSteps()
    {
        QCOMPARE(steps::forwardof(0, 3), std::optional<int>(1));
        QCOMPARE(steps::forwardof(2, 3), std::nullopt);
        QCOMPARE(steps::forwardof(5, 3), std::nullopt);
        QCOMPARE(steps::forwardof(0, 0), std::nullopt);
        QCOMPARE(steps::backwardof(2, 3), std::optional<int>(1));
        QCOMPARE(steps::backwardof(9, 3), std::optional<int>(2));
        QCOMPARE(steps::backwardof(0, 3), std::nullopt);
        QCOMPARE(steps::backwardof(4, 0), std::nullopt);
    }

    // Each pixel averages the samples its stretch of the picture covers, a sample shared between
    // the two pixels it falls in; whichever way the samples come, and whether every channel is
    // on one grid or the picture's own size.
    void averages_data()
    {
        QTest::addColumn<bool>("bychannel");
        QTest::newRow("a pixel at a time") << false;
        QTest::newRow("a channel at a time") << true;
    }
    void averages()
    {
        QFETCH(bool, bychannel);
        pixels::meaning grey;
        grey.kind = pixels::model::grey;
        // Three columns into two: the middle one falls half in each.
        QImage made = gathered(QSize(2, 1), grey, QSize(3, 1), { 0, 90, 180 }, bychannel);
        QCOMPARE(made.pixel(0, 0), qRgb(30, 30, 30));
        QCOMPARE(made.pixel(1, 0), qRgb(150, 150, 150));
        // Two by two into one, in colour; and at its own size, each pixel as it is.
        pixels::meaning rgb;
        const std::vector<quint8> square { 200, 0, 0, 0, 200, 0, 0, 0, 200, 100, 100, 100 };
        made = gathered(QSize(1, 1), rgb, QSize(2, 2), square, bychannel);
        QCOMPARE(made.pixel(0, 0), qRgb(75, 75, 75));
        made = gathered(QSize(2, 2), rgb, QSize(2, 2), square, bychannel);
        QCOMPARE(made.pixel(1, 1), qRgb(100, 100, 100));
        QCOMPARE(made.pixel(1, 0), qRgb(0, 200, 0));
    }

    // Along a side, every sample's weight is shared out whole and every pixel gathers the same
    // weight, whatever the proportion; enlarging, each pixel takes the sample under it.
    void sideWeights()
    {
        for (const auto &[samples, pixels] : { std::pair(3, 2), std::pair(7, 3),
                 std::pair(640, 585), std::pair(1000, 1), std::pair(5, 5) }) {
            const pixels::side side(samples, pixels);
            std::vector<qint64> gathered(size_t(pixels), 0);
            for (int i = 0; i < samples; ++i) {
                const int o = side.owner[size_t(i)];
                gathered[size_t(o)] += side.share[size_t(i)];
                if (side.share[size_t(i)] < side.weight)
                    gathered[size_t(o + 1)] += side.weight - side.share[size_t(i)];
            }
            for (int o = 0; o < pixels; ++o)
                QCOMPARE(gathered[size_t(o)], side.total);
        }
        const pixels::side enlarged(2, 5);
        QVERIFY(!enlarged.gathers);
        QCOMPARE(enlarged.first, std::vector<int>({ 0, 0, 0, 1, 1 }));
    }

    // The whole-number ways of making 8-bit pixels give what the general one gives, to a level.
    void packerWays()
    {
        pixels::meaning ycc;
        ycc.kind = pixels::model::ycc;
        ycc.weights = colour::matrix(1);
        pixels::meaning rgba;
        rgba.alpha = true;
        for (const pixels::meaning &what : { ycc, rgba }) {
            const std::vector<qint64> tops(what.alpha ? 4 : 3, 255);
            const pixels::packer whole(what, tops, 8, true), general(what, tops, 8, false);
            QVERIFY(whole.plain() == what.alpha && !general.plain());
            for (const quint64 v : { 0, 16, 90, 128, 200, 240, 255 }) {
                const quint64 sums[4] = { v * 6, (255 - v) * 6, (v / 2) * 6, 150 * 6 };
                QRgb a = 0, b = 0;
                whole.sums(reinterpret_cast<uchar *>(&a), 0, sums, 6, 1.0 / 6);
                general.sums(reinterpret_cast<uchar *>(&b), 0, sums, 6, 1.0 / 6);
                for (const int shift : { 0, 8, 16, 24 })
                    QVERIFY2(qAbs(int((a >> shift) & 255) - int((b >> shift) & 255)) <= 1,
                        qPrintable(QString::number(a, 16) + " " + QString::number(b, 16)));
            }
        }
    }

    // Colours are weighed by their alpha: what cannot be seen adds nothing to a pixel's colour.
    void alphaWeighs()
    {
        pixels::meaning straight;
        straight.alpha = true;
        const QImage made
            = gathered(QSize(1, 1), straight, QSize(2, 1), { 255, 0, 0, 0, 0, 0, 255, 255 }, false);
        QCOMPARE(made.format(), QImage::Format_ARGB32_Premultiplied);
        QCOMPARE(made.pixel(0, 0), qRgba(0, 0, 128, 128));
    }

    // Luma and colour differences are made colours by the picture's matrix, in studio range or
    // full.
    void colourDifferences()
    {
        pixels::meaning ycc;
        ycc.kind = pixels::model::ycc;
        ycc.full = true;
        QImage made = gathered(QSize(1, 1), ycc, QSize(1, 1), { 76, 85, 255 }, false);
        QVERIFY2(qAbs(qRed(made.pixel(0, 0)) - 254) <= 1 && qGreen(made.pixel(0, 0)) <= 1
                && qBlue(made.pixel(0, 0)) <= 1,
            qPrintable(QColor(made.pixel(0, 0)).name()));
        ycc.full = false;
        made = gathered(QSize(1, 1), ycc, QSize(1, 1), { 16, 128, 128 }, false);
        QCOMPARE(made.pixel(0, 0), qRgb(0, 0, 0));
        made = gathered(QSize(1, 1), ycc, QSize(1, 1), { 235, 128, 128 }, false);
        QCOMPARE(made.pixel(0, 0), qRgb(255, 255, 255));
    }

    // Past the decoding limit no picture is made; a picture of other proportions is told apart
    // from one within a pixel of those stated.
    void limits()
    {
        pixels::meaning rgb;
        QVERIFY(gathered(QSize(100000, 100000), rgb, QSize(1, 1), { 1, 2, 3 }, false).isNull());
        QVERIFY(pixels::withinpixel(QSize(585, 440), QSize(586, 439)));
        QVERIFY(!pixels::withinpixel(QSize(585, 440), QSize(583, 440)));
        QCOMPARE(pixels::leastshrink([](int shrink) { return 1000 / shrink <= 300; }), 4);
        QCOMPARE(pixels::leastshrink([](int) { return false; }), 0);
    }

    // Colours by their H.273 code points: sRGB's primaries need no conversion, others convert
    // as their primaries say; an HDR curve rises steadily, its highlights apart, up to white.
    void colourCodes()
    {
        QVERIFY(!colour::coded(1, 13).isValid());
        QVERIFY(!colour::coded(colour::code::unspecified, colour::code::unspecified).isValid());
        const QColorSpace p3 = colour::coded(12, 13);
        QVERIFY(p3.isValid());
        const QRgb red = p3.transformationToColorSpace(QColorSpace::SRgb).map(qRgb(255, 0, 0));
        // Display P3's red lies outside sRGB's: it is clipped to sRGB's own.
        QCOMPARE(qRed(red), 255);
        QVERIFY(qGreen(red) < 10 && qBlue(red) < 10);
        QCOMPARE(colour::lightof(colour::code::pq), colour::curve::pq);
        QCOMPARE(colour::lightof(colour::code::hlg), colour::curve::hlg);
        QCOMPARE(colour::lightof(1), colour::curve::plain);
        QVERIFY(colour::matrix(colour::code::identity).identity);
        QCOMPARE(colour::matrix(1).red, 0.2126);
        const std::vector<quint16> plain = colour::levels(8, colour::curve::plain, false);
        QCOMPARE(plain[128], 128);
        const std::vector<quint16> pq = colour::levels(10, colour::curve::pq, true);
        for (size_t v = 1; v < pq.size(); ++v)
            QVERIFY(pq[v] >= pq[v - 1]);
        QVERIFY(pq[520] < pq[600] && pq[600] < pq[680]);
        QCOMPARE(pq.back(), 65535);
    }

    // A HEIF file's boxes, as libheif's encoder writes them: the primary picture's size as shown,
    // its coded picture, its colour description, and the turn or mirror its orientation makes,
    // which the size shown follows.
    void boxReader_data()
    {
        QTest::addColumn<int>("orientation");
        QTest::addColumn<QSize>("shown");
        QTest::newRow("upright") << 1 << QSize(40, 30);
        QTest::newRow("mirrored") << 2 << QSize(40, 30);
        QTest::newRow("turned") << 6 << QSize(30, 40);
    }
    void boxReader()
    {
        QFETCH(int, orientation);
        QFETCH(QSize, shown);
        QImage picture(40, 30, QImage::Format_RGB32);
        picture.fill(Qt::darkCyan);
        const writers::coded p3 { 12, 13, 6, true };
        QByteArray bytes = writers::heif(picture, false, 80, orientation, &p3);
        QBuffer file(&bytes);
        QVERIFY(file.open(QIODevice::ReadOnly));
        file.seek(5);
        const boxes::contents read = boxes::read(&file, 0, bytes.size(), codecs::codedsize);
        QCOMPARE(file.pos(), 5);
        // libheif writes a coded picture, or a grid of them.
        QVERIFY(read.primary.type == "hvc1" || read.primary.type == "grid");
        // A grid's size as shown is the one it is made at, turned by its changes.
        if (read.primary.type == "hvc1")
            QCOMPARE(read.primary.shown, shown);
        QCOMPARE(read.primary.transformed, orientation != 1);
        QVERIFY(!read.primary.predicted);
        QVERIFY(read.made);
        QVERIFY(!read.made->tiles.isEmpty());
        for (const boxes::layout::tile &tile : read.made->tiles)
            QVERIFY(tile.type == "hvc1" && !tile.config.isEmpty() && !tile.data.isEmpty());
        QCOMPARE(boxes::changed(read.made->size, read.made->changes), shown);
        QCOMPARE(boxes::sideways(read.made->changes), orientation == 6);
        QVERIFY(read.made->described);
        QCOMPARE(read.made->described->primaries, 12);
        QCOMPARE(read.made->described->matrix, 6);
        // Cut short, the boxes say nothing.
        QByteArray cut = bytes.left(40);
        QBuffer shorter(&cut);
        shorter.open(QIODevice::ReadOnly);
        QVERIFY(!boxes::read(&shorter, 0, cut.size(), codecs::codedsize).made);
    }

    // Pixels from a decoder are mapped only from a sealed memory file that holds all the reply
    // says, in a format of whole bytes: anything else, which a decoder taken over might send, is
    // no picture, and the window never maps what could shrink under it.
    void pixelsHandedBack()
    {
        QImage image(7, 5, QImage::Format_ARGB32_Premultiplied);
        image.fill(qRgba(10, 20, 30, 40));
        channel::reply said;
        said.width = 7;
        said.height = 5;
        said.stride = int(image.bytesPerLine());
        said.format = image.format();
        const QImage back = channel::pixelsin(channel::pixelsout(image), said);
        QCOMPARE(back, image);
        QVERIFY(back.constBits() != image.constBits());

        const auto refused = [&](int descriptor, channel::reply claimed) {
            return channel::pixelsin(descriptor, claimed).isNull();
        };
        channel::reply taller = said;
        taller.height = 6;
        QVERIFY(refused(channel::pixelsout(image), taller));
        channel::reply indexed = said;
        indexed.format = QImage::Format_Indexed8;
        QVERIFY(refused(channel::pixelsout(image), indexed));
        channel::reply narrow = said;
        narrow.stride = 24;
        QVERIFY(refused(channel::pixelsout(image), narrow));
        const int open = ::memfd_create("unsealed", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        QVERIFY(::write(open, image.constBits(), std::size_t(image.sizeInBytes()))
            == image.sizeInBytes());
        QVERIFY(refused(open, said));
        QTemporaryFile disk;
        QVERIFY(disk.open());
        disk.write(reinterpret_cast<const char *>(image.constBits()), image.sizeInBytes());
        disk.flush();
        QVERIFY(refused(::dup(disk.handle()), said));
        QVERIFY(refused(-1, said));
    }

    // In a decoder, a picture the readers make is handed over in the very memory file it was
    // made in, however often it is sent, and stays the decoder's to read and change without the
    // window's copy changing with it.
    void pixelsHandedOverWhole()
    {
        channel::sharepixels();
        QByteArray grey(64 * 48, char(0x80));
        pixels::plane plane;
        plane.data = reinterpret_cast<const uchar *>(grey.constData());
        plane.stride = 64;
        plane.width = 64;
        plane.height = 48;
        pixels::meaning samples;
        samples.kind = pixels::model::grey;
        QImage made = pixels::write({ plane }, samples, QSize(64, 48));
        QVERIFY(!made.isNull());
        const QImage kept = made.copy();
        const uchar *at = made.constBits();
        const int first = channel::pixelsout(made);
        const int second = channel::pixelsout(made);
        struct stat one, other;
        QVERIFY(::fstat(first, &one) == 0 && ::fstat(second, &other) == 0);
        QCOMPARE(one.st_ino, other.st_ino);
        QVERIFY(::fcntl(first, F_GET_SEALS) & F_SEAL_WRITE);
        ::close(second);

        made.fill(Qt::red);
        QCOMPARE(made.constBits(), at);
        QCOMPARE(made.pixel(5, 5), QColor(Qt::red).rgb());
        channel::reply said;
        said.width = made.width();
        said.height = made.height();
        said.stride = int(made.bytesPerLine());
        said.format = made.format();
        QCOMPARE(channel::pixelsin(first, said), kept);
        made = QImage();
    }
};

QTEST_MAIN(tst_units)
#include "tst_units.moc"
