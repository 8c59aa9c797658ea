#include "names.h"

#include <QUrl>

#ifdef Q_OS_UNIX
namespace {

// The length of the UTF-8 sequence a byte leads, or 0 for a byte that leads none.
qsizetype sequence(uchar lead)
{
    if (lead < 0x80)
        return 1;
    if (lead >= 0xf0)
        return 4;
    if (lead >= 0xe0)
        return 3;
    return lead >= 0xc0 ? 2 : 0;
}

} // namespace

QString fromnative(QByteArrayView bytes)
{
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString name;
    while (!bytes.isEmpty()) {
        const uchar lead = uchar(bytes.front());
        qsizetype length = sequence(lead);
        if (length > bytes.size() || !bytes.first(length).isValidUtf8())
            length = 0;
        if (length)
            name += QString::fromUtf8(bytes.first(length));
        else
            name += QChar(0xdc00 + lead);
        bytes = bytes.sliced(qMax<qsizetype>(length, 1));
    }
    return name;
}

QByteArray tonative(QStringView name)
{
    QByteArray bytes;
    qsizetype from = 0;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name[i].unicode();
        if (c < 0xdc80 || c > 0xdcff || (i > 0 && name[i - 1].isHighSurrogate()))
            continue;
        bytes += name.sliced(from, i - from).toUtf8();
        bytes += char(c - 0xdc00);
        from = i + 1;
    }
    return bytes + name.sliced(from).toUtf8();
}
#endif

QString argname(const char *arg)
{
#ifdef Q_OS_UNIX
    return fromnative(arg);
#else
    return QString::fromLocal8Bit(arg);
#endif
}

// The URL's own decoding gives up on names that are not valid UTF-8, so on Unix its bytes are
// taken as they were sent.
QString localfile(const QUrl &url)
{
    const QString file = url.toLocalFile();
#ifdef Q_OS_UNIX
    if (!file.isEmpty() && url.host().isEmpty())
        return fromnative(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
#endif
    return file;
}
