#include "decoder.h"

#include "channel.h"
#include "decode.h"
#include "formats/drawing.h"
#include "formats/kinds.h"
#include "lock.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImageReader>
#include <QLibraryInfo>
#include <QPluginLoader>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <memory>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

extern char **environ;

// The C library's header of these years declares its functions without C linkage.
extern "C" {
#include <sys/pidfd.h>
}

namespace decoder {

namespace {

// A decoder's channel to the window, where it finds it once forked.
constexpr int channelfd = 3;

// What a decoder may read: the libraries of its readers, loaded on first use, and the fonts a
// drawing's text is drawn in; nothing of the user's.
QStringList readable(const QString &readers)
{
    return { readers, QLibraryInfo::path(QLibraryInfo::PluginsPath),
        QLibraryInfo::path(QLibraryInfo::LibrariesPath), QStringLiteral("/usr/lib"),
        QStringLiteral("/lib"), QStringLiteral("/usr/lib64"), QStringLiteral("/lib64"),
        QStringLiteral("/usr/local/lib"), QStringLiteral("/etc/ld.so.cache"),
        QStringLiteral("/etc/fonts"), QStringLiteral("/usr/share/fonts"),
        QStringLiteral("/usr/local/share/fonts"), QStringLiteral("/var/cache/fontconfig") };
}

// What every decoder of a process sets up alike, made before the first is forked: each then
// inherits it rather than working it out again.
struct prepared
{
    QString readers;
    QStringList readable;
};

const prepared &prepare(const QString &readers)
{
    static const prepared made = [&] {
        findreaders(readers);
        return prepared { readers, readable(readers) };
    }();
    return made;
}

// Text in a drawing needs the toolkit's fonts, which need an application of its own, made when
// the first drawing comes.
void drawable()
{
    if (QGuiApplication::instance())
        return;
    static int count = 3;
    static char name[] = "porvane-decoder", platform[] = "-platform", offscreen[] = "offscreen";
    static char *arguments[] = { name, platform, offscreen, nullptr };
    new QGuiApplication(count, arguments);
}

// Where nothing can be opened once locked, every reader is loaded before.
void loadeverything(const QString &readers)
{
    drawable();
    for (const QString &folder : { readers + QLatin1String("/readers/imageformats"),
             QLibraryInfo::path(QLibraryInfo::PluginsPath) + QLatin1String("/imageformats") })
        for (const QString &plugin : QDir(folder).entryList(QDir::Files))
            QPluginLoader(QDir(folder).filePath(plugin)).load();
    QImageReader::supportedImageFormats();
}

bool screenformat(qint32 format)
{
    return format == QImage::Format_RGB32 || format == QImage::Format_ARGB32_Premultiplied
        || format == QImage::Format_RGBX8888 || format == QImage::Format_RGBA8888_Premultiplied
        || format == QImage::Format_RGB16 || format == QImage::Format_ARGB32;
}

void describe(channel::reply &answer, const QImage &image)
{
    answer.width = image.width();
    answer.height = image.height();
    answer.stride = int(image.bytesPerLine());
    answer.format = image.format();
}

void answer(const channel::reply &said, const QImage &image)
{
    const int pixels = image.isNull() ? -1 : channel::pixelsout(image);
    channel::reply sent = said;
    sent.ok = sent.ok && (image.isNull() || pixels >= 0);
    channel::send(channelfd, &sent, sizeof sent, pixels);
    if (pixels >= 0)
        ::close(pixels);
}

void still(const channel::request &asked, int descriptor)
{
    QFile input;
    // The file is read from its first byte, wherever the window's handle on it stands.
    if (!input.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)
        || !input.seek(0)) {
        if (!input.isOpen())
            ::close(descriptor);
        return answer({}, QImage());
    }
    if (drawing::claimed(input))
        drawable();
    const decoded made = decodeopen(input, QSize(asked.width, asked.height), asked.budget,
        screenformat(asked.opaque) ? QImage::Format(asked.opaque) : QImage::Format_RGB32,
        screenformat(asked.alpha) ? QImage::Format(asked.alpha)
                                  : QImage::Format_ARGB32_Premultiplied);
    channel::reply said;
    said.ok = !made.image.isNull();
    describe(said, made.image);
    said.wholewidth = made.of.whole.width();
    said.wholeheight = made.of.whole.height();
    said.drawn = made.of.drawn;
    said.finest = made.of.finest;
    answer(said, made.image);
}

// An animation's frames, read in turn by its format's own reader; a frame asked for out of turn
// is reached from the first byte again, each frame before it read, since a frame is drawn over
// those before it.
class frames
{
public:
    bool open(int descriptor);
    // Back to the first frame.
    bool restart();
    void tell(channel::reply &said) const;
    QImage read(int number, QSize scaled, channel::reply &said);

private:
    bool seek(int number);

    QFile file;
    QByteArray format;
    std::unique_ptr<QImageReader> reader;
    int at = 0; // the frame the reader reads next
};

bool frames::open(int descriptor)
{
    reader.reset();
    file.close();
    format.clear();
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return false;
    }
    return restart();
}

// The file's format by its first bytes, else by asking every reader; never a drawing, which only
// a still's decode reads, once it has checked it.
bool frames::restart()
{
    reader.reset();
    at = 0;
    if (!file.isOpen() || !file.seek(0))
        return false;
    if (format.isEmpty()) {
        format = formatof(file);
        if (format.isEmpty())
            format = QImageReader::imageFormat(&file);
        if (format.isEmpty() || format == "svg" || format == "svgz")
            format = "gif";
        if (!file.seek(0))
            return false;
    }
    reader = std::make_unique<QImageReader>(&file, format);
    reader->setAutoDetectImageFormat(false);
    return true;
}

bool frames::seek(int number)
{
    if (reader && at == number)
        return true;
    if (!restart())
        return false;
    for (; at < number; ++at)
        if (reader->read().isNull())
            return false;
    return true;
}

void frames::tell(channel::reply &said) const
{
    said.more = reader && reader->canRead();
    said.count = reader ? reader->imageCount() : 0;
    said.loops = reader ? reader->loopCount() : 0;
}

// A frame at the size shown, in the layout the screen's pixmaps take without a copy.
QImage frames::read(int number, QSize scaled, channel::reply &said)
{
    if (number < 0 || !seek(number))
        return QImage();
    QImage image = reader->read();
    ++at;
    if (image.isNull())
        return image;
    said.delay = reader->nextImageDelay();
    if (scaled.isValid() && !scaled.isEmpty() && scaled != image.size())
        image = image.scaled(scaled, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    image.convertTo(
        image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32);
    describe(said, image);
    said.ok = 1;
    return image;
}

// A frame of the animation on the descriptor sent with the request, or the one open; number -1
// only opens it, or goes back to its first frame.
void frame(frames &movie, const channel::request &asked, int descriptor)
{
    channel::reply said;
    if (descriptor >= 0 ? !movie.open(descriptor) : asked.number < 0 && !movie.restart())
        return answer(said, QImage());
    const QImage image = asked.number < 0
        ? QImage()
        : movie.read(asked.number, QSize(asked.width, asked.height), said);
    said.ok = asked.number < 0 || !image.isNull();
    movie.tell(said);
    answer(said, image);
}

[[noreturn]] void serve()
{
    frames movie;
    for (;;) {
        channel::request asked;
        int descriptor;
        if (!channel::receive(channelfd, &asked, sizeof asked, &descriptor))
            std::_Exit(0);
        if (asked.kind == channel::still && descriptor >= 0)
            still(asked, descriptor);
        else if (asked.kind == channel::frame)
            frame(movie, asked, descriptor);
        else if (descriptor >= 0)
            ::close(descriptor);
    }
}

// Nothing but the channel stays open: the standard streams lead nowhere (the sanitizers keep the
// error stream to report on).
void closeeverything(int socket)
{
    if (socket != channelfd) {
        ::dup2(socket, channelfd);
        ::close(socket);
    }
    ::close_range(channelfd + 1, ~0U, 0);
    const int nowhere = ::open("/dev/null", O_RDWR | O_CLOEXEC);
#if defined(__SANITIZE_ADDRESS__)
    constexpr int streams = 2;
#else
    constexpr int streams = 3;
#endif
    for (int stream = 0; stream < streams; ++stream)
        ::dup2(nowhere, stream);
    ::close(nowhere);
}

void forgetsession()
{
    std::vector<char *> keep;
    for (char **entry = environ; entry && *entry; ++entry)
        if (kept(*entry))
            keep.push_back(*entry);
    ::clearenv();
    for (char *entry : keep)
        ::putenv(entry);
}

// A decoder dies with the process that forked it: the window, or a spawner that lives as long as
// the window.
[[noreturn]] void become(int socket, pid_t parent, const prepared &set)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        std::_Exit(0);
    std::signal(SIGCHLD, SIG_DFL);
    closeeverything(socket);
    forgetsession();
    // Pixels and rows are given back to the system once freed, not kept in the heap for the next
    // picture: the allocator would otherwise raise its threshold for that after the first.
    ::mallopt(M_MMAP_THRESHOLD, 128 << 10);
    channel::sharepixels();
    if (!lock::confines())
        loadeverything(set.readers);
    lock::lockdown(set.readable);
    // While the window starts, before the first picture comes.
    indexreaders();
    serve();
}

// Forks a decoder on its end of a channel, closing in it the caller's own socket; a descriptor
// of its process, or -1.
int forkone(int theirs, int own, const prepared &set)
{
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(own);
        become(theirs, parent, set);
    }
    return child > 0 ? ::pidfd_open(child, 0) : -1;
}

} // namespace

bool kept(const char *entry)
{
    for (const char *sanitizer : { "ASAN_", "LSAN_", "UBSAN_" })
        if (std::strncmp(entry, sanitizer, std::strlen(sanitizer)) == 0)
            return true;
    return false;
}

forked forkdecoder(const QString &readers)
{
    const prepared &set = prepare(readers);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return {};
    forked made;
    made.process = forkone(ends[1], ends[0], set);
    ::close(ends[1]);
    if (made.process >= 0) {
        made.socket = ends[0];
        return made;
    }
    ::close(ends[0]);
    return {};
}

void spawn(int socket, const QString &readers)
{
    // Decoders that end are reaped by the kernel; the window knows them by their descriptors.
    std::signal(SIGCHLD, SIG_IGN);
    const prepared &set = prepare(readers);
    // Once here, for every decoder forked after.
    indexreaders();
    for (;;) {
        channel::request asked;
        int decoder;
        if (!channel::receive(socket, &asked, sizeof asked, &decoder))
            std::_Exit(0);
        int process = -1;
        if (asked.kind == channel::spawn && decoder >= 0)
            process = forkone(decoder, socket, set);
        if (decoder >= 0)
            ::close(decoder);
        channel::reply said;
        said.ok = process >= 0;
        channel::send(socket, &said, sizeof said, process);
        if (process >= 0)
            ::close(process);
    }
}

} // namespace decoder
