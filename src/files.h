// What a name leads to on disk, how a picture file is opened, and the pictures of a folder.
#pragma once

#include <QFuture>
#include <QFutureWatcher>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <functional>

class QFile;

// A file's size and modification time when it was read. File systems stamp times in ticks of up
// to two seconds, so only a stamp older than that proves a file unchanged by comparing equal.
struct stamp
{
    qint64 size = -1;
    qint64 modified = -1;
    bool settled = false;

    bool proves(const stamp &now) const
    {
        return settled && size == now.size && modified == now.modified;
    }
};

// The stamp of what a name leads to now; an empty stamp, which proves nothing, if nothing.
stamp stampof(const QString &name);
// Whether anything exists at the name, following links.
bool named(const QString &name);
// Opens a picture file for reading: only a regular file, never a pipe or a device.
bool openfile(const QString &name, QFile &file);
// The name from the root, resolved against the working directory of this moment.
QString absolute(const QString &name);
// The working directory; "." when it has no name any more (removed while in use).
QString workingfolder();
// Makes the folder the working directory; one that cannot be entered leaves it as it was.
void enter(const QString &folder);

// The pictures of the working directory in listing order, listed again only when the folder has
// changed since the last listing. A folder may be listed ahead on a thread of its own.
class listing
{
public:
    listing();
    // Waits for a listing under way, whose thread cannot be left behind.
    ~listing();

    // Starts listing the folder; done is called on this thread once the listing is ready.
    void begin(const QString &folder, std::function<void()> done);
    // The working directory's pictures: the listing under way if it is of this folder, waited
    // for and taken as it stands; else the last listing, or a new one if the folder changed.
    const QStringList &here();

private:
    QString folder;
    stamp seen;
    QStringList names;

    QString coming; // the folder being listed ahead, and its stamp before it was
    stamp comingseen;
    QFuture<QStringList> pending;
    QFutureWatcher<QStringList> watcher;
    QThreadPool lister;
};
