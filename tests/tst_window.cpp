#include "hostile.h"

#include <QImageReader>
#include <QImageWriter>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

volatile std::sig_atomic_t signalled = 0;

// A socket listening where a decoder taken over might connect; whether anyone did.
struct listener
{
    int socket = -1;
    quint16 port = 0;

    explicit listener(const QString &path = QString())
    {
        if (path.isEmpty()) {
            sockaddr_in address {};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socket = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            socklen_t length = sizeof address;
            ::bind(socket, reinterpret_cast<sockaddr *>(&address), length);
            ::getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
            port = ntohs(address.sin_port);
        } else {
            sockaddr_un address {};
            address.sun_family = AF_UNIX;
            qstrncpy(
                address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path);
            socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::bind(socket, reinterpret_cast<sockaddr *>(&address), sizeof address);
        }
        ::listen(socket, 4);
    }
    ~listener() { ::close(socket); }
    bool reached() const { return ::accept(socket, nullptr, nullptr) >= 0; }
};

} // namespace

// Opening a picture, fitting it to the window, animations, the class itself and its artwork.
class tst_window : public QObject
{
    Q_OBJECT

    readersfound readers;
    QTemporaryDir dir;
    QString startdir = QDir::currentPath();

private slots:
    void cleanup() { QDir::setCurrent(startdir); }
    void cleanupTestCase() { QFile::remove(QDir::home().filePath(".porvane-test-secret")); }

    void fits_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QSize>("window");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("wide photo") << QSize(800, 600) << QSize(600, 500) << QSize(585, 438);
        QTest::newRow("small is enlarged") << QSize(100, 100) << QSize(600, 500) << QSize(440, 440);
        QTest::newRow("default window") << QSize(300, 100) << QSize(256, 256) << QSize(241, 80);
        QTest::newRow("tall") << QSize(100, 1000) << QSize(600, 500) << QSize(44, 440);
    }
    void fits()
    {
        QFETCH(QSize, size);
        QFETCH(QSize, window);
        QFETCH(QSize, expected);
        auto viewed = viewer(picture(dir.path(), "fit.png", size), window);
        QCOMPARE(shown(), expected);
        QCOMPARE(zoombox(), window - QSize(15, 60));
        QCOMPARE(centre(), QColor(Qt::red));
    }

    void resizeRefitsAndEndsZoom()
    {
        auto viewed = viewer(picture(dir.path(), "r.png", QSize(100, 100)));
        viewed->zoomin();
        QCOMPARE(shown(), QSize(490, 490));
        viewed->resize(800, 700);
        QCOMPARE(zoombox(), QSize(785, 640));
        QCOMPARE(shown(), QSize(640, 640));
    }

    // What is not a picture, or a broken or hostile one of any format, says so at start-up and
    // opens an empty window; dropped on a picture, it leaves that picture shown.
    void startupFailure_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("folder") << dir.path();
        QFile text(dir.filePath("notes.txt"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not a picture\n");
        QTest::newRow("text") << text.fileName();
        for (const auto &[name, contents] : hostile::formatbombs()) {
            if (name.endsWith(".gif"))
                continue; // played as a movie, which shows nothing rather than failing
            writebytes(dir.path(), name, contents);
            QTest::newRow(name.constData()) << dir.filePath(QString::fromLatin1(name));
        }
    }
    void startupFailure()
    {
        QFETCH(QString, entry);
        QString seen;
        answermodal(&seen);
        auto viewed = viewer(entry);
        QCOMPARE(seen, QString("Error|Cannot Load Image"));
        QCOMPARE(viewed->size(), QSize(600, 500));
        QVERIFY(shown().isEmpty());
        QCOMPARE(curpath, entry);
        drop(viewed.get(), { QUrl::fromLocalFile(picture(dir.path(), "good.png", QSize(60, 40))) });
        drop(viewed.get(), { QUrl::fromLocalFile(entry) });
        QCOMPARE(shown(), QSize(585, 390));
        QCOMPARE(centre(), QColor(Qt::red));
    }

    // A picture that takes its decoder over tries what a hostile file would. Each act fails: the
    // secret is not read, nothing is created, no listener is reached, no program runs, the window
    // is neither signalled nor traced, no limit is raised; a decoder that crashes, aborts, loops
    // or allocates without end only fails the load. The window lives, says so at start-up, keeps
    // its picture on a drop, and shows the next.
    void lockedDecoder_data()
    {
        QTest::addColumn<QByteArray>("act");
        QTest::addColumn<QString>("left"); // what the act would leave behind
        const QString secret = QDir::home().filePath(".porvane-test-secret");
        QFile written(secret);
        QVERIFY(written.open(QIODevice::WriteOnly));
        written.write("the user's own\n");
        const QByteArray pid = QByteArray::number(QCoreApplication::applicationPid());
        QTest::newRow("read a file") << "read " + QFile::encodeName(secret) << QString();
        QTest::newRow("create a file")
            << "create " + QFile::encodeName(dir.filePath("made")) << dir.filePath("made");
        QTest::newRow("connect") << QByteArray("connect") << QString();
        QTest::newRow("connect locally") << QByteArray("unix") << QString();
        QTest::newRow("start a program")
            << "run " + QFile::encodeName(dir.filePath("ran")) << dir.filePath("ran");
        QTest::newRow("signal the window") << "signal " + pid << QString();
        QTest::newRow("trace the window") << "trace " + pid << QString();
        QTest::newRow("raise its limits") << QByteArray("limits") << QString();
        QTest::newRow("crash") << QByteArray("crash") << QString();
        QTest::newRow("abort") << QByteArray("abort") << QString();
#if !defined(__SANITIZE_ADDRESS__)
        // The address sanitizer's shadow memory leaves no room for a ceiling on memory.
        QTest::newRow("allocate without end") << QByteArray("allocate") << QString();
#endif
        QTest::newRow("loop for ever") << QByteArray("loop") << QString();
    }
    void lockedDecoder()
    {
        QFETCH(QByteArray, act);
        QFETCH(QString, left);
        const listener network;
        const listener local(dir.filePath("local.socket"));
        if (act == "connect")
            act += " " + QByteArray::number(network.port);
        if (act == "unix")
            act += " " + QFile::encodeName(dir.filePath("local.socket"));
        writebytes(dir.path(), "taken", "PORVANE-ACT " + act + "\n");
        const QString file = dir.filePath("taken");
        signalled = 0;
        std::signal(SIGUSR1, [](int) { signalled = 1; });
        QString seen;
        answermodal(&seen);
        auto viewed = viewer(file);
        QCOMPARE(seen, QString("Error|Cannot Load Image"));
        QVERIFY(shown().isEmpty());
        drop(viewed.get(), { QUrl::fromLocalFile(picture(dir.path(), "good.png", QSize(60, 40))) });
        QCOMPARE(shown(), QSize(585, 390));
        // A decoder that loops is waited for the once, at start-up.
        if (!act.startsWith("loop")) {
            drop(viewed.get(), { QUrl::fromLocalFile(file) });
            QCOMPARE(shown(), QSize(585, 390));
            QCOMPARE(centre(), QColor(Qt::red));
        }
        drop(viewed.get(),
            { QUrl::fromLocalFile(picture(dir.path(), "next.png", QSize(40, 40), Qt::blue)) });
        QCOMPARE(shown(), QSize(440, 440));
        QCOMPARE(centre(), QColor(Qt::blue));
        QVERIFY(left.isEmpty() || !QFile::exists(left));
        QVERIFY(!network.reached());
        QVERIFY(!local.reached());
        QCOMPARE(int(signalled), 0);
        std::signal(SIGUSR1, SIG_DFL);
    }

    void animationTest_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("plays");
        QTest::newRow("lower case") << "a.gif" << true;
        QTest::newRow("upper case") << "a.GIF" << false;
        QTest::newRow("no extension") << "my.pics/photo" << false;
        QTest::newRow("named gif") << "gif" << true;
        QTest::newRow("gif inside") << "x.gif.png" << false;
    }
    void animationTest()
    {
        QFETCH(QString, name);
        QFETCH(bool, plays);
        QDir::setCurrent(dir.path());
        QDir(dir.path()).mkpath("my.pics");
        animation(dir.path(), name);
        auto viewed = viewer(name);
        QCOMPARE(label->movie() != nullptr, plays);
        if (plays)
            QTRY_COMPARE(label->movie()->state(), QMovie::Running);
        else
            QCOMPARE(centre(), QColor(Qt::red));
    }

    // The listing moves the working directory, yet a relative path still names the animation.
    void relativeAnimation()
    {
        QDir::setCurrent(dir.path());
        QDir(dir.path()).mkpath("sub");
        animation(dir.path() + "/sub", "anim.gif");
        auto viewed = viewer("sub/anim.gif");
        QCOMPARE(curpath, QString("sub/anim.gif"));
        QTRY_VERIFY(!label->movie()->currentImage().isNull());
    }

    void largePictures()
    {
        auto viewed = viewer(picture(dir.path(), "large.jpg", QSize(12000, 9000), Qt::red, "JPEG"));
        QCOMPARE(shown(), QSize(585, 438));

        // A header claiming 20000 x 20000 (1.6 GB decoded) is refused, not allocated.
        QFile huge(dir.filePath("huge.ppm"));
        QVERIFY(huge.open(QIODevice::WriteOnly));
        huge.write("P6\n20000 20000\n255\n" + QByteArray(3000, '\x7f'));
        huge.close();
        QString seen;
        answermodal(&seen);
        auto refused = viewer(huge.fileName());
        QCOMPARE(seen, QString("Error|Cannot Load Image"));
    }

    // 16384 x 16384 at 4 bytes a pixel is 1 GiB decoded, the most the reader is allowed.
    void gigabytePicture()
    {
        {
            QImage huge(16384, 16384, QImage::Format_RGB32);
            huge.fill(Qt::red);
            QImageWriter writer(dir.filePath("gigabyte.png"));
            writer.setCompression(1);
            QVERIFY(writer.write(huge));
        }
        auto viewed = viewer(dir.filePath("gigabyte.png"));
        QCOMPARE(shown(), QSize(440, 440));
        QCOMPARE(centre(), QColor(Qt::red));
    }

    void metaObject()
    {
        imgv window;
        const QMetaObject *meta = window.metaObject();
        QCOMPARE(meta->className(), "imgv");
        QCOMPARE(meta->superClass(), &QWidget::staticMetaObject);
        QStringList names;
        for (int i = meta->methodOffset(); i < meta->methodCount(); ++i)
            names << meta->method(i).methodSignature();
        QCOMPARE(names,
            QStringList({ "tranl()", "tranr()", "forward()", "backward()", "zoomin()", "zommout()",
                "showhome()" }));
        QVERIFY(window.acceptDrops());
    }

    void resources_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("side");
        for (const char *big : { "main", "a", "b", "f", "full" })
            QTest::newRow(big) << big << 256;
        for (const char *small : { "in", "out", "re", "fo" })
            QTest::newRow(small) << small << 128;
    }
    void resources()
    {
        QFETCH(QString, name);
        QFETCH(int, side);
        const QImage image(":/images/" + name + ".png");
        QCOMPARE(image.size(), QSize(side, side));
        QVERIFY(image.hasAlphaChannel());
    }

    void windowIcon()
    {
        QImageReader reader(":/images/icon.ico");
        QList<int> sides;
        for (int i = 0; i < reader.imageCount(); ++i) {
            QVERIFY(reader.jumpToImage(i));
            const QImage image = reader.read();
            QCOMPARE(image.width(), image.height());
            QCOMPARE(image.depth(), 32);
            sides << image.width();
        }
        QCOMPARE(sides, QList<int>({ 256, 128, 96, 72, 64, 48, 32, 24, 16 }));
        const QString theme = QIcon::themeName();
        const QString fallback = QIcon::fallbackThemeName();
        auto viewed = viewer(":/images/main.png", QSize(256, 256));
        QVERIFY(!viewed->windowIcon().isNull());
        // The icon theme set aside while the buttons are made is the toolkit's again.
        QCOMPARE(QIcon::themeName(), theme);
        QCOMPARE(QIcon::fallbackThemeName(), fallback);
        QCOMPARE(viewed->windowTitle(), QString("PORVANE - Q.ZARVEL"));
        QCOMPARE(shown(), QSize(196, 196));
    }
};

QTEST_MAIN(tst_window)
#include "tst_window.moc"
