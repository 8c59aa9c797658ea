// Locks the calling process for good to what decoding a picture needs, before it reads a byte of
// one: no gaining of privileges, a ceiling on memory, no core file, Landlock with no file-system
// access but reading the folders given, and a system-call filter that refuses opening anything
// but those for reading, sockets, starting programs, tracing or signalling other processes and
// changing its own limits. Each mechanism is used where the kernel offers it.
#pragma once

#include <QStringList>

namespace lock {

// The mechanisms the kernel offered, and that now hold.
struct held
{
    bool noprivileges = false;
    bool ceiling = false;
    bool landlock = false;
    bool filter = false;
};

// The address space a decoder may hold: a picture decoded to the limit, and as much again for
// the work of decoding it.
constexpr qint64 ceilingbytes = qint64(3) << 30;

// Whether the kernel confines the files opened to the folders given. Without it, nothing is
// opened at all once the filter holds, so what must be loaded is loaded before.
bool confines();

held lockdown(const QStringList &readable);

} // namespace lock
