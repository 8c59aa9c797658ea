// File names as the system's bytes, and the names that reach the viewer from outside.
#pragma once

#include <QString>

class QUrl;

#ifdef Q_OS_UNIX
// File names here are bytes, mostly UTF-8. A byte that is not part of valid UTF-8 is kept as a lone
// surrogate, U+DC00 plus the byte, so that every name read from the system names the same file
// again; names in valid UTF-8 read as the toolkit reads them.
QString fromnative(QByteArrayView bytes);
QByteArray tonative(QStringView name);
#endif

// Command-line text as a file name; on Unix every name, valid UTF-8 or not, names its file again.
QString argname(const char *arg);
// The local file a dropped URL names, or nothing for a URL that is not a local file.
QString localfile(const QUrl &url);
