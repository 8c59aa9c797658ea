// The spawner of decoders as a program of its own, for a process that did not fork one first:
// it serves the socket on descriptor 3, and finds the readers in its own folder.
#include "decoder.h"

#include <QFile>
#include <QFileInfo>

int main()
{
    decoder::spawn(3, QFileInfo(QFile::symLinkTarget(QStringLiteral("/proc/self/exe"))).path());
}
