// Measures a picture viewer as a user meets it, in a running X server:
//   bench pictures DIR                     makes the pictures the measurements use
//   bench shown COLOUR -- VIEWER ARGS...   ms from exec until COLOUR shows at the screen's centre,
//                                          then, once the viewer is idle, its peak memory in KiB
//                                          and the number of shared objects it has mapped
// A viewer is all its processes: the CPU of each, and the peak memory of each, summed.
//   bench steps N KEY COLOUR COLOUR -- VIEWER ARGS...
//                                          presses KEY N times; per step: median ms from the key
//                                          to the next picture (colours alternate), and the
//                                          viewer's CPU ms (its own threads, until it is idle)
//   bench held N KEY RATE COLOUR -- VIEWER ARGS...
//                                          once COLOUR shows, presses KEY N times, RATE a second,
//                                          as a held key repeats: the viewer's CPU ms from the
//                                          first press until it is idle, the ms it still worked
//                                          after the last press, and its peak memory in KiB
//   bench plays SECONDS COLOUR COLOUR -- VIEWER ARGS...
//                                          once an animation whose frames alternate the two
//                                          colours shows and has played two seconds: over SECONDS,
//                                          the viewer's CPU seconds a second, the frames it showed
//                                          a second, and its peak memory in KiB
// Every picture carries a solid block of one colour at its centre, so the moment it is drawn can
// be seen from the screen. Colours are written RRGGBB.

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QProcess>
#include <QSet>
#include <QThread>

#include "chunks.h"
#include "writers.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Light that varies over a picture, with grain of up to `grain` levels each way (a power of two)
// from a seeded generator, and the marker block at its centre.
template<typename Light>
QImage painted(int width, int height, QRgb marker, quint32 seed, int grain, Light light)
{
    QImage image(width, height, QImage::Format_RGB32);
    quint32 state = seed * 2654435761u + 1;
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const int noise = int(state & quint32(2 * grain - 1)) - grain;
            const auto [r, g, b] = light(x, y, noise);
            line[x] = qRgb(qBound(0, r, 255), qBound(0, g, 255), qBound(0, b, 255));
        }
    }
    const QRect block(width * 2 / 5, height * 2 / 5, width / 5, height / 5);
    for (int y = block.top(); y <= block.bottom(); ++y)
        std::fill_n(
            reinterpret_cast<QRgb *>(image.scanLine(y)) + block.left(), block.width(), marker);
    return image;
}

// A photograph-like picture: smooth light with fine grain.
QImage photo(int width, int height, QRgb marker, quint32 seed)
{
    return painted(width, height, marker, seed, 16, [&](int x, int y, int grain) {
        return std::array { 40 + 160 * x / width + grain, 60 + 120 * y / height + grain,
            150 - 100 * (x + y) / (width + height) + grain };
    });
}

// A picture as a camera takes it: smooth light and soft shapes with a little sensor noise, which
// compresses to a few megabytes.
QImage camera(int width, int height, QRgb marker, quint32 seed)
{
    return painted(width, height, marker, seed, 4, [&](int x, int y, int grain) {
        const double u = double(x) / width, v = double(y) / height;
        const int wave = int(30 * std::sin(u * 17 + v * 5) * std::cos(v * 11 - u * 3));
        return std::array { 70 + int(120 * u) + wave + grain, 90 + int(90 * v) - wave / 2 + grain,
            160 - int(90 * (u + v) / 2) + wave / 3 + grain };
    });
}

// A screenshot: black text on white, lines of 22 pixels, strokes one and two pixels wide, and
// rules one pixel wide three and four pixels apart, as a code editor or a diagram shows them.
QImage screenshot(int width, int height, QRgb marker)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::white);
    quint32 state = 12345;
    const auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    for (int top = 10; top + 22 <= height; top += 22)
        for (int left = 10; left + 11 <= width / 2; left += 11) {
            if (next() % 7 == 0)
                continue; // a space
            // A letter: three to five strokes in a cell of 9 x 14.
            for (int strokes = 3 + int(next() % 3); strokes > 0; --strokes) {
                const bool upright = next() % 2;
                const int x = left + int(next() % 8), y = top + 4 + int(next() % 13);
                const int length = 3 + int(next() % 8), weight = 1 + int(next() % 2);
                for (int i = 0; i < length; ++i)
                    for (int w = 0; w < weight; ++w) {
                        const int px = upright ? x + w : x + i, py = upright ? y - i : y + w;
                        if (px < width && py >= 0 && py < height)
                            image.setPixel(px, py, qRgb(0, 0, 0));
                    }
            }
        }
    for (int y = 0; y < height; ++y)
        for (int x = width / 2; x < width; ++x)
            if ((x < width * 3 / 4 && x % 3 == 0) || (x >= width * 3 / 4 && y % 4 == 0))
                image.setPixel(x, y, qRgb(0, 0, 0));
    const QRect block(width * 2 / 5, height * 2 / 5, width / 5, height / 5);
    for (int y = block.top(); y <= block.bottom(); ++y)
        std::fill_n(
            reinterpret_cast<QRgb *>(image.scanLine(y)) + block.left(), block.width(), marker);
    return image;
}

bool write(const QImage &image, const QString &file, int quality = -1)
{
    if (QFile::exists(file))
        return true;
    QImageWriter writer(file);
    writer.setQuality(quality);
    if (writer.write(image))
        return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
    return false;
}

const QRgb colours[] = { 0xffff00ff, 0xff00ffff };

bool crowd(const QString &picture, const QString &folder, int others)
{
    if (QFile::exists(folder + "/m.png"))
        return true;
    QDir().mkpath(folder);
    const QByteArray empty = QFile::encodeName(folder + "/empty");
    for (int i = 0; i < others; ++i) {
        // A file takes at most 65,000 links.
        const QByteArray target = empty + QByteArray::number(i / 60000);
        QFile(QFile::decodeName(target)).open(QIODevice::Append);
        const QByteArray name
            = QFile::encodeName(folder) + (i % 2 ? "/z" : "/a") + QByteArray::number(i) + ".png";
        if (::link(target.constData(), name.constData()) != 0 && errno != EEXIST)
            return false;
    }
    return QFile::copy(picture, folder + "/m.png");
}

// An animation of `frames` frames of light moving over a picture, as a clip turned into a GIF is,
// its marker alternating the two colours, made by ImageMagick with its own palette and dithering.
bool clip(const QString &file, int width, int height, int frames, int delay)
{
    if (QFile::exists(file))
        return true;
    QDir work(file + ".frames");
    work.mkpath(".");
    QStringList args { "-delay", QString::number(delay / 10), "-loop", "0" };
    for (int f = 0; f < frames; ++f) {
        const double phase = 2 * M_PI * f / frames;
        const QImage image
            = painted(width, height, colours[f % 2], 20 + f, 2, [&](int x, int y, int grain) {
                  const double u = double(x) / width, v = double(y) / height;
                  const int wave = int(
                      40 * std::sin(u * 17 + v * 5 + phase) * std::cos(v * 11 - u * 3 + phase));
                  return std::array { 70 + int(120 * u) + wave + grain,
                      90 + int(90 * v) - wave / 2 + grain,
                      160 - int(90 * (u + v) / 2) + wave / 3 + grain };
              });
        const QString name = work.filePath(QString("%1.ppm").arg(f, 3, 10, QChar('0')));
        if (!image.save(name, "PPM"))
            return false;
        args << name;
    }
    args << file;
    const bool made = QProcess::execute("convert", args) == 0;
    work.removeRecursively();
    if (!made)
        std::fprintf(stderr, "cannot make %s with ImageMagick's convert\n", qPrintable(file));
    return made;
}

// Animations as users keep them: a clip, a wide clip, and a small loop.
bool animations(const QString &dir)
{
    return clip(dir + "/clip.gif", 960, 540, 48, 40) && clip(dir + "/wide.gif", 1920, 1080, 24, 50)
        && clip(dir + "/loop.gif", 320, 240, 12, 100);
}

// A scanned page of text: lines of words in black strokes two to three pixels wide on white, as a
// fax or a scanner at 300 dpi makes them.
QImage document(int width, int height)
{
    QImage page(width, height, QImage::Format_RGB32);
    page.fill(Qt::white);
    quint32 seed = 7;
    const auto next = [&seed](int below) {
        seed = seed * 1664525u + 1013904223u;
        return int(seed >> 8) % below;
    };
    for (int top = 200; top + 40 < height - 200; top += 50)
        for (int x = 200; x < width - 300;) {
            const int letters = 2 + next(8);
            for (int l = 0; l < letters; ++l, x += 18) {
                const int tall = next(3) == 0 ? 36 : 26;
                for (int y = top + 36 - tall; y < top + 36; ++y)
                    for (int dx = 0; dx < 3; ++dx) {
                        page.setPixel(x + dx, y, qRgb(0, 0, 0));
                        page.setPixel(x + 9 + dx - (y - top) / 8, y, qRgb(0, 0, 0));
                    }
                for (int dx = 0; dx < 12; ++dx)
                    page.setPixel(x + dx, top + 36 - tall / 2 + next(2), qRgb(0, 0, 0));
            }
            x += 30;
        }
    return page;
}

int pictures(const QString &dir)
{
    QDir().mkpath(dir + "/steps");
    QDir().mkpath(dir + "/many");
    bool ok = write(photo(800, 600, colours[0], 1), dir + "/small.png")
        && write(photo(6000, 4000, colours[0], 2), dir + "/photo.jpg", 90)
        && write(camera(6000, 4000, colours[0], 3), dir + "/camera.jpg", 85)
        && write(screenshot(3840, 2160, colours[0]), dir + "/screenshot.png")
        && write(photo(3840, 2160, colours[0], 7), dir + "/photo.png");
    if (ok && !QFile::exists(dir + "/vast.jpg"))
        ok = write(camera(24000, 16000, colours[0], 4), dir + "/vast.jpg", 85);
    for (int i = 0; ok && i < 12; ++i)
        ok = write(photo(4000, 3000, colours[i % 2], 10 + i),
            dir + QString("/steps/%1.jpg").arg(i, 2, 10, QChar('0')), 90);
    for (int i = 0; ok && i < 20000; ++i) {
        QImage tiny(64, 48, QImage::Format_RGB32);
        tiny.fill(colours[i % 2]);
        ok = write(tiny, dir + QString("/many/%1.png").arg(i, 5, 10, QChar('0')));
    }
    // The formats beyond JPEG, as a phone, a web page, a camera or an archive writes them: 12 MP
    // HEIC, AVIF and WebP at a phone's and a web page's quality, 24 MP JPEG XL, JPEG 2000, TIFF and
    // BMP.
    const QImage twelve = photo(4032, 3024, colours[0], 5);
    const QImage twentyfour = photo(6000, 4000, colours[0], 6);
    const QList<std::pair<QString, std::function<QByteArray()>>> formats = {
        { "/photo.heic", [&] { return writers::heif(twelve, false, 50); } },
        { "/photo.avif", [&] { return writers::heif(twelve, true, 50); } },
        { "/photo.webp", [&] { return encode(twelve, "WEBP", 80); } },
        { "/photo.jxl", [&] { return writers::jxl(twentyfour, 1); } },
        { "/photo.jp2", [&] { return writers::jp2(twentyfour, false, 6, 10); } },
        { "/photo.tiff", [&] { return encode(twentyfour, "TIFF"); } },
        { "/lzw.tiff", [&] { return encode(twentyfour, "TIFF", -1, 1); } },
        { "/photo.bmp", [&] { return encode(twentyfour, "BMP"); } },
        { "/document.tiff",
            [] {
                return writers::tiff(document(2548, 3296),
                    { 1, PHOTOMETRIC_MINISWHITE, false, false, COMPRESSION_CCITTFAX4 });
            } },
    };
    for (const auto &[name, made] : formats) {
        QFile out(dir + name);
        if (!ok || out.exists())
            continue;
        const QByteArray bytes = made();
        ok = !bytes.isEmpty() && out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size();
        if (!ok)
            std::fprintf(stderr, "cannot write %s\n", qPrintable(out.fileName()));
    }
    // The animations; the small picture alone in a folder, and among 100,000 and 1,000,000 other
    // names (links to one empty file, quick to make), half before it and half after.
    ok = ok && animations(dir) && crowd(dir + "/small.png", dir + "/alone", 0)
        && crowd(dir + "/small.png", dir + "/names100k", 100000)
        && crowd(dir + "/small.png", dir + "/names1m", 1000000);
    if (ok && !QFile::exists(dir + "/huge.png")) {
        QImage huge(16000, 16000, QImage::Format_RGB32);
        for (int y = 0; y < huge.height(); ++y) {
            auto *line = reinterpret_cast<QRgb *>(huge.scanLine(y));
            for (int x = 0; x < huge.width(); ++x)
                line[x] = qRgb(x * 255 / 16000, y * 255 / 16000, (x ^ y) & 255);
        }
        for (int y = 6400; y < 9600; ++y)
            std::fill_n(reinterpret_cast<QRgb *>(huge.scanLine(y)) + 6400, 3200, colours[0]);
        QImageWriter writer(dir + "/huge.png");
        writer.setCompression(1);
        ok = writer.write(huge);
    }
    return ok ? 0 : 1;
}

Display *display = nullptr;
pid_t viewer = 0;

// Whether an 8 x 8 block at the centre of the screen has the colour.
bool showing(QRgb colour)
{
    const Screen *screen = DefaultScreenOfDisplay(display);
    XImage *shot = XGetImage(display, DefaultRootWindow(display), screen->width / 2 - 4,
        screen->height / 2 - 4, 8, 8, AllPlanes, ZPixmap);
    if (!shot)
        return false;
    bool all = true;
    for (int y = 0; y < 8 && all; ++y)
        for (int x = 0; x < 8 && all; ++x) {
            const unsigned long p = XGetPixel(shot, x, y);
            all = qAbs(int((p >> 16) & 255) - qRed(colour)) < 24
                && qAbs(int((p >> 8) & 255) - qGreen(colour)) < 24
                && qAbs(int(p & 255) - qBlue(colour)) < 24;
        }
    XDestroyImage(shot);
    return all;
}

// Waits until the colour shows; ms since the timer started, or -1 after a minute.
double waitshown(QRgb colour, const QElapsedTimer &timer)
{
    while (!showing(colour)) {
        if (timer.elapsed() > 30000)
            return -1;
        usleep(2000);
    }
    return timer.nsecsElapsed() / 1e6;
}

void launch(char **argv)
{
    viewer = fork();
    if (viewer == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
}

void finish()
{
    kill(viewer, SIGTERM);
    waitpid(viewer, nullptr, 0);
}

// The viewer's processes: the one started and every process it started, and theirs. A viewer's
// cost is that of them all.
QList<qint64> processes(qint64 of)
{
    QList<qint64> found { of };
    const QDir tasks(QString("/proc/%1/task").arg(of));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(tasks.filePath(task + "/children"));
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray &child : children.readAll().split(' '))
                if (child.toLongLong() > 0)
                    found << processes(child.toLongLong());
    }
    return found;
}

QList<qint64> processes()
{
    return processes(viewer);
}

// CPU time of all the viewer's threads, in ns.
qint64 cputime()
{
    qint64 total = 0;
    for (const qint64 process : processes()) {
        const QDir tasks(QString("/proc/%1/task").arg(process));
        for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile stat(tasks.filePath(task + "/schedstat"));
            if (stat.open(QIODevice::ReadOnly))
                total += stat.readAll().split(' ').value(0).toLongLong();
        }
    }
    return total;
}

// CPU time of the whole viewer, threads that have ended included, in s: coarser than cputime(),
// for measurements over seconds.
double processtime()
{
    double total = 0;
    for (const qint64 process : processes()) {
        QFile stat(QString("/proc/%1/stat").arg(process));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // Past the command's name, in parentheses: utime and stime are the 12th and 13th fields.
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        total += (fields.value(11).toLongLong() + fields.value(12).toLongLong())
            / double(sysconf(_SC_CLK_TCK));
    }
    return total;
}

// Waits until the viewer has used no CPU for 300 ms, or for 5 s at most: an animation playing is
// never idle.
void idle()
{
    QElapsedTimer waited;
    waited.start();
    for (qint64 last = -1, now = cputime(); now != last && waited.elapsed() < 5000;
         now = cputime()) {
        last = now;
        QThread::msleep(300);
    }
}

// The shared objects the viewer's processes have mapped: their libraries and the plugins loaded.
int mapped()
{
    QSet<QByteArray> objects;
    for (const qint64 process : processes()) {
        QFile maps(QString("/proc/%1/maps").arg(process));
        maps.open(QIODevice::ReadOnly);
        for (const QByteArray &line : maps.readAll().split('\n')) {
            const QByteArray file = line.mid(line.indexOf('/'));
            if (line.contains('/') && (file.endsWith(".so") || file.contains(".so.")))
                objects.insert(file);
        }
    }
    return int(objects.size());
}

// The peak memory of each of the viewer's processes, summed.
long peakmemory()
{
    long total = 0;
    for (const qint64 process : processes()) {
        QFile status(QString("/proc/%1/status").arg(process));
        status.open(QIODevice::ReadOnly);
        for (const QByteArray &line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                total += line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return total;
}

int shown(QRgb colour, char **command)
{
    QElapsedTimer timer;
    timer.start();
    launch(command);
    const double ms = waitshown(colour, timer);
    idle();
    std::printf("%.1f %ld %d\n", ms, peakmemory(), mapped());
    finish();
    return ms < 0;
}

int steps(int count, const char *key, const QRgb pair[2], char **command)
{
    QElapsedTimer timer;
    timer.start();
    launch(command);
    if (waitshown(pair[0], timer) < 0)
        return 1;
    idle();
    const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(key));
    QList<double> latencies;
    const qint64 before = cputime();
    for (int i = 1; i <= count; ++i) {
        timer.restart();
        XTestFakeKeyEvent(display, code, True, 0);
        XTestFakeKeyEvent(display, code, False, 0);
        XFlush(display);
        latencies << waitshown(pair[i % 2], timer);
        idle();
    }
    const double cpu = (cputime() - before) / 1e6 / count;
    std::sort(latencies.begin(), latencies.end());
    std::printf("%.1f %.1f\n", latencies[count / 2], cpu);
    finish();
    return latencies.first() < 0;
}

// Presses the key as a held key repeats it, then waits until the viewer is idle.
int held(int count, const char *key, int rate, QRgb colour, char **command)
{
    QElapsedTimer timer;
    timer.start();
    launch(command);
    if (waitshown(colour, timer) < 0)
        return 1;
    idle();
    const KeyCode code = XKeysymToKeycode(display, XStringToKeysym(key));
    const qint64 before = cputime();
    timer.restart();
    for (int i = 0; i < count; ++i) {
        XTestFakeKeyEvent(display, code, True, 0);
        XTestFakeKeyEvent(display, code, False, 0);
        XFlush(display);
        const qint64 due = qint64(i + 1) * 1000 / rate;
        QThread::msleep(qMax<qint64>(0, due - timer.elapsed()));
    }
    const qint64 last = timer.elapsed();
    // Working after the last press: until the CPU time last grew, seen every 10 ms, as long as it
    // has not stood still for half a second.
    qint64 busyuntil = last;
    for (qint64 seen = cputime(), stillsince = timer.elapsed();
         timer.elapsed() - stillsince < 500;) {
        QThread::msleep(10);
        const qint64 now = cputime();
        if (now != seen) {
            seen = now;
            busyuntil = stillsince = timer.elapsed();
        }
    }
    std::printf("%.1f %lld %ld\n", (cputime() - before) / 1e6,
        qMax<qint64>(0, busyuntil - last - 10), peakmemory());
    finish();
    return 0;
}

// Which of the two colours shows at the screen's centre: 0, 1, or -1 for neither.
int showingof(const QRgb pair[2])
{
    return showing(pair[0]) ? 0 : showing(pair[1]) ? 1 : -1;
}

int plays(int seconds, const QRgb pair[2], char **command)
{
    QElapsedTimer timer;
    timer.start();
    launch(command);
    while (showingof(pair) < 0 && timer.elapsed() < 30000)
        usleep(2000);
    if (showingof(pair) < 0)
        return 1;
    QThread::msleep(2000);
    const double before = processtime();
    timer.restart();
    int frames = 0;
    for (int last = showingof(pair); timer.elapsed() < seconds * 1000; usleep(1000)) {
        const int now = showingof(pair);
        frames += now >= 0 && now != last;
        last = now >= 0 ? now : last;
    }
    const double elapsed = timer.nsecsElapsed() / 1e9;
    std::printf(
        "%.4f %.2f %ld\n", (processtime() - before) / elapsed, frames / elapsed, peakmemory());
    finish();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int dashes = args.indexOf("--");
    if (args.value(1) == "pictures" && argc == 3)
        return pictures(args[2]);
    if (dashes < 0 || !(display = XOpenDisplay(nullptr))) {
        std::fprintf(stderr,
            "usage: bench pictures DIR | shown COLOUR -- VIEWER... | steps N KEY "
            "COLOUR COLOUR -- VIEWER... | held N KEY RATE COLOUR -- VIEWER... | plays SECONDS "
            "COLOUR COLOUR -- VIEWER...   (in an X "
            "server)\n");
        return 2;
    }
    auto colour = [](const QString &text) { return QRgb(0xff000000 | text.toUInt(nullptr, 16)); };
    if (args[1] == "shown")
        return shown(colour(args[2]), argv + dashes + 1);
    const QRgb pair[2] = { colour(args.value(3)), colour(args.value(4)) };
    if (args[1] == "plays")
        return plays(args[2].toInt(), pair, argv + dashes + 1);
    if (args[1] == "held")
        return held(args[2].toInt(), argv[3], args[4].toInt(), colour(args[5]), argv + dashes + 1);
    const QRgb steppair[2] = { colour(args[4]), colour(args[5]) };
    return steps(args[2].toInt(), argv[3], steppair, argv + dashes + 1);
}
