#include "remote.h"

#include "decoder.h"
#include "files.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

// The C library's header of these years declares its functions without C linkage.
extern "C" {
#include <sys/pidfd.h>
}
#include <vector>

extern char **environ;

namespace remote {

namespace {

// Decoders kept idle, one for each core, for the window and for decoding ahead.
constexpr std::size_t idlecount = 2;

// What the window holds of its decoders, made once and never let go: decoders kept idle may still
// be ended as the process leaves, after everything destroyed at exit.
struct pool
{
    std::mutex spawning; // the spawner, asked by one at a time
    int spawner = -1;
    pid_t spawnerprocess = -1; // a spawner started as a program of its own, reaped when it ends

    std::mutex keeping;
    std::vector<decoder> idle;
    std::vector<int> everyone; // the process descriptors of every decoder, to end them
};

pool &decoders()
{
    static pool *const all = new pool;
    return *all;
}

std::vector<char *> environment()
{
    std::vector<char *> kept;
    for (char **entry = environ; entry && *entry; ++entry)
        if (::decoder::kept(*entry))
            kept.push_back(*entry);
    kept.push_back(nullptr);
    return kept;
}

// The spawner as a program of its own, with nothing open but its socket and the standard streams.
void startspawner()
{
    if (decoders().spawnerprocess > 0)
        ::waitpid(decoders().spawnerprocess, nullptr, WNOHANG);
    decoders().spawnerprocess = -1;
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return;
    const int theirs = ::fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
    ::close(ends[1]);
    const QByteArray program = QFile::encodeName(readersfolder() + QLatin1String("/decoder"));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, theirs, 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    char *arguments[] = { const_cast<char *>(program.constData()), nullptr };
    std::vector<char *> variables = environment();
    pid_t child = -1;
    const bool started = theirs >= 0
        && posix_spawn(&child, program.constData(), &actions, nullptr, arguments, variables.data())
            == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (theirs >= 0)
        ::close(theirs);
    if (!started) {
        ::close(ends[0]);
        return;
    }
    decoders().spawnerprocess = child;
    decoders().spawner = ends[0];
}

void forget(int process)
{
    const std::lock_guard<std::mutex> held(decoders().keeping);
    decoders().everyone.erase(
        std::remove(decoders().everyone.begin(), decoders().everyone.end(), process),
        decoders().everyone.end());
}

bool ended(int process)
{
    pollfd exited { process, POLLIN, 0 };
    return ::poll(&exited, 1, 0) > 0;
}

// A decoder closes its channel only by dying, and the kernel closes it before the process is
// seen to have ended: either says it is gone.
bool dead(int socket, int process)
{
    pollfd closed { socket, 0, 0 };
    return (::poll(&closed, 1, 0) > 0 && (closed.revents & POLLHUP)) || ended(process);
}

// The picture's own size from a decoder, believed only within what any picture may be.
bool believable(const channel::reply &said)
{
    constexpr qint32 largest = 1 << 24;
    return said.wholewidth > 0 && said.wholeheight > 0 && said.wholewidth <= largest
        && said.wholeheight <= largest;
}

} // namespace

int descriptorof(QIODevice &input)
{
    auto *file = qobject_cast<QFile *>(&input);
    if (file && file->handle() >= 0)
        return ::dup(file->handle());
    const QByteArray bytes = input.readAll();
    const int memory = ::memfd_create("picture", MFD_CLOEXEC);
    if (memory >= 0
        && ::write(memory, bytes.constData(), std::size_t(bytes.size())) == bytes.size())
        return memory;
    if (memory >= 0)
        ::close(memory);
    return -1;
}

void start()
{
    // The window's own children, the first decoder and the spawner, are reaped by the kernel as
    // they end, whenever that is: the window knows them by their descriptors.
    std::signal(SIGCHLD, SIG_IGN);
    const ::decoder::forked first = ::decoder::forkdecoder(readersfolder());
    if (first.socket < 0)
        return;
    decoder made;
    made.socket = first.socket;
    made.process = first.process;
    const std::lock_guard<std::mutex> held(decoders().keeping);
    decoders().everyone.push_back(made.process);
    decoders().idle.push_back(std::move(made));
}

void stop()
{
    const std::lock_guard<std::mutex> held(decoders().keeping);
    for (const int process : decoders().everyone)
        ::pidfd_send_signal(process, SIGKILL, nullptr, 0);
}

decoder::decoder(decoder &&other) noexcept
    : socket(std::exchange(other.socket, -1))
    , process(std::exchange(other.process, -1))
{ }

decoder &decoder::operator=(decoder &&other) noexcept
{
    if (this != &other) {
        end();
        socket = std::exchange(other.socket, -1);
        process = std::exchange(other.process, -1);
    }
    return *this;
}

decoder::~decoder()
{
    end();
}

// Idle decoders that have died since are let go. A spawner that does not answer is replaced
// once.
decoder decoder::take(bool fresh)
{
    while (!fresh) {
        decoder ready;
        {
            const std::lock_guard<std::mutex> held(decoders().keeping);
            if (decoders().idle.empty())
                break;
            ready = std::move(decoders().idle.back());
            decoders().idle.pop_back();
        }
        if (!dead(ready.socket, ready.process))
            return ready;
    }
    const std::lock_guard<std::mutex> held(decoders().spawning);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (decoders().spawner < 0)
            startspawner();
        int ends[2];
        if (decoders().spawner < 0
            || ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
            return decoder();
        channel::request asked;
        asked.kind = channel::spawn;
        channel::reply said;
        decoder made;
        made.socket = ends[0];
        const bool sent = channel::send(decoders().spawner, &asked, sizeof asked, ends[1]);
        ::close(ends[1]);
        if (sent && channel::receive(decoders().spawner, &said, sizeof said, &made.process, boundms)
            && said.ok && made.process >= 0) {
            const std::lock_guard<std::mutex> listed(decoders().keeping);
            decoders().everyone.push_back(made.process);
            return made;
        }
        ::close(decoders().spawner);
        decoders().spawner = -1;
    }
    return decoder();
}

void decoder::give(decoder held)
{
    const std::lock_guard<std::mutex> kept(decoders().keeping);
    if (held.valid() && decoders().idle.size() < idlecount)
        decoders().idle.push_back(std::move(held));
}

bool decoder::ask(
    const channel::request &asked, int file, channel::reply &said, QImage &pixels, bool *gone)
{
    int sent = -1;
    if (valid() && channel::send(socket, &asked, sizeof asked, file)
        && channel::receive(socket, &said, sizeof said, &sent, boundms)) {
        pixels = sent >= 0 ? channel::pixelsin(sent, said) : QImage();
        return true;
    }
    if (gone)
        *gone = process >= 0 && dead(socket, process);
    end();
    return false;
}

void decoder::end()
{
    if (process >= 0) {
        ::pidfd_send_signal(process, SIGKILL, nullptr, 0);
        forget(process);
        ::close(process);
    }
    if (socket >= 0)
        ::close(socket);
    socket = process = -1;
}

} // namespace remote

// A decoder that dies over a picture is replaced and asked once more, should something else have
// ended it; one that overruns the bound is not. The second is a fresh one: whatever ended the
// first may have ended those idle beside it, which may not yet look it.
decoded decode(const QString &file, QSize box, qint64 budget)
{
    QFile input;
    // An empty file is no picture; no decoder is asked to say so.
    if (!openfile(file, input) || input.size() == 0)
        return {};
    const int descriptor = remote::descriptorof(input);
    channel::request asked;
    asked.width = box.width();
    asked.height = box.height();
    asked.budget = budget;
    asked.opaque = opaquepixmaps();
    asked.alpha = alphapixmaps();
    decoded made;
    for (int attempt = 0; descriptor >= 0 && attempt < 2; ++attempt) {
        remote::decoder decoder = remote::decoder::take(attempt > 0);
        channel::reply said;
        bool gone = false;
        if (decoder.ask(asked, descriptor, said, made.image, &gone)) {
            remote::decoder::give(std::move(decoder));
            if (!said.ok || made.image.isNull() || !remote::believable(said))
                made = {};
            made.of
                = { QSize(said.wholewidth, said.wholeheight), bool(said.drawn), bool(said.finest) };
            break;
        }
        if (!gone)
            break;
    }
    if (descriptor >= 0)
        ::close(descriptor);
    return made;
}
