#include "hostile.h"
#include "writers.h"

#include <QDirIterator>
#include <QImageReader>
#include <QImageWriter>
#include <QProcess>
#include <QScrollBar>
#include <QStyle>
#include <QtEndian>
#include <cmath>

// Pictures as they are meant to be seen: upright, as sharp as the screen allows, at the size their
// pixels give, under any file name.
// The mean and the largest difference of two pictures' premultiplied channels, in levels.
std::pair<double, int> difference(const QImage &a, const QImage &b)
{
    const QImage x = a.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    const QImage y = b.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    double total = 0;
    int largest = 0;
    for (int row = 0; row < x.height(); ++row)
        for (int col = 0; col < x.width(); ++col) {
            const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
            for (const int shift : { 0, 8, 16, 24 }) {
                const int d = qAbs(int((p >> shift) & 255) - int((q >> shift) & 255));
                total += d;
                largest = qMax(largest, d);
            }
        }
    return { total / qMax(1, 4 * x.width() * x.height()), largest };
}

QString differs(const QImage &a, const QImage &b)
{
    const auto [mean, largest] = difference(a, b);
    return QString("mean %1, largest %2 levels apart").arg(mean).arg(largest);
}

class tst_pictures : public QObject
{
    Q_OBJECT

    readersfound readers;
    QTemporaryDir dir;
    QString startdir = QDir::currentPath();

    // Six square blocks in three columns and two rows, each of its own colour. Blocks of whole
    // JPEG cells survive compression with their colours.
    static QImage blocks(int side = 32)
    {
        static const QRgb colours[]
            = { 0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff };
        QImage image(3 * side, 2 * side, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, colours[y / side * 3 + x / side]);
        return image;
    }

    // What a camera stores for an upright picture under each orientation tag: the tag's
    // transformation, undone.
    static QImage stored(const QImage &upright, int orientation)
    {
        const auto turned = [](const QImage &image, int degrees) {
            return image.transformed(QTransform().rotate(degrees));
        };
        switch (orientation) {
        case 2:
            return upright.mirrored(true, false);
        case 3:
            return turned(upright, 180);
        case 4:
            return upright.mirrored(false, true);
        case 5:
            return turned(upright, 90).mirrored(true, false);
        case 6:
            return turned(upright, 270);
        case 7:
            return turned(turned(upright, 90).mirrored(true, false), 180);
        case 8:
            return turned(upright, 90);
        }
        return upright;
    }

    // A JPEG file with an Exif block holding only the orientation tag, written after the start
    // marker as cameras write it.
    static QString photograph(const QString &file, const QImage &pixels, int orientation)
    {
        QByteArray jpeg = encode(pixels, "JPEG", 100);
        const char exif[] = { '\xff', '\xe1', 0, 34, 'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42, 0,
            0, 0, 8, 0, 1, 1, 0x12, 0, 3, 0, 0, 0, 1, 0, char(orientation), 0, 0, 0, 0, 0, 0 };
        jpeg.insert(2, exif, sizeof exif);
        QFile out(file);
        out.open(QIODevice::WriteOnly);
        out.write(jpeg);
        return file;
    }

    // The block colours of what the label shows, sampled at the centre of each block.
    static QList<QRgb> seenblocks(int columns, int rows)
    {
        const QImage image = ::seen();
        QList<QRgb> seen;
        for (int row = 0; row < rows; ++row)
            for (int column = 0; column < columns; ++column) {
                const QColor c = image.pixelColor((2 * column + 1) * image.width() / (2 * columns),
                    (2 * row + 1) * image.height() / (2 * rows));
                seen << qRgb(
                    c.red() > 128 ? 255 : 0, c.green() > 128 ? 255 : 0, c.blue() > 128 ? 255 : 0);
            }
        return seen;
    }
    static QList<QRgb> blockcolours(const QImage &image, int columns, int rows)
    {
        QList<QRgb> colours;
        for (int row = 0; row < rows; ++row)
            for (int column = 0; column < columns; ++column)
                colours << image.pixel((2 * column + 1) * image.width() / (2 * columns),
                    (2 * row + 1) * image.height() / (2 * rows));
        return colours;
    }

private slots:
    void cleanup() { QDir::setCurrent(startdir); }

    void orientation_data()
    {
        QTest::addColumn<int>("tag");
        QTest::addColumn<int>("side");
        for (int tag = 1; tag <= 8; ++tag) {
            QTest::addRow("tag %d", tag) << tag << 32;
            QTest::addRow("tag %d, decoded reduced", tag) << tag << 512;
        }
    }
    // Every way of opening turns the photograph upright; a turn then turns the upright picture.
    void orientation()
    {
        QFETCH(int, tag);
        QFETCH(int, side);
        const QImage upright = blocks(side);
        const QList<QRgb> expected = blockcolours(upright, 3, 2);
        const QString file
            = photograph(dir.filePath(QString("p%1.jpg").arg(tag)), stored(upright, tag), tag);
        auto window = viewer(file);
        QCOMPARE(shown(), QSize(585, 390));
        QCOMPARE(seenblocks(3, 2), expected);

        window->tranr();
        QCOMPARE(shown(), QSize(293, 440));
        QCOMPARE(
            seenblocks(2, 3), blockcolours(upright.transformed(QTransform().rotate(90)), 2, 3));

        drop(window.get(), { QUrl::fromLocalFile(file) });
        QCOMPARE(seenblocks(3, 2), expected);
        picture(dir.path(), "p0.png", QSize(10, 10));
        window->backward();
        window->forward();
        QCOMPARE(seenblocks(3, 2), expected);
    }

    // A JPEG is decoded at the coarsest of 1/8, 1/4, 1/2 and 1 that still covers the picture as
    // shown in screen pixels.
    // Every picture is decoded no larger than it is shown, in the screen's pixels: by the readers
    // that decode at a size, and by averaging what the toolkit's readers decode whole.
    void decodedAsShown_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("decoded");
        const QImage photo = blocks(400).scaled(1800, 1200);
        for (const QSize box : { QSize(585, 440), QSize(1170, 880), QSize(2000, 2000) }) {
            const QSize fit
                = box.width() >= 1800 ? QSize(1800, 1200) : QSize(box.width(), box.width() * 2 / 3);
            for (const auto &[name, contents] :
                QList<std::pair<const char *, QByteArray>> { { "JPEG", encode(photo, "JPEG", 90) },
                    { "PNG", encode(photo, "PNG") }, { "HEIC", writers::heif(photo, false) },
                    { "AVIF", writers::heif(photo, true) }, { "JPEG XL", writers::jxl(photo, 1) },
                    { "JPEG 2000", writers::jp2(photo) }, { "WebP", writers::webp(photo, 80) },
                    { "TIFF", encode(photo, "TIFF") }, { "BMP", encode(photo, "BMP") } })
                QTest::addRow("%s in %dx%d", name, box.width(), box.height())
                    << contents << box << fit;
        }
    }
    void decodedAsShown()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QSize, box);
        QFile out(dir.filePath("sized"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size());
        out.close();
        const decoded made = decode(out.fileName(), box);
        QTEST(made.image.size(), "decoded");
        QCOMPARE(made.of.whole, QSize(1800, 1200));
    }

    // Zoomed past what a reduced decode holds, the file's own detail is shown: at the picture's
    // own size a checkerboard of single pixels is shown as one, in the screen's pixels.
    void reducedDecodeSharpens_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QImage board(1080, 940, QImage::Format_Grayscale8);
        for (int y = 0; y < board.height(); ++y)
            for (int x = 0; x < board.width(); ++x)
                board.scanLine(y)[x] = (x + y) % 2 ? 255 : 0;
        QTest::newRow("JPEG") << encode(board, "JPEG", 100);
        QTest::newRow("JPEG 2000") << writers::jp2(board);
        QTest::newRow("JPEG 2000 codestream") << writers::jp2(board, true);
        QTest::newRow("JPEG XL") << writers::jxl(board.convertToFormat(QImage::Format_RGB32));
        QTest::newRow("PNG") << encode(board, "PNG");
    }
    void reducedDecodeSharpens()
    {
        QFETCH(QByteArray, contents);
        QFile out(dir.filePath("board"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size());
        out.close();
        QCOMPARE(decode(out.fileName(), QSize(585, 440)).image.size(), QSize(505, 440));
        auto window = viewer(out.fileName());
        QCOMPARE(shown(), QSize(505, 440));
        for (int i = 0; i < 10; ++i)
            window->zoomin();
        QCOMPARE(shown(), QSize(1080, 940));
        const QImage seen = ::seen();
        for (int y = 400; y < 410; ++y)
            for (int x = 500; x < 510; ++x)
                QCOMPARE(
                    qGray(seen.pixel(x, y)) > 128, (int(x / ratio()) + int(y / ratio())) % 2 == 1);
    }

    // Every format opens by its contents, upright as the file says (turned once, whatever an Exif
    // tag inside says besides), at its own size, in its own colours: the readers of the project's
    // own (HEIF, AVIF, JPEG XL, JPEG 2000), the toolkit's (WebP, TIFF) and drawings (SVG).
    void formats_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QList<QRgb>>("expected");
        const QImage upright = blocks(33);
        const QList<QRgb> colours = blockcolours(upright, 3, 2);
        for (const int tag : { 1, 2, 3, 4, 5, 6, 7, 8 }) {
            QTest::addRow("HEIC, orientation %d, Exif 6 besides", tag)
                << writers::heif(stored(upright, tag), false, 95, tag, nullptr, 6) << colours;
            QTest::addRow("JPEG XL, orientation %d", tag)
                << writers::jxl(stored(upright, tag), 0, tag) << colours;
        }
        QTest::newRow("AVIF, turned") << writers::heif(stored(upright, 6), true, 95, 6) << colours;
        // The rotation and mirror listed before the coded picture's size: shown in the
        // proportions they give. (libheif crops odd sizes outside the coded picture.)
        const QImage even = blocks(34);
        for (const int tag : { 5, 6, 8 }) {
            QTest::addRow("HEIC, orientation %d, turned before its size", tag)
                << writers::turnedfirst(writers::heif(stored(even, tag), false, 95, tag))
                << colours;
            QTest::addRow("AVIF, orientation %d, turned before its size", tag)
                << writers::turnedfirst(writers::heif(stored(even, tag), true, 95, tag)) << colours;
        }
        // Brands as cameras write them: HEIF images in general first, HEIC among the others.
        QTest::newRow("HEIC, brand mif1")
            << writers::heif(upright, false).replace(8, 4, "mif1") << colours;
        // Large enough to be decoded reduced: straight from the decoder where nothing turns it,
        // reduced after the turn where something does.
        const QImage large = blocks(400);
        QTest::newRow("HEIC, reduced") << writers::heif(large, false) << colours;
        QTest::newRow("AVIF, reduced") << writers::heif(large, true) << colours;
        QTest::newRow("HEIC, reduced, turned")
            << writers::heif(stored(large, 8), false, 90, 8) << colours;
        QTest::newRow("HEIC, reduced, turned before its size")
            << writers::turnedfirst(writers::heif(stored(large, 6), false, 90, 6)) << colours;
        QTest::newRow("HEIC, reduced, turned before its size")
            << writers::turnedfirst(writers::heif(stored(large, 6), false, 90, 6)) << colours;
        QTest::newRow("HEIC, reduced, alpha")
            << writers::heif(large.convertToFormat(QImage::Format_ARGB32), false) << colours;
        QTest::newRow("HEIC, 10 bits")
            << writers::heif(upright.convertToFormat(QImage::Format_RGBX64), false) << colours;
        QTest::newRow("AVIF, 10 bits")
            << writers::heif(upright.convertToFormat(QImage::Format_RGBX64), true) << colours;
        QTest::newRow("JPEG XL, lossy") << writers::jxl(upright, 0.1f) << colours;
        QTest::newRow("JPEG XL, 16 bits")
            << writers::jxl(upright.convertToFormat(QImage::Format_RGBX64)) << colours;
        QTest::newRow("JPEG 2000") << writers::jp2(upright) << colours;
        QTest::newRow("JPEG 2000, lossy") << writers::jp2(upright, false, 4, 10) << colours;
        QTest::newRow("JPEG 2000 codestream") << writers::jp2(upright, true) << colours;
        QTest::newRow("JPEG 2000, inks")
            << writers::jp2(upright, false, 6, 0, 0, false, 0, true) << colours;
        QTest::newRow("WebP") << writers::webp(upright, 100) << colours;
        QTest::newRow("PNG") << encode(upright, "PNG") << colours;
        QTest::newRow("JPEG") << encode(upright, "JPEG", 100) << colours;
        for (const auto &[name, how] : { std::pair("progressive", writers::coding { true }),
                 std::pair("restart markers", writers::coding { false, 1 }),
                 std::pair("arithmetic-coded", writers::coding { true, 0, true }) })
            QTest::addRow("JPEG, %s", name)
                << writers::jpeg(writers::rgbof(upright), upright.size(), 3, {}, 95, how)
                << colours;
        QTest::newRow("BMP") << encode(upright, "BMP") << colours;
        QTest::newRow("BMP, palette, top-down")
            << topdown(encode(upright.convertToFormat(QImage::Format_Indexed8), "BMP")) << colours;
        // TIFF in every layout libtiff writes: each read strip by strip or tile by tile.
        const QList<std::pair<const char *, writers::tiffing>> layouts = {
            { "16 bits, planes apart", { 16, PHOTOMETRIC_RGB, true } },
            { "16 bits, tiles", { 16, PHOTOMETRIC_RGB, false, true } },
            { "16 bits, tiles, planes apart", { 16, PHOTOMETRIC_RGB, true, true } },
            { "12 bits", { 12, PHOTOMETRIC_RGB } },
            { "2 bits", { 2, PHOTOMETRIC_RGB, false, false, COMPRESSION_NONE } },
            { "floating point",
                { 32, PHOTOMETRIC_RGB, false, false, COMPRESSION_ADOBE_DEFLATE, true } },
            { "floating point, 16 bits",
                { 16, PHOTOMETRIC_RGB, false, false, COMPRESSION_NONE, true } },
            { "16 bits, signed",
                { 16, PHOTOMETRIC_RGB, false, false, COMPRESSION_LZW, false, true } },
            { "palette", { 8, PHOTOMETRIC_PALETTE } },
            { "palette of 8-bit colours",
                { 8, PHOTOMETRIC_PALETTE, false, false, COMPRESSION_LZW, false, false, true } },
            { "palette, 4 bits, tiles", { 4, PHOTOMETRIC_PALETTE, false, true } },
            { "inks", { 8, PHOTOMETRIC_SEPARATED } },
            { "inks, 16 bits", { 16, PHOTOMETRIC_SEPARATED } },
            { "inks, tiles", { 8, PHOTOMETRIC_SEPARATED, false, true } },
        };
        for (const auto &[name, how] : layouts)
            QTest::addRow("TIFF, %s", name) << writers::tiff(upright, how) << colours;
        // CIELab in whole numbers is a level or so from the colours it was made of: shown as
        // Little CMS converts those numbers.
        QList<QRgb> labcolours;
        const QByteArray labprofile = writers::saved(cmsCreateLab4Profile(nullptr));
        for (const QRgb c : colours) {
            const uchar rgb[] = { uchar(qRed(c)), uchar(qGreen(c)), uchar(qBlue(c)) };
            const QColor lab = writers::converted(
                writers::saved(cmsCreate_sRGBProfile()), TYPE_RGB_8, rgb, labprofile, TYPE_Lab_8);
            const uchar stored[] = { uchar(lab.red()), uchar(lab.green()), uchar(lab.blue()) };
            labcolours << writers::converted(labprofile, TYPE_Lab_8, stored).rgb();
        }
        QTest::newRow("TIFF, CIELab")
            << writers::tiff(upright, { 8, PHOTOMETRIC_CIELAB }) << labcolours;
        QTest::newRow("TIFF, CIELab, tiles")
            << writers::tiff(upright, { 8, PHOTOMETRIC_CIELAB, false, true }) << labcolours;
        QList<QRgb> greens;
        for (const QRgb c : colours)
            greens << qRgb(qGreen(c), qGreen(c), qGreen(c));
        QTest::newRow("TIFF, grey, min-is-white, 4 bits")
            << writers::tiff(upright, { 4, PHOTOMETRIC_MINISWHITE }) << greens;
        // A 1-bit document's dots fitted into the window are the grey their density makes.
        QTest::newRow("TIFF, 1 bit, min-is-white, fax coded")
            << writers::tiff(
                   blocks(330), { 1, PHOTOMETRIC_MINISWHITE, false, false, COMPRESSION_CCITTFAX4 })
            << [&] {
                   QList<QRgb> dotted;
                   for (const QRgb c : blockcolours(blocks(330), 3, 2)) {
                       // The dots' density steps in seventeenths.
                       int on = 0;
                       for (int i = 0; i < 17; ++i)
                           on += i / 17.0 < (255 - qGreen(c)) / 255.0 ? 1 : 0;
                       const int level = 255 - on * 255 / 17;
                       dotted << qRgb(level, level, level);
                   }
                   return dotted;
               }();
        QTest::newRow("TIFF") << encode(upright, "TIFF") << colours;
        QTest::newRow("TIFF, LZW") << encode(upright, "TIFF", -1, 1) << colours;
        // Strips decoded on every core, each core reading its own share.
        QTest::newRow("TIFF, reduced") << writers::tiff(large, {}) << colours;
        QTest::newRow("TIFF, reduced, planar")
            << writers::tiff(large, { 8, PHOTOMETRIC_RGB, true }) << colours;
        // BMP in the layouts its writers use, Windows' and OS/2's.
        const std::array<quint32, 4> wide565 { 0xf800, 0x07e0, 0x001f, 0 };
        const std::array<quint32, 4> ten { 0x3ff00000, 0x000ffc00, 0x000003ff, 0 };
        QTest::newRow("BMP, 4-bit palette, run-length coded")
            << writers::bmp(upright, { 4, 2 }) << colours;
        QTest::newRow("BMP, 8-bit palette, run-length coded")
            << writers::bmp(upright, { 8, 1 }) << colours;
        QTest::newRow("BMP, 8-bit palette, OS/2 header")
            << writers::bmp(upright, { 8, 0, {}, 12 }) << colours;
        QTest::newRow("BMP, 4-bit palette") << writers::bmp(upright, { 4 }) << colours;
        QTest::newRow("BMP, 16 bits in 5-6-5 fields")
            << writers::bmp(upright, { 16, 3, wide565 }) << colours;
        QTest::newRow("BMP, 32 bits in fields of 10 bits")
            << writers::bmp(upright, { 32, 3, ten }) << colours;
        QTest::newRow("BMP, 64 bits of linear light") << writers::bmp(upright, { 64 }) << colours;
        QTest::newRow("BMP, a PNG inside") << writers::bmp(upright, { 0, 5, {}, 124 }) << colours;
        QTest::newRow("BMP, reduced") << writers::bmp(large, {}) << colours;
        QByteArray svg = "<svg xmlns='http://www.w3.org/2000/svg' width='99' height='66'>";
        for (int i = 0; i < 6; ++i)
            svg += QString("<rect x='%1' y='%2' width='33' height='33' fill='#%3'/>")
                       .arg(i % 3 * 33)
                       .arg(i / 3 * 33)
                       .arg(colours[i] & 0xffffff, 6, 16, QChar('0'))
                       .toLatin1();
        QTest::newRow("SVG") << svg + "</svg>" << colours;
        QTest::newRow("SVG, compressed") << gzipped(svg + "</svg>") << colours;

        // A grid of tiles, as phones write photographs, shown whole in the colours the file
        // describes, even where each tile's stream says otherwise: studio-range samples that the
        // file says span the whole range.
        const QList<QRgb> tones = { qRgb(40, 40, 40), qRgb(220, 220, 220), qRgb(40, 120, 200),
            qRgb(200, 120, 40), qRgb(128, 128, 128), qRgb(90, 160, 60) };
        QImage tiled(192, 128, QImage::Format_RGB32);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 192; ++x)
                tiled.setPixel(x, y, tones[y / 64 * 3 + x / 64]);
        const auto asfull = [](QRgb c) {
            const double y = 0.299 * qRed(c) + 0.587 * qGreen(c) + 0.114 * qBlue(c);
            const double luma = 16 + 219 * y / 255;
            const double cb = 224 * (qBlue(c) - y) / (1.772 * 255);
            const double cr = 224 * (qRed(c) - y) / (1.402 * 255);
            const double r = luma + 1.402 * cr, b = luma + 1.772 * cb;
            const double g = (luma - 0.299 * r - 0.114 * b) / 0.587;
            return qRgb(
                qBound(0, qRound(r), 255), qBound(0, qRound(g), 255), qBound(0, qRound(b), 255));
        };
        QList<QRgb> widened;
        for (const QRgb tone : tones)
            widened << asfull(tone);
        const writers::coded studio { 1, 13, 6, false };
        const writers::coded whole { 1, 13, 6, true };
        QTest::newRow("HEIC, grid") << writers::grid(tiled, 3, 2, studio, studio) << tones;
        QTest::newRow("HEIC, grid described apart from its tiles")
            << writers::grid(tiled, 3, 2, studio, whole) << widened;

        // Grey, alpha over the black of the view, odd sizes.
        QImage grey = filled(QSize(99, 66), QColor(150, 150, 150))
                          .convertToFormat(QImage::Format_Grayscale8);
        const QList<QRgb> greys(6, qRgb(150, 150, 150));
        QTest::newRow("HEIC, grey") << writers::heif(grey, false) << greys;
        QTest::newRow("JPEG 2000, grey") << writers::jp2(grey) << greys;
        QImage half(99, 66, QImage::Format_ARGB32);
        half.fill(qRgba(255, 255, 255, 128));
        const QList<QRgb> halves(6, qRgb(128, 128, 128));
        QTest::newRow("HEIC, alpha") << writers::heif(half, false) << halves;
        QTest::newRow("AVIF, alpha") << writers::heif(half, true) << halves;
        QTest::newRow("JPEG XL, alpha") << writers::jxl(half) << halves;
        QTest::newRow("JPEG 2000, alpha") << writers::jp2(half) << halves;
        QTest::newRow("JPEG 2000, grey, alpha")
            << writers::jp2(half, false, 6, 0, 0, true) << halves;
        QTest::newRow("JPEG 2000, alpha after another channel")
            << writers::jp2(half, false, 6, 0, 0, false, 1) << halves;
        QTest::newRow("WebP, alpha") << writers::webp(half, 100) << halves;
        QTest::newRow("BMP, alpha in its bit fields")
            << writers::bmp(half, { 32, 3, { 0xff0000, 0xff00, 0xff, 0xff000000 }, 124 }) << halves;

        // Colours as the file describes them: Display P3 and BT.709 primaries, sRGB's curve, and
        // BT.709's, which HEIF's reference decoder leaves as it is and JPEG XL's gives a profile of
        // (the camera curve's inverse).
        const QImage patch = filled(QSize(99, 66), QColor(200, 100, 100));
        const QList<QRgb> p3(6, qRgb(215, 93, 97));
        const QList<QRgb> plain(6, qRgb(200, 100, 100));
        const QList<QRgb> bt709curve(6, qRgb(206, 114, 114));
        const writers::coded displayp3 { 12, 13, 6, true };
        const writers::coded srgb { 1, 13, 1, false };
        const writers::coded bt709 { 1, 1, 1, false };
        QTest::newRow("HEIC, Display P3") << writers::heif(patch, false, 100, 1, &displayp3) << p3;
        QTest::newRow("AVIF, Display P3") << writers::heif(patch, true, 100, 1, &displayp3) << p3;
        QTest::newRow("HEIC, sRGB") << writers::heif(patch, false, 100, 1, &srgb) << plain;
        QTest::newRow("HEIC, BT.709") << writers::heif(patch, false, 100, 1, &bt709) << plain;
        QTest::newRow("AVIF, BT.709") << writers::heif(patch, true, 100, 1, &bt709) << plain;
        QTest::newRow("JPEG XL, Display P3") << writers::jxl(patch, 0, 1, 12) << p3;
        QTest::newRow("JPEG XL, BT.709") << writers::jxl(patch, 0, 1, 1, 1) << bt709curve;
    }
    void formats()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QList<QRgb>, expected);
        QVERIFY(!contents.isEmpty());
        // Shown alike without a name to go by and under another format's name.
        const bool jpeg = contents.startsWith("\xff\xd8");
        for (const char *name : { "picture", jpeg ? "picture.png" : "picture.jpg" }) {
            QFile out(dir.filePath(name));
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size());
            out.close();
            auto window = viewer(out.fileName());
            QCOMPARE(shown(), QSize(585, 390));
            const QImage image = seen();
            for (int i = 0; i < 6; ++i) {
                const QColor seen = image.pixelColor(
                    (2 * (i % 3) + 1) * image.width() / 6, (2 * (i / 3) + 1) * image.height() / 4);
                const QColor wanted(expected[i]);
                QVERIFY2(qAbs(seen.red() - wanted.red()) <= 4
                        && qAbs(seen.green() - wanted.green()) <= 4
                        && qAbs(seen.blue() - wanted.blue()) <= 4,
                    qPrintable(QString("%1, block %2: %3, not %4")
                                   .arg(name)
                                   .arg(i)
                                   .arg(seen.name(), wanted.name())));
            }
        }
        QFile out(dir.filePath("picture"));
        // The project's readers read a pipe, which cannot seek, as they read the file (the
        // toolkit's TIFF and WebP readers refuse it).
        QImageReader file(out.fileName());
        if (file.format() == "tiff" || file.format() == "webp")
            return;
        QProcess pipe;
        pipe.start("cat", { out.fileName() });
        QVERIFY(pipe.waitForFinished());
        QCOMPARE(QImageReader(&pipe).read(), file.read());
    }

    // PNG pictures made elsewhere (colour types, depths, palettes, transparency, interlacing and
    // the colour chunks, and broken files) come out as the toolkit's own reader gives them,
    // whole and reduced alike; what it cannot read fails to load.
    void pngCollection_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QImage>("whole");
        QTest::addColumn<QImage>("half");
        QStringList names;
        for (QDirIterator it(PNGDATA, { "*.png" }, QDir::Files, QDirIterator::Subdirectories);
             it.hasNext();)
            names << it.next();
        names.sort();
        QProcess toolkit;
        toolkit.start(QTPNG, names);
        QVERIFY(toolkit.waitForFinished(60000));
        QDataStream in(toolkit.readAllStandardOutput());
        const auto picture = [&in] {
            qint32 width = 0, height = 0;
            in >> width >> height;
            if (width <= 0 || height <= 0)
                return QImage();
            QImage made(width, height, QImage::Format_ARGB32_Premultiplied);
            for (int y = 0; y < height; ++y)
                in.readRawData(reinterpret_cast<char *>(made.scanLine(y)), width * 4);
            return made;
        };
        while (!in.atEnd()) {
            QString file;
            in >> file;
            const QImage whole = picture();
            QTest::newRow(qPrintable(QDir(PNGDATA).relativeFilePath(file)))
                << file << whole << picture();
        }
    }
    void pngCollection()
    {
        QFETCH(QString, file);
        QFETCH(QImage, whole);
        QFETCH(QImage, half);
        const QImage ours = decode(file).image;
        QCOMPARE(ours.isNull(), whole.isNull());
        if (whole.isNull())
            return;
        QCOMPARE(ours.size(), whole.size());
        QVERIFY2(difference(ours, whole).second <= 2, qPrintable(differs(ours, whole)));
        const QImage reduced = decode(file, half.size()).image;
        QCOMPARE(reduced.size(), half.size());
        QVERIFY2(difference(reduced, half).first <= 2, qPrintable(differs(reduced, half)));
    }

    // A drawing's text is drawn in the decoder, in the system's fonts, as any drawing is.
    void drawingText()
    {
        QFile out(dir.filePath("text.svg"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("<svg xmlns='http://www.w3.org/2000/svg' width='200' height='100'>"
                  "<rect width='200' height='100' fill='white'/>"
                  "<text x='10' y='80' font-size='80' font-family='DejaVu Sans'>WM</text></svg>");
        out.close();
        const QImage drawn = decode(out.fileName(), QSize(200, 100)).image;
        QCOMPARE(drawn.size(), QSize(200, 100));
        int ink = 0;
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                ink += qGray(drawn.pixel(x, y)) < 64;
        QVERIFY2(ink > 2000, qPrintable(QString("%1 pixels of ink").arg(ink)));
    }

    // A drawing is rendered at the size it is shown, in the screen's pixels: a line drawn one
    // screen pixel wide is one pixel wide at every zoom step, as sharp as it was fitted.
    void drawingStaysSharp()
    {
        QFile out(dir.filePath("line.svg"));
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("<svg xmlns='http://www.w3.org/2000/svg' width='300' height='200'>"
                  "<rect width='300' height='200' fill='white'/>"
                  "<line x1='150' y1='0' x2='150' y2='200' stroke='black' stroke-width='1' "
                  "vector-effect='non-scaling-stroke'/></svg>");
        out.close();
        auto window = viewer(out.fileName());
        for (int step = 0; step <= 10; ++step) {
            QCOMPARE(shown().width(), 585 + 50 * step);
            const QImage seen = ::seen();
            const int row = seen.height() / 2;
            double ink = 0;
            int first = seen.width();
            int last = -1;
            for (int x = 0; x < seen.width(); ++x) {
                const int dark = 255 - qGray(seen.pixel(x, row));
                ink += dark / 255.0;
                if (dark > 16) {
                    first = qMin(first, x);
                    last = x;
                }
            }
            QVERIFY2(ink > 0.75 && ink < 1.25 && last - first <= 1,
                qPrintable(QString("step %1: %2 pixels of ink over %3")
                               .arg(step)
                               .arg(ink)
                               .arg(last - first + 1)));
            window->zoomin();
        }
    }

    // Pictures of high dynamic range (PQ or HLG) keep their highlights apart, eased into what the
    // screen shows, rather than all becoming white.
    void highDynamicRange_data()
    {
        QTest::addColumn<QByteArray>("contents");
        // Grey patches at 100, 203 (white), 400 and 1000 cd/m2, coded for PQ and for HLG.
        const auto pq = [](double nits) {
            const double m1 = 2610.0 / 16384, m2 = 2523.0 / 4096 * 128, c1 = 3424.0 / 4096,
                         c2 = 2413.0 / 4096 * 32, c3 = 2392.0 / 4096 * 32;
            const double y = std::pow(nits / 10000, m1);
            return std::pow((c1 + c2 * y) / (1 + c3 * y), m2);
        };
        const auto hlg = [](double nits) {
            const double scene = std::pow(nits / 1000, 1 / 1.2);
            const double a = 0.17883277, b = 1 - 4 * a, c = 0.5 - a * std::log(4 * a);
            return scene <= 1 / 12.0 ? std::sqrt(3 * scene) : a * std::log(12 * scene - b) + c;
        };
        for (const int transfer : { 16, 18 }) {
            QImage patches(120, 30, QImage::Format_RGBX64);
            for (int i = 0; i < 4; ++i) {
                const double nits = QList<double>({ 100, 203, 400, 1000 })[i];
                const quint16 v = quint16(65535 * (transfer == 16 ? pq(nits) : hlg(nits)));
                for (int y = 0; y < 30; ++y)
                    for (int x = 0; x < 30; ++x)
                        reinterpret_cast<QRgba64 *>(patches.scanLine(y))[30 * i + x]
                            = QRgba64::fromRgba64(v, v, v, 65535);
            }
            const writers::coded coded { 9, transfer, 9, false };
            QTest::addRow("HEIC, %s", transfer == 16 ? "PQ" : "HLG")
                << writers::heif(patches, false, 90, 1, &coded);
            QTest::addRow("AVIF, %s", transfer == 16 ? "PQ" : "HLG")
                << writers::heif(patches, true, 90, 1, &coded);
            QTest::addRow("JPEG XL, %s", transfer == 16 ? "PQ" : "HLG")
                << writers::jxl(patches, 0, 1, 9, transfer);
        }
    }
    void highDynamicRange()
    {
        QFETCH(QByteArray, contents);
        QFile out(dir.filePath("bright"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size());
        out.close();
        auto window = viewer(out.fileName());
        const QImage seen = ::seen();
        QList<int> greys;
        for (int i = 0; i < 4; ++i)
            greys << qGray(seen.pixel((2 * i + 1) * seen.width() / 8, seen.height() / 2));
        QVERIFY2(greys[0] > 60 && greys[0] + 10 < greys[1] && greys[1] + 10 < greys[2]
                && greys[2] + 5 < greys[3],
            qPrintable(
                QString("%1 %2 %3 %4").arg(greys[0]).arg(greys[1]).arg(greys[2]).arg(greys[3])));
    }

    // A JPEG over the decoding limit opens reduced until its decode fits; its own size is kept.
    void jpegOverTheLimit()
    {
        // A small picture's header claiming 24000 x 16000: the decoder fills in what is missing.
        QByteArray jpeg = encode(filled(QSize(64, 64), Qt::gray), "JPEG");
        const qsizetype frame = jpeg.indexOf("\xff\xc0");
        QVERIFY(frame > 0);
        qToBigEndian<quint16>(16000, jpeg.data() + frame + 5);
        qToBigEndian<quint16>(24000, jpeg.data() + frame + 7);
        QFile out(dir.filePath("vast.jpg"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(jpeg) == jpeg.size());
        out.close();
        const decoded vast = decode(out.fileName(), QSize(585, 440));
        QCOMPARE(vast.of.whole, QSize(24000, 16000));
        QCOMPARE(vast.image.size(), QSize(585, 390));
        const decoded finest = decode(out.fileName());
        QCOMPARE(finest.image.size(), QSize(12000, 8000));
        QVERIFY(finest.of.finest);
        auto window = viewer(out.fileName());
        QCOMPARE(shown(), QSize(585, 390));
        window->zoomin();
        QCOMPARE(shown(), QSize(635, 423));
    }

    // Run-length coded bitmaps as their codes say: runs of one index and of two alternating (RLE4),
    // pixels as they are with their padding, moves that skip pixels and rows, early ends of rows
    // and of the picture. Skipped pixels are transparent; an index past the palette is black.
    void bitmapRuns_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QStringList>("expected"); // top row first: r, b, k (black), . (none)
        // 8 x 4, stored from the bottom row; its palette is red, then blue.
        QImage picture = filled(QSize(8, 4), Qt::red);
        picture.setPixelColor(0, 0, Qt::blue);
        const auto coded = [&](int bits, const char *codes) {
            QByteArray file = writers::bmp(picture, { bits, bits == 8 ? 1 : 2 });
            return file.left(qFromLittleEndian<quint32>(file.constData() + 10))
                + QByteArray::fromHex(codes);
        };
        QTest::newRow("RLE8, a move within a row, then the end")
            << coded(8, "0800 0000 0201 0002 0300 0300 0000 0001")
            << QStringList { "........", "........", "bb...rrr", "rrrrrrrr" };
        QTest::newRow("RLE8, a move across rows")
            << coded(8, "0401 0002 0102 0301 0001")
            << QStringList { "........", ".....bbb", "........", "bbbb...." };
        QTest::newRow("RLE8, pixels as they are, padded, an index past the palette")
            << coded(8, "0003 010005 00 0500 0000 0001")
            << QStringList { "........", "........", "........", "brkrrrrr" };
        QTest::newRow("RLE4, alternating runs, pixels as they are")
            << coded(4, "0410 0003 1010 0000 0800 0001")
            << QStringList { "........", "........", "rrrrrrrr", "brbrbrb." };
        QTest::newRow("RLE8, runs past the row and the file")
            << coded(8, "ff00 ff01 0003") << QStringList { "", "", "", "rrrrrrrr" };
    }
    void bitmapRuns()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QStringList, expected);
        writebytes(dir.path(), "runs.bmp", contents);
        const QImage image = QImageReader(dir.filePath("runs.bmp"), "dib").read();
        QCOMPARE(image.size(), QSize(8, 4));
        const QHash<QChar, QRgb> colours { { 'r', qRgb(255, 0, 0) }, { 'b', qRgb(0, 0, 255) },
            { 'k', qRgb(0, 0, 0) }, { '.', 0 } };
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < expected[y].size(); ++x)
                QCOMPARE(image.pixel(x, y) & (qAlpha(image.pixel(x, y)) ? 0xffffffff : 0),
                    colours[expected[y][x]]);
    }

    // A picture's colour profile says what its numbers mean: shown in sRGB, they are the colours
    // the profile gives. Without a profile, or with one the toolkit cannot use, they are shown as
    // stored.
    void colourProfiles_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QColor>("expected");
        const QColor stored(200, 100, 100);
        const QColorSpace swapped(
            QColorSpace::Primaries::SRgb, QColorSpace::TransferFunction::SRgb);
        QColorSpace swapping(QPointF(0.3127, 0.3290), QPointF(0.15, 0.06), QPointF(0.30, 0.60),
            QPointF(0.64, 0.33), QColorSpace::TransferFunction::SRgb);
        for (const char *format : { "PNG", "JPEG" }) {
            const auto tagged = [&](QColorSpace::NamedColorSpace space, QColor colour) {
                QImage patch = filled(QSize(64, 48), colour);
                patch.setColorSpace(space);
                return encode(patch, format, 100);
            };
            QImage swappedpatch = filled(QSize(64, 48), QColor(5, 0, 255));
            swappedpatch.setColorSpace(swapping);
            QTest::addRow("%s, Display P3", format)
                << tagged(QColorSpace::DisplayP3, stored) << QColor(215, 93, 97);
            QTest::addRow("%s, Adobe RGB", format)
                << tagged(QColorSpace::AdobeRgb, stored) << QColor(227, 100, 100);
            QTest::addRow("%s, sRGB", format) << tagged(QColorSpace::SRgb, stored) << stored;
            QImage plain = filled(QSize(64, 48), stored);
            plain.setColorSpace(QColorSpace(QColorSpace::Primaries::SRgb, 2.2f));
            QTest::addRow("%s, sRGB at gamma 2.2", format) << encode(plain, format, 100) << stored;
            QTest::addRow("%s, no profile", format)
                << encode(filled(QSize(64, 48), stored), format, 100) << stored;
            QTest::addRow("%s, primaries swapped", format)
                << encode(swappedpatch, format, 100) << QColor(255, 0, 5);
        }
        // The toolkit reads display profiles only: a scanner's of the same matrix and curves
        // converts alike.
        QByteArray scanner = QColorSpace(QColorSpace::AdobeRgb).iccProfile();
        scanner.replace(12, 4, "scnr");
        QTest::newRow("PNG, Adobe RGB in a scanner's profile")
            << chunks::withprofile(encode(filled(QSize(64, 48), stored), "PNG"), scanner)
            << QColor(227, 100, 100);
        // Profiles of lookup tables, of version 4, of printing inks and of grey, as Little CMS
        // writes them: shown as it converts them; inks without a profile as plain inks.
        const QSize size(64, 48);
        const QByteArray v4
            = writers::tabled(cmsSigRgbData, 3, 4.3, [](const double *d, double *c) {
                  c[0] = d[2];
                  c[1] = d[1];
                  c[2] = d[0];
              });
        const uchar rgb[] = { 200, 100, 100 };
        QTest::newRow("JPEG, version 4 lookup tables")
            << writers::jpeg(writers::plain(size, { 200, 100, 100 }), size, 3, v4)
            << writers::converted(v4, TYPE_RGB_8, rgb);
        QTest::newRow("PNG, version 4 lookup tables") << chunks::withprofile(
            encode(filled(size, stored), "PNG"), v4) << writers::converted(v4, TYPE_RGB_8, rgb);
        QTest::newRow("BMP, version 4 lookup tables") << writers::bmp(filled(size, stored),
            { 24, 0, {}, 124, false, v4 }) << writers::converted(v4, TYPE_RGB_8, rgb);
        const QByteArray cmyk
            = writers::tabled(cmsSigCmykData, 4, 2.4, [](const double *d, double *c) {
                  for (int k = 0; k < 3; ++k)
                      c[k] = (1 - d[k]) * (1 - d[3]) * (k == 1 ? 0.9 : 1);
              });
        const uchar inks[] = { 225, 95, 135, 235 }; // inverted: 30, 160, 120 and 20 of ink
        const std::vector<uchar> inked = writers::plain(size, { 225, 95, 135, 235 });
        QTest::newRow("JPEG, inks with their profile") << writers::jpeg(
            inked, size, 4, cmyk) << writers::converted(cmyk, TYPE_CMYK_8_REV, inks);
        QTest::newRow("JPEG, inks without a profile")
            << writers::jpeg(inked, size, 4) << QColor(207, 88, 124);
        const QByteArray grey = writers::lineargrey();
        const uchar level = 100;
        QTest::newRow("JPEG, grey of linear light")
            << writers::jpeg(writers::plain(size, { level }), size, 1, grey)
            << writers::converted(grey, TYPE_GRAY_8, &level);
        QTest::newRow("PNG, grey of linear light") << chunks::withprofile(
            encode(filled(size, QColor(level, level, level))
                       .convertToFormat(QImage::Format_Grayscale8),
                "PNG"),
            grey) << writers::converted(grey, TYPE_GRAY_8, &level);
        for (const auto &[name, contents] : hostile::badprofiles())
            QTest::newRow(name.constData())
                << contents << (name.endsWith("on-grey.jpg") ? QColor(150, 150, 150) : stored);
    }
    void colourProfiles()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QColor, expected);
        QFile out(dir.filePath("tagged"));
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(contents) == contents.size());
        out.close();
        auto window = viewer(out.fileName());
        const QColor seen = centre();
        QVERIFY2(qAbs(seen.red() - expected.red()) <= 4
                && qAbs(seen.green() - expected.green()) <= 4
                && qAbs(seen.blue() - expected.blue()) <= 4,
            qPrintable(seen.name()));
    }

    // Lines a pixel wide, three and four pixels apart, fitted to a sixth of their size: every
    // part of the picture shows their even grey, none a band where the lines vanish or merge.
    void thinLines_data()
    {
        // Half the picture is light: dark lines a sample wide every third column and fourth row,
        // of levels whose mean is 128.
        const auto lines = [](int dark, int light) {
            QImage picture(3600, 2700, QImage::Format_RGB32);
            for (int y = 0; y < picture.height(); ++y)
                for (int x = 0; x < picture.width(); ++x) {
                    const int level = x % 3 == 0 || y % 4 == 0 ? dark : light;
                    picture.setPixel(x, y, qRgb(level, level, level));
                }
            return picture;
        };
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("file");
        QTest::newRow("PNG") << "lines.png" << encode(lines(0, 255), "PNG");
        QTest::newRow("BMP, decoded whole") << "lines.bmp" << encode(lines(0, 255), "BMP");
        // The codec's own reduction overshoots at sharp edges, and black and white would clip.
        QTest::newRow("JPEG 2000, in planes") << "lines.jp2" << writers::jp2(lines(48, 208));
    }
    void thinLines()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, file);
        writebytes(dir.path(), name.toUtf8(), file);
        auto window = viewer(dir.filePath(name));
        QCOMPARE(shown(), QSize(585, 438));
        // Each patch of 15 x 15 screen pixels is as grey as the whole.
        const QImage image = seen();
        for (int top = 0; top + 15 <= image.height(); top += 15)
            for (int left = 0; left + 15 <= image.width(); left += 15) {
                int sum = 0;
                for (int y = top; y < top + 15; ++y)
                    for (int x = left; x < left + 15; ++x)
                        sum += qGray(image.pixel(x, y));
                const int mean = sum / 225;
                QVERIFY2(qAbs(mean - 128) <= 12,
                    qPrintable(QString("patch at %1,%2: %3").arg(left).arg(top).arg(mean)));
            }
    }

    // Pictures are made in the screen's own pixels: a picture of exactly the fit size in screen
    // pixels is shown pixel for pixel, at the fit size in window pixels.
    void sharp()
    {
        auto window = viewer(picture(dir.path(), "probe.png", QSize(10, 10)));
        QImage fine(device(QSize(585, 440)), QImage::Format_RGB32);
        for (int y = 0; y < fine.height(); ++y)
            for (int x = 0; x < fine.width(); ++x)
                fine.setPixel(x, y, (x + y) % 2 ? 0xffffffff : 0xff000000);
        fine.save(dir.filePath("fine.png"));
        drop(window.get(), { QUrl::fromLocalFile(dir.filePath("fine.png")) });
        QCOMPARE(shown(), QSize(585, 440));
        QCOMPARE(seen(), fine);

        // Zoomed, each pixel drawn is the one the toolkit's fast scaling of the whole picture
        // gives, though only the part in view is ever drawn.
        QScrollArea *area = window->findChild<QScrollArea *>();
        for (const int steps : { 1, 2, 4 }) {
            for (int i = 0; i < steps; ++i)
                window->zoomin();
            const QImage whole = fine.scaled(device(shown()), Qt::IgnoreAspectRatio);
            QCOMPARE(seen(), whole);
            const QPoint scroll(37 * steps, 29 * steps);
            area->horizontalScrollBar()->setValue(scroll.x());
            area->verticalScrollBar()->setValue(scroll.y());
            QImage view = area->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
            view.setDevicePixelRatio(1);
            QCOMPARE(view, whole.copy(QRect(scroll * ratio(), view.size())));
        }
        for (int i = 0; i < 6; ++i)
            window->zommout();
        QCOMPARE(shown(), QSize(635, 477));
        QCOMPARE(seen().size(), device(QSize(635, 477)));
        window->tranr();
        QCOMPARE(shown(), QSize(330, 440));
        QCOMPARE(seen().size(), device(QSize(330, 440)));
    }

    // Moved to a screen of another pixel ratio, the window makes its picture again for it.
    void anotherScreen()
    {
        if (QGuiApplication::screens().size() < 2)
            QSKIP("needs two screens of different pixel ratios");
        auto window = viewer(picture(dir.path(), "move.png", QSize(100, 100)));
        const qreal before = ratio();
        QScreen *other = QGuiApplication::screens().at(before == 1 ? 1 : 0);
        window->windowHandle()->setScreen(other);
        window->move(other->geometry().topLeft() + QPoint(10, 10));
        QTRY_COMPARE(ratio(), other->devicePixelRatio());
        QCOMPARE(shown(), QSize(440, 440));
        QCOMPARE(seen().size(), device(QSize(440, 440)));
    }

    // A name ending in "@2x" asks the toolkit for half the size; the picture keeps its own.
    void namesThatAskForARatio()
    {
        QTemporaryDir here;
        auto window = viewer(picture(here.path(), "photo@2x.png", QSize(100, 100), Qt::green));
        QCOMPARE(shown(), QSize(440, 440));
        window->zoomin();
        QCOMPARE(shown(), QSize(490, 490));
        picture(here.path(), "shot@3x.jpg", QSize(100, 50), Qt::blue, "JPEG");
        window->forward();
        QCOMPARE(shown(), QSize(585, 292));
        animation(here.path(), "wave@2x.gif");
        drop(window.get(), { QUrl::fromLocalFile(here.filePath("wave@2x.gif")) });
        window->resize(400, 360);
        QTRY_COMPARE(label->movie()->currentPixmap().size(), device(QSize(385, 300)));
        QCOMPARE(drawn(), QSize(385, 300));
    }

    // Names with spaces, UTF-8, bytes that are not UTF-8 and leading dashes: listed, found,
    // stepped to, dropped and played.
    void anyName()
    {
        QTemporaryDir names;
        // The toolkit cannot remove names it cannot spell, so the test does, however it ends.
        const auto tidy = qScopeGuard([&names] { emptyfolder(names.path()); });
        const QList<std::pair<QByteArray, QColor>> pictures = {
            { "-dash.png", Qt::darkYellow },
            { ":colon.png", Qt::magenta },
            { "a b.png", Qt::green },
            { "bad \xff\xfe.png", Qt::blue },
            { "latin1 \xe9t\xe9.png", Qt::yellow },
            { "new\nline.png", Qt::darkGreen },
            { "\xc3\xbc"
              "ber.png",
                Qt::cyan },
            // U+1F4F7 is held as two halves, the second of which looks like a stray byte's.
            { "\xf0\x9f\x93\xb7 camera.png", Qt::darkBlue },
        };
        for (const auto &[name, colour] : pictures) {
            writebytes(names.path(), name, encode(filled(QSize(40, 30), colour), "PNG"));
            QCOMPARE(tonative(fromnative(name)), name);
        }
        QFile gif(animation(dir.path(), "anim.gif"));
        QVERIFY(gif.open(QIODevice::ReadOnly));
        writebytes(names.path(), "anim \xe9.gif", gif.readAll());

        const QString bad = argname(
            QByteArray(QFile::encodeName(names.path()) + "/bad \xff\xfe.png").constData());
        QVERIFY(named(bad));
        auto window = viewer(bad);
        QCOMPARE(centre(), QColor(Qt::blue));
        listed();
        QCOMPARE(files.size(), 9);
        QCOMPARE(files.mid(2, 3),
            QStringList({ "a b.png", argname("anim \xe9.gif"), argname("bad \xff\xfe.png") }));

        // Every entry opens by stepping: from the first, each colour once, and the GIF's red.
        for (int i = 0; i < files.size(); ++i)
            window->backward();
        QList<QRgb> seen = { centre().rgb() };
        for (int i = 1; i < files.size(); ++i) {
            window->forward();
            seen << centre().rgb();
        }
        QList<QRgb> expected = { QColor(Qt::red).rgb() };
        for (const auto &entry : pictures)
            expected << entry.second.rgb();
        std::sort(seen.begin(), seen.end());
        std::sort(expected.begin(), expected.end());
        QCOMPARE(seen, expected);

        // A file manager sends such names percent-encoded, byte for byte.
        drop(window.get(), { urlof(names.path(), "latin1 \xe9t\xe9.png") });
        QCOMPARE(centre(), QColor(Qt::yellow));
        window->backward();
        QCOMPARE(centre(), QColor(Qt::blue));
        drop(window.get(), { urlof(names.path(), "anim \xe9.gif") });
        QVERIFY(label->movie());
        QTRY_VERIFY(!label->movie()->currentPixmap().isNull());
        drop(window.get(), { QUrl::fromLocalFile(names.filePath("-dash.png")) });
        QCOMPARE(centre(), QColor(Qt::darkYellow));
        drop(window.get(), { urlof(names.path(), "\xf0\x9f\x93\xb7 camera.png") });
        QCOMPARE(centre(), QColor(Qt::darkBlue));
    }
};

QTEST_MAIN(tst_pictures)
#include "tst_pictures.moc"
