#include <QtEndian>
#include <QtTest>

// Reads back the compiled Windows resources (a .res file) of the executable.
class tst_winres : public QObject
{
    Q_OBJECT

    struct Resource
    {
        QString type;
        QString name;
        quint16 language;
        QByteArray data;
    };
    QList<Resource> resources;

    static quint16 word(const QByteArray &data, qsizetype at)
    {
        return qFromLittleEndian<quint16>(data.constData() + at);
    }
    static quint32 dword(const QByteArray &data, qsizetype at)
    {
        return qFromLittleEndian<quint32>(data.constData() + at);
    }
    // A type or name: 0xFFFF and a number, or a zero-terminated UTF-16 string.
    static QString identifier(const QByteArray &data, qsizetype &at)
    {
        if (word(data, at) == 0xffff) {
            at += 4;
            return QString::number(word(data, at - 2));
        }
        QString text;
        for (; word(data, at); at += 2)
            text += QChar(word(data, at));
        at += 2;
        return text;
    }

    QList<Resource> find(const QString &type) const
    {
        QList<Resource> found;
        for (const Resource &r : resources)
            if (r.type == type)
                found << r;
        return found;
    }

private slots:
    void initTestCase()
    {
        QFile file(QStringLiteral(RESFILE));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        for (qsizetype at = 0; at + 32 <= data.size();) {
            const quint32 size = dword(data, at);
            const quint32 header = dword(data, at + 4);
            qsizetype field = at + 8;
            Resource r;
            r.type = identifier(data, field);
            r.name = identifier(data, field);
            r.language = word(data, at + header - 10);
            r.data = data.mid(at + header, size);
            if (size)
                resources << r;
            at = (at + header + size + 3) & ~qsizetype(3);
        }
    }

    void iconGroup()
    {
        const QList<Resource> groups = find("14");
        QCOMPARE(groups.size(), 1);
        QCOMPARE(groups[0].name, QString("IDI_ICON1"));
        QCOMPARE(groups[0].language, quint16(0x0409));
        const QByteArray &group = groups[0].data;
        QCOMPARE(word(group, 4), quint16(9));
        QList<int> sides;
        for (int i = 0; i < 9; ++i) {
            const qsizetype entry = 6 + 14 * i;
            const int side = quint8(group[entry]) ? quint8(group[entry]) : 256;
            QCOMPARE(quint8(group[entry + 1]), quint8(side % 256));
            QCOMPARE(word(group, entry + 6), quint16(32));
            sides << side;
        }
        QCOMPARE(sides, QList<int>({ 256, 128, 96, 72, 64, 48, 32, 24, 16 }));
        const QList<Resource> icons = find("3");
        QCOMPARE(icons.size(), 9);
        for (const Resource &icon : icons)
            QCOMPARE(icon.language, quint16(0x0409));
    }

    void manifest()
    {
        const QList<Resource> manifests = find("24");
        QCOMPARE(manifests.size(), 1);
        QCOMPARE(manifests[0].name, QString("1"));
        const QByteArray &text = manifests[0].data;
        QVERIFY(text.contains("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"));
        QVERIFY(text.contains("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    }
};

QTEST_GUILESS_MAIN(tst_winres)
#include "tst_winres.moc"
