// A reader built for the tests alone, never installed: a file that starts "PORVANE-ACT " names
// what a decoder taken over by a hostile picture would try, and the reader tries it as it decodes.
// Where the act succeeds the file decodes (to a picture of 4 x 4 pixels), so that a load that
// fails shows that the act failed too.
//   read PATH     reads a file          create PATH   creates a file
//   connect PORT  connects to a port    unix PATH     connects to a local socket
//   run PATH      starts a program that creates the file
//   signal PID    signals a process     trace PID     traces a process
//   limits        raises its own limits
//   crash, abort, loop, allocate

#include <QFile>
#include <QImage>
#include <QImageIOPlugin>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

const QByteArray signature = "PORVANE-ACT ";

bool readsecret(const QByteArray &path)
{
    QFile secret(QString::fromLocal8Bit(path));
    return secret.open(QIODevice::ReadOnly) && !secret.readAll().isEmpty();
}

bool create(const QByteArray &path)
{
    const int made = ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    return made >= 0 && ::write(made, "taken", 5) == 5;
}

bool reach(int family, const sockaddr *address, socklen_t length)
{
    const int socket = ::socket(family, SOCK_STREAM, 0);
    return socket >= 0 && ::connect(socket, address, length) == 0
        && ::send(socket, "taken", 5, MSG_NOSIGNAL) == 5;
}

bool connectto(const QByteArray &port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port.toUInt()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return reach(AF_INET, reinterpret_cast<sockaddr *>(&address), sizeof address);
}

bool connectlocal(const QByteArray &path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
    return reach(AF_UNIX, reinterpret_cast<sockaddr *>(&address), sizeof address);
}

// Starts a shell that leaves a mark, as a process of its own, or else in place of this one.
bool run(const QByteArray &mark)
{
    const QByteArray command = "echo taken > '" + mark + "'";
    char shell[] = "/bin/sh", flag[] = "-c";
    char *arguments[] = { shell, flag, const_cast<char *>(command.constData()), nullptr };
    pid_t child = -1;
    if (posix_spawn(&child, shell, nullptr, nullptr, arguments, environ) == 0) {
        ::waitpid(child, nullptr, 0);
        return QFile::exists(QString::fromLocal8Bit(mark));
    }
    ::execve(shell, arguments, environ);
    return false;
}

bool raiselimits()
{
    const rlimit unlimited { RLIM_INFINITY, RLIM_INFINITY };
    return ::setrlimit(RLIMIT_AS, &unlimited) == 0 || ::setrlimit(RLIMIT_CORE, &unlimited) == 0;
}

[[noreturn]] void allocate()
{
    std::vector<char *> held;
    for (;;) {
        auto *block = static_cast<char *>(std::malloc(64 << 20));
        if (!block)
            std::abort();
        std::memset(block, 1, 64 << 20);
        held.push_back(block);
    }
}

bool act(const QByteArray &what, const QByteArray &argument)
{
    if (what == "read")
        return readsecret(argument);
    if (what == "create")
        return create(argument);
    if (what == "connect")
        return connectto(argument);
    if (what == "unix")
        return connectlocal(argument);
    if (what == "run")
        return run(argument);
    if (what == "signal")
        return ::kill(pid_t(argument.toInt()), SIGUSR1) == 0;
    if (what == "trace")
        return ::ptrace(PTRACE_ATTACH, pid_t(argument.toInt()), nullptr, nullptr) == 0;
    if (what == "limits")
        return raiselimits();
    if (what == "crash")
        std::raise(SIGSEGV);
    if (what == "abort")
        std::abort();
    if (what == "loop")
        for (volatile bool spinning = true; spinning;) { }
    if (what == "allocate")
        allocate();
    return false;
}

class actshandler : public QImageIOHandler
{
public:
    bool canRead() const override { return device() && device()->peek(12) == signature; }
    bool read(QImage *image) override
    {
        const QList<QByteArray> words = device()->readLine(4096).mid(12).trimmed().split(' ');
        if (!act(words.value(0), words.value(1)))
            return false;
        *image = QImage(4, 4, QImage::Format_RGB32);
        image->fill(Qt::green);
        return true;
    }
};

} // namespace

class actsplugin : public QImageIOPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "acts.json")

public:
    Capabilities capabilities(QIODevice *device, const QByteArray &format) const override
    {
        return format == "acts" || (device && device->peek(12) == signature) ? CanRead
                                                                             : Capabilities();
    }
    QImageIOHandler *create(QIODevice *device, const QByteArray &) const override
    {
        auto *handler = new actshandler;
        handler->setDevice(device);
        return handler;
    }
};

#include "acts.moc"
