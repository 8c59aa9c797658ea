#include "support.h"
#include "writers.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

// Stepping through the pictures of a folder, and opening dropped files.
class tst_folder : public QObject
{
    Q_OBJECT

    readersfound readers;
    QString startdir = QDir::currentPath();
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QTemporaryDir> large; // made once: a folder of many names

    QString path(const QString &name) const { return dir->filePath(name); }

    // A folder whose pictures each have a colour of their own, with things that are not pictures.
    void fill()
    {
        const QList<std::pair<const char *, QColor>> pictures = {
            { "a.jpg", Qt::red },
            { "B.png", Qt::green },
            { "c.PNG", Qt::blue },
            { "d.JPEG", Qt::cyan },
            { "img10.png", Qt::gray },
            { "img2.png", Qt::magenta },
            { "e.bmp", Qt::yellow },
        };
        for (const auto &[name, colour] : pictures)
            picture(dir->path(), name, QSize(40, 30), colour);
        animation(dir->path(), "z.gif");
        QDir(dir->path()).mkdir("sub.png");
        QFile(path("notes.txt")).open(QIODevice::WriteOnly);
    }

    // Dates a file or folder an hour back, long settled on any file system.
    static void age(const QString &entry)
    {
        const time_t old = QDateTime::currentSecsSinceEpoch() - 3600;
        const utimbuf times { old, old };
        QVERIFY(::utime(QFile::encodeName(entry).constData(), &times) == 0);
    }
    void ageall()
    {
        for (const QString &name :
            QDir(dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot))
            age(path(name));
        age(dir->path());
    }

    QList<QColor> walk(imgv *window, void (imgv::*step)(), int count)
    {
        QList<QColor> seen;
        for (int i = 0; i < count; ++i) {
            (window->*step)();
            seen << centre();
        }
        return seen;
    }

private slots:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        fill();
    }
    void cleanup() { QDir::setCurrent(startdir); }

    void listingOrder()
    {
        auto viewed = viewer(path("B.png"));
        listed();
        QCOMPARE(files,
            QStringList({ "a.jpg", "B.png", "c.PNG", "d.JPEG", "img10.png", "img2.png", "sub.png",
                "z.gif" }));
        QCOMPARE(QDir::currentPath(), QDir(dir->path()).canonicalPath());
    }

    // Names that sort or match in unusual ways, links, and entries that are not listed at all.
    void listingAsTheDirectoryListsIt()
    {
        for (const char *name : { "Äpfel.png", "apfel.PNG", "_x.jpg", "~y.jpeg", "Zeta.Gif",
                 "a b.JPG", "a.png.txt", ".hidden.png", "ímg.png", "IMG.png", "img.PNG", "x.jpe" })
            picture(dir->path(), name, QSize(4, 4));
        QFile::link(path("a.jpg"), path("link.png"));
        QFile::link(path("gone"), path("broken.png"));
        QVERIFY(::mkfifo(QFile::encodeName(path("fifo.jpg")).constData(), 0600) == 0);
        QDir listed(dir->path());
        listed.setNameFilters(
            { "*.png", "*.jpg", "*.gif", "*.jpeg", "*.JPG", "*.GIF", "*.PNG", "*.JPEG" });
        auto viewed = viewer(path("B.png"));
        ::listed();
        QCOMPARE(files, listed.entryList());
        QVERIFY(files.contains("link.png") && !files.contains("broken.png"));
    }

    // A folder untouched for long is listed once and the listing reused, until it changes.
    void settledFolderStillSeesChanges()
    {
        ageall();
        auto viewed = viewer(path("B.png"));
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::blue));
        picture(dir->path(), "c0.png", QSize(10, 10), Qt::darkGreen);
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::darkGreen));
        QVERIFY(QFile::remove(path("c0.png")));
        QVERIFY(QFile::remove(path("a.jpg")));
        viewed->backward();
        QCOMPARE(centre(), QColor(Qt::cyan));
    }

    // Pictures decoded ahead are shown only while their files are as they were decoded.
    void preparedPicturesStayTrue()
    {
        QVERIFY(!stampof(path("a.jpg")).proves(stampof(path("a.jpg"))));
        ageall();
        const stamp settled = stampof(path("a.jpg"));
        QVERIFY(settled.proves(stampof(path("a.jpg"))));
        picture(dir->path(), "a.jpg", QSize(41, 30), Qt::red);
        QVERIFY(!settled.proves(stampof(path("a.jpg"))));
        age(path("a.jpg"));
        auto viewed = viewer(path("B.png"));
        QCOMPARE(walk(viewed.get(), &imgv::forward, 2), QList<QColor>({ Qt::blue, Qt::cyan }));
        picture(dir->path(), "img10.png", QSize(40, 30), Qt::darkCyan);
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::darkCyan));
        picture(dir->path(), "d.JPEG", QSize(40, 30), Qt::darkMagenta);
        viewed->backward();
        QCOMPARE(centre(), QColor(Qt::darkMagenta));
        QVERIFY(QFile::remove(path("c.PNG")));
        QCOMPARE(
            walk(viewed.get(), &imgv::backward, 2), QList<QColor>({ Qt::darkMagenta, Qt::green }));
    }

    // Start-up reads the picture once; a file changed in between is read again.
    void startupReadsChangedFileAgain()
    {
        ageall();
        imgv window;
        window.openimage(path("B.png"));
        picture(dir->path(), "B.png", QSize(40, 30), Qt::darkGreen);
        window.buildui();
        window.show();
        QCOMPARE(centre(), QColor(Qt::darkGreen));
    }

    // The folder entry fails to load and leaves the picture before it; the GIF shows its first
    // frame; there is no wrap-around at either end.
    void stepping()
    {
        auto viewed = viewer(path("a.jpg"));
        QCOMPARE(walk(viewed.get(), &imgv::backward, 1), QList<QColor>({ Qt::red }));
        QCOMPARE(walk(viewed.get(), &imgv::forward, 8),
            QList<QColor>({ Qt::green, Qt::blue, Qt::cyan, Qt::gray, Qt::magenta, Qt::magenta,
                Qt::red, Qt::red }));
        QCOMPARE(walk(viewed.get(), &imgv::backward, 2), QList<QColor>({ Qt::red, Qt::magenta }));
    }

    void stepRefitsAndEndsZoomAndTurn()
    {
        auto viewed = viewer(path("z.gif"));
        QVERIFY(label->movie());
        viewed->zoomin();
        viewed->tranr();
        viewed->backward();
        viewed->backward();
        QCOMPARE(centre(), QColor(Qt::magenta));
        QVERIFY(!label->movie());
        QCOMPARE(shown(), QSize(585, 438));
        QCOMPARE(zoombox(), QSize(585, 440));
        viewed->resize(400, 360);
        QCOMPARE(shown(), QSize(385, 288));
    }

    void openedFileNotListed()
    {
        auto viewed = viewer(path("e.bmp"));
        QCOMPARE(centre(), QColor(Qt::yellow));
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::green));
    }

    void folderChangesBetweenSteps()
    {
        auto viewed = viewer(path("c.PNG"));
        listed();
        picture(dir->path(), "bb.png", QSize(10, 10), Qt::darkGreen);
        viewed->forward(); // c.PNG moved to position 3; position 3 is now c.PNG again
        QCOMPARE(centre(), QColor(Qt::blue));
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::cyan));

        QFile truncated(path("d.JPEG"));
        truncated.resize(20);
        viewed->backward();
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::blue));
    }

    // A neighbour decoded ahead and then replaced by a pipe or a link to an endless device: the
    // step neither waits for a writer nor reads for ever, and the entry is no longer listed.
    void replacedByWhatNeverEnds()
    {
        ageall();
        auto viewed = viewer(path("B.png"));
        QTest::qWait(100);
        QVERIFY(QFile::remove(path("c.PNG")));
        QVERIFY(::mkfifo(QFile::encodeName(path("c.PNG")).constData(), 0644) == 0);
        QVERIFY(QFile::remove(path("a.jpg")));
        QVERIFY(QFile::link("/dev/zero", path("a.jpg")));
        viewed->forward(); // two entries fewer before it: position 2 is now img10.png
        QCOMPARE(centre(), QColor(Qt::gray));
        QCOMPARE(files.mid(0, 3), QStringList({ "B.png", "d.JPEG", "img10.png" }));
        QCOMPARE(walk(viewed.get(), &imgv::backward, 2), QList<QColor>({ Qt::cyan, Qt::green }));
    }

    // The folder itself removed while its picture is shown: steps find nothing and keep it.
    void folderRemoved()
    {
        QTemporaryDir gone;
        auto viewed = viewer(picture(gone.path(), "x.png", QSize(20, 20), Qt::darkRed));
        picture(gone.path(), "y.png", QSize(20, 20), Qt::darkBlue);
        QVERIFY(gone.remove());
        viewed->forward();
        viewed->backward();
        QCOMPARE(centre(), QColor(Qt::darkRed));
        QVERIFY(files.isEmpty());
        drop(viewed.get(), { QUrl::fromLocalFile(path("c.PNG")) });
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::cyan));
    }

    // The folder is listed once the picture is on screen: a step taken before the window shows,
    // as it shows or once the listing is in, lands on the same file.
    void stepBeforeTheListing_data()
    {
        QTest::addColumn<int>("when");
        for (int round = 0; round < 3; ++round) {
            QTest::addRow("before it shows %d", round) << 0;
            QTest::addRow("as it shows %d", round) << 1;
            QTest::addRow("listed %d", round) << 2;
        }
    }
    void stepBeforeTheListing()
    {
        QFETCH(int, when);
        constexpr int others = 6000;
        if (!large) {
            // Made in memory where the system offers it: file systems can be slow to create in.
            const QString memory = QStringLiteral("/dev/shm");
            large = QFileInfo(memory).isWritable()
                ? std::make_unique<QTemporaryDir>(memory + "/folder-XXXXXX")
                : std::make_unique<QTemporaryDir>();
            for (int i = 0; i < others; ++i)
                for (const char *side : { "a", "z" })
                    QFile(large->filePath(QString::asprintf("%s%05d.png", side, i)))
                        .open(QIODevice::WriteOnly);
            picture(large->path(), "l.png", QSize(20, 20), Qt::red);
            picture(large->path(), "mm.png", QSize(20, 20), Qt::blue);
            picture(large->path(), "m.png", QSize(20, 20), Qt::green);
        }
        const QString opened = large->filePath("m.png");
        files.clear();
        imgv window;
        window.openimage(opened);
        window.buildui();
        if (when > 0) {
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
        }
        if (when > 1)
            listed();
        QCOMPARE(walk(&window, &imgv::forward, 1), QList<QColor>({ Qt::blue }));
        QCOMPARE(files.size(), 2 * others + 3);
        QCOMPARE(walk(&window, &imgv::backward, 2), QList<QColor>({ Qt::green, Qt::red }));
    }

    // With a reader whose library cannot be loaded, its pictures fail to open as broken files do.
    // The suite runs so from a copy whose readers lack libheif; run as built, this is skipped.
    void missingLibrary()
    {
        if (!QDir(QCoreApplication::applicationDirPath() + "/" PORVANE_PLUGINS).exists())
            QSKIP("needs a copy of the suite whose HEIF reader lacks its library");
        writebytes(dir->path(), "b1.png", writers::heif(filled(QSize(40, 30), Qt::darkRed), false));
        QString seen;
        answermodal(&seen);
        auto viewed = viewer(path("b1.png"));
        QCOMPARE(seen, QString("Error|Cannot Load Image"));
        drop(viewed.get(), { QUrl::fromLocalFile(path("B.png")) });
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::green));
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::blue));
    }

    void stepBackFromBeyondTheEnd()
    {
        auto viewed = viewer(path("z.gif"));
        listed();
        for (const char *gone : { "z.gif", "img2.png", "img10.png" })
            QVERIFY(QFile::remove(path(gone)));
        QDir(dir->path()).rmdir("sub.png");
        viewed->forward();
        viewed->backward();
        QCOMPARE(centre(), QColor(Qt::cyan));
        QCOMPARE(files.size(), 4);
    }

    // The default picture has no folder on disk: the start-up directory is walked instead.
    void defaultPicture()
    {
        picture(dir->path(), "main.png", QSize(10, 10), Qt::darkRed);
        QDir::setCurrent(dir->path());
        auto viewed = viewer(":/images/main.png");
        viewed->forward();
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::red)); // z.gif, after main.png and sub.png
        viewed->backward();
        viewed->backward();
        QCOMPARE(centre(), QColor(Qt::darkRed));
    }

    // A relative path is resolved once, not again from the folder the listing moved to.
    void relativePathResolvedOnce()
    {
        QDir(dir->path()).mkpath("pics/pics");
        picture(path("pics"), "one.png", QSize(10, 10), Qt::red);
        picture(path("pics"), "two.png", QSize(10, 10), Qt::blue);
        picture(path("pics/pics"), "inner.png", QSize(10, 10), Qt::green);
        QDir::setCurrent(dir->path());
        auto viewed = viewer("pics/one.png");
        viewed->forward();
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::blue));
        QCOMPARE(curpath, QString("pics/one.png"));
    }

    void dropOpensFirstUrl()
    {
        auto viewed = viewer(path("a.jpg"));
        QDir(dir->path()).mkdir("other");
        const QString other = picture(path("other"), "x.png", QSize(10, 10), Qt::darkBlue);
        picture(path("other"), "y.png", QSize(10, 10), Qt::darkYellow);
        drop(viewed.get(), { QUrl::fromLocalFile(other), QUrl::fromLocalFile(path("c.PNG")) });
        QCOMPARE(centre(), QColor(Qt::darkBlue));
        QCOMPARE(curpath, other);
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::darkYellow));
        QCOMPARE(files, QStringList({ "x.png", "y.png" }));
    }

    void dropStillKeepsZoomBox()
    {
        auto viewed = viewer(path("a.jpg"));
        viewed->zoomin();
        drop(viewed.get(), { QUrl::fromLocalFile(path("B.png")) });
        QCOMPARE(shown(), QSize(585, 438));
        viewed->zoomin();
        QCOMPARE(zoombox(), QSize(685, 540));
    }

    void dropAnimation()
    {
        auto viewed = viewer(path("a.jpg"));
        drop(viewed.get(), { QUrl::fromLocalFile(path("z.gif")) });
        QPointer<QMovie> first = label->movie();
        QTRY_COMPARE(first->currentImage().size(), QSize(2, 2));
        QCOMPARE(first->scaledSize(), QSize());
        viewed->resize(300, 300);
        QCOMPARE(first->scaledSize(), device(QSize(285, 240)));
        drop(viewed.get(), { QUrl::fromLocalFile(path("z.gif")) });
        QVERIFY(!first); // the replaced movie is released
        drop(viewed.get(), { QUrl::fromLocalFile(path("c.PNG")) });
        QVERIFY(!label->movie());
        viewed->resize(400, 360);
        QCOMPARE(shown(), QSize(385, 288));
        QCOMPARE(centre(), QColor(Qt::blue));
    }

    void dropsThatOpenNothing_data()
    {
        QTest::addColumn<QList<QUrl>>("urls");
        QTest::newRow("no url") << QList<QUrl>();
        QTest::newRow("web") << QList<QUrl>({ QUrl("https://example.org/a.png") });
        QTest::newRow("empty") << QList<QUrl>({ QUrl() });
    }
    void dropsThatOpenNothing()
    {
        QFETCH(QList<QUrl>, urls);
        auto viewed = viewer(path("c.PNG"));
        drop(viewed.get(), urls);
        QCOMPARE(curpath, path("c.PNG"));
        viewed->forward();
        QCOMPARE(centre(), QColor(Qt::cyan));
    }

    void dropFailsToLoad()
    {
        auto viewed = viewer(path("c.PNG"));
        listed();
        drop(viewed.get(), { QUrl::fromLocalFile(path("notes.txt")) });
        QCOMPARE(centre(), QColor(Qt::blue));
        QCOMPARE(curpath, path("notes.txt"));
        viewed->backward(); // notes.txt is not listed: the position from c.PNG is kept
        QCOMPARE(centre(), QColor(Qt::green));
    }
};

QTEST_MAIN(tst_folder)
#include "tst_folder.moc"
