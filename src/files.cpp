#include "files.h"

#include "names.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QtConcurrentRun>
#include <algorithm>
#include <vector>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The coarsest tick in which file systems stamp modification times (FAT's two seconds).
constexpr qint64 settlems = 2000;

// Paths into the embedded pictures, which only the toolkit can open. A file of the folder whose
// name starts with a colon is not one of them.
bool embedded(const QString &name)
{
    return name.startsWith(QLatin1String(":/"));
}

// What a name leads to, following links: nothing, a folder, a regular file or something else.
struct lookup
{
    bool exists = false;
    bool regular = false;
    bool folder = false;
    qint64 size = 0;
    qint64 modified = 0;
};

lookup look(const QString &name)
{
#ifdef Q_OS_UNIX
    if (!embedded(name)) {
        struct stat status;
        if (::stat(tonative(name).constData(), &status) != 0)
            return lookup();
        return { true, S_ISREG(status.st_mode), S_ISDIR(status.st_mode), qint64(status.st_size),
            qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000 };
    }
#endif
    const QFileInfo info(name);
    return { info.exists(), info.isFile(), info.isDir(), info.size(),
        info.exists() ? info.lastModified().toMSecsSinceEpoch() : 0 };
}

// The eight name patterns match without regard to case, so four suffixes test each name once.
bool ispicture(const QString &name)
{
    for (const char *suffix : { ".png", ".jpg", ".gif", ".jpeg" })
        if (name.endsWith(QLatin1String(suffix), Qt::CaseInsensitive))
            return true;
    return false;
}

// The pictures of a folder as the directory lists them by default: hidden entries and what is
// neither a file nor a folder (pipes, devices, broken links) left out, folders and links listed
// like files, ordered by their lower-cased names. The lower-cased name shares the name's
// characters when it is lower case already, as most are.
QStringList scan(const QString &folder)
{
    std::vector<std::pair<QString, QString>> found;
#ifdef Q_OS_UNIX
    if (DIR *entries = ::opendir(tonative(folder).constData())) {
        while (const dirent *e = ::readdir(entries)) {
            const QString name = fromnative(e->d_name);
            if (name.startsWith(QLatin1Char('.')) || !ispicture(name))
                continue;
            struct stat status;
            if (e->d_type != DT_REG && e->d_type != DT_DIR
                && (::fstatat(::dirfd(entries), e->d_name, &status, 0) != 0
                    || !(S_ISREG(status.st_mode) || S_ISDIR(status.st_mode))))
                continue;
            found.emplace_back(name.toLower(), name);
        }
        ::closedir(entries);
    }
#else
    for (QDirIterator it(folder, QDir::AllEntries); it.hasNext();) {
        it.next();
        const QString name = it.fileName();
        if (ispicture(name))
            found.emplace_back(name.toLower(), name);
    }
#endif
    std::sort(
        found.begin(), found.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList names;
    names.reserve(qsizetype(found.size()));
    for (auto &entry : found)
        names << std::move(entry.second);
    return names;
}

} // namespace

stamp stampof(const QString &name)
{
    const lookup now = look(name);
    if (!now.exists)
        return stamp();
    return { now.size, now.modified,
        QDateTime::currentMSecsSinceEpoch() - now.modified > settlems };
}

bool named(const QString &name)
{
    return look(name).exists;
}

// A pipe or a device named like a picture would never answer, or never end, and hold the viewer
// with it: it is opened without waiting and read only if it is a regular file.
bool openfile(const QString &name, QFile &file)
{
#ifdef Q_OS_UNIX
    if (!embedded(name)) {
        const int fd = ::open(tonative(name).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat status;
        if (fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode)
            && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            return true;
        if (fd >= 0)
            ::close(fd);
        return false;
    }
#endif
    file.setFileName(name);
    return look(name).regular && file.open(QIODevice::ReadOnly);
}

QString absolute(const QString &name)
{
    if (embedded(name) || QDir::isAbsolutePath(name))
        return QDir::cleanPath(name);
    return QDir::cleanPath(workingfolder() + QLatin1Char('/') + name);
}

QString workingfolder()
{
#ifdef Q_OS_UNIX
    QByteArray here(4096, Qt::Uninitialized);
    while (!::getcwd(here.data(), here.size())) {
        if (errno != ERANGE)
            return QStringLiteral(".");
        here.resize(here.size() * 2);
    }
    return fromnative(here.constData());
#else
    return QDir::currentPath();
#endif
}

void enter(const QString &folder)
{
#ifdef Q_OS_UNIX
    if (!embedded(folder) && ::chdir(tonative(folder).constData()) == 0)
        return;
#endif
    QDir::setCurrent(folder);
}

listing::listing()
{
    lister.setMaxThreadCount(1);
}

listing::~listing()
{
    lister.waitForDone();
}

void listing::begin(const QString &folder, std::function<void()> done)
{
    if (pending.isValid())
        pending.waitForFinished();
    coming = folder;
    comingseen = stampof(folder);
    pending = QtConcurrent::run(&lister, scan, folder);
    QObject::disconnect(&watcher, nullptr, nullptr, nullptr);
    QObject::connect(&watcher, &QFutureWatcherBase::finished, std::move(done));
    watcher.setFuture(pending);
}

const QStringList &listing::here()
{
    const QString now = workingfolder();
    if (pending.isValid()) {
        const QStringList listed = pending.result();
        pending = QFuture<QStringList>();
        if (coming == now) {
            names = listed;
            folder = coming;
            seen = comingseen;
            return names;
        }
    }
    const stamp current = stampof(now);
    if (now != folder || !seen.proves(current)) {
        names = scan(now);
        folder = now;
        seen = current;
    }
    return names;
}
