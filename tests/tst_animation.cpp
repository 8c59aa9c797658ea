#include "support.h"

#include <QElapsedTimer>
#include <QImageReader>
#include <QScrollBar>

// Animations played as their files say: every frame, in turn, at its time, stretched to the fit
// size; each frame made once and drawn from then on.

namespace {

// What the movie shows, frame by frame, from now on.
struct showings
{
    struct showing
    {
        int frame;
        qint64 pixels; // the key of the frame's pixels: the same key, the very same pixels
        QSize size;
    };

    explicit showings(QMovie *movie)
        : movie(movie)
    {
        seen = QObject::connect(movie, &QMovie::frameChanged, movie, [this](int frame) {
            const QImage image = this->movie->currentImage();
            list.push_back({ frame, image.cacheKey(), image.size() });
        });
    }
    ~showings() { QObject::disconnect(seen); }

    // Waits until `count` frames have been shown.
    bool wait(int count, int ms = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (list.size() < count && timer.elapsed() < ms)
            QTest::qWait(5);
        return list.size() >= count;
    }
    // The pixels each showing of a frame took, from the `from`th showing on.
    QSet<qint64> pixelsof(int frame, qsizetype from = 0) const
    {
        QSet<qint64> keys;
        for (qsizetype i = from; i < list.size(); ++i)
            if (list[i].frame == frame)
                keys << list[i].pixels;
        return keys;
    }

    QMovie *movie;
    QList<showing> list;
    QMetaObject::Connection seen;
};

} // namespace

class tst_animation : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    // An animation's frames are made in screen pixels and fill the fit size in window pixels,
    // with no scroll bars.
    void sharpAnimation()
    {
        auto window = viewer(animation(dir.path(), "a.gif"));
        QMovie *movie = label->movie();
        QVERIFY(movie);
        QTRY_COMPARE(movie->currentPixmap().size(), device(QSize(585, 440)));
        QCoreApplication::processEvents();
        const QImage seen = label->grab().toImage();
        const QRect fit = QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter,
            device(QSize(585, 440)), QRect(QPoint(), seen.size()));
        // Window pixels are centred, so the frame may sit a screen pixel off the screen's centre.
        for (const QPoint corner :
            { fit.topLeft() + QPoint(2, 2), fit.bottomRight() - QPoint(2, 2) })
            QVERIFY(seen.pixelColor(corner) == QColor(Qt::red)
                || seen.pixelColor(corner) == QColor(Qt::blue));
        QCOMPARE(seen.pixelColor(fit.topLeft() - QPoint(3, 3)), QColor(Qt::black));
        QCOMPARE(drawn(), QSize(585, 440));
        QVERIFY(!window->findChild<QScrollArea *>()->horizontalScrollBar()->isVisible());
        QVERIFY(!window->findChild<QScrollArea *>()->verticalScrollBar()->isVisible());
    }

    // A GIF is stretched to the fit size as soon as the window has its size, at every resize and
    // in full screen: a still GIF of one frame, which the movie never decodes again, as well as
    // an animation's first frame, long before its second is due.
    void gifsAreFitted_data()
    {
        QTest::addColumn<int>("frames");
        QTest::newRow("one frame") << 1;
        QTest::newRow("animation, first frame") << 2;
    }
    void gifsAreFitted()
    {
        QFETCH(int, frames);
        auto window = viewer(animation(dir.path(), "still.gif", frames, 3000));
        QMovie *movie = label->movie();
        QVERIFY(movie);
        for (const QSize size : { QSize(600, 500), QSize(400, 360), QSize(901, 300) }) {
            window->resize(size);
            const QSize fit = size - QSize(15, 60);
            QCOMPARE(movie->currentFrameNumber(), 0);
            QCOMPARE(drawn(), fit);
        }
        window->showFullScreen();
        QTRY_COMPARE(drawn(), window->size() - QSize(15, 60));
        QCOMPARE(movie->currentFrameNumber(), 0);
    }

    // An animation goes from its first frame to its last and round again, however large its
    // frames: opened at start-up and fitted, resized on its first frame, and dropped.
    void animationsLoop_data()
    {
        QTest::addColumn<int>("side");
        QTest::addColumn<QByteArray>("after");
        QTest::newRow("small") << 2 << QByteArray();
        QTest::newRow("larger than the reader reads at once") << 200 << QByteArray();
        // The reader of the last round stops before the file's last byte.
        QTest::newRow("bytes after its end") << 200 << QByteArray(10000, 'x');
    }
    void animationsLoop()
    {
        QFETCH(int, side);
        QFETCH(QByteArray, after);
        const QString file = animation(dir.path(), "loop.gif", 2, 5, side, after);
        // Two whole rounds, each frame in turn, the movie still running.
        const auto loops = [] {
            QMovie *movie = label->movie();
            QVERIFY(movie);
            QList<int> frames;
            const QMetaObject::Connection seen = QObject::connect(
                movie, &QMovie::frameChanged, movie, [&frames](int frame) { frames << frame; });
            QTRY_VERIFY2_WITH_TIMEOUT(
                frames.size() >= 5, qPrintable(QString::number(frames.size())), 3000);
            QObject::disconnect(seen);
            for (qsizetype i = 1; i < frames.size(); ++i)
                QCOMPARE(frames[i], 1 - frames[i - 1]);
            QCOMPARE(movie->state(), QMovie::Running);
        };
        auto window = viewer(file);
        loops();
        window->resize(500, 400);
        loops();
        drop(window.get(), { QUrl::fromLocalFile(picture(dir.path(), "still.png", QSize(8, 8))) });
        drop(window.get(), { QUrl::fromLocalFile(file) });
        loops();
        window->resize(600, 500);
        loops();
    }

    // Once a round has been shown, every frame is shown from the pixels made for it, which are the
    // toolkit's reader's frame stretched smoothly to the fit size; a resize lets them go and the
    // frames are made again at the new size, and kept again.
    void framesAreKept()
    {
        const QString file = animation(dir.path(), "kept.gif", 3, 2, 120);
        auto window = viewer(file);
        QMovie *movie = label->movie();
        QVERIFY(movie);
        QList<QImage> reference;
        QImageReader reader(file, "gif");
        for (QImage frame = reader.read(); !frame.isNull(); frame = reader.read())
            reference << frame.scaled(
                device(QSize(585, 440)), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        QCOMPARE(reference.size(), 3);
        for (const QSize fit : { QSize(585, 440), QSize(385, 300) }) {
            showings shown(movie);
            QVERIFY(shown.wait(15));
            // The first round may still show a frame made before the window had its size.
            for (int frame = 0; frame < 3; ++frame)
                QCOMPARE(shown.pixelsof(frame, 6).size(), 1);
            for (qsizetype i = 6; i < shown.list.size(); ++i)
                QCOMPARE(shown.list[i].size, device(fit));
            if (fit == QSize(585, 440)) {
                const QImage now = movie->currentImage();
                QVERIFY(
                    now == reference.at(movie->currentFrameNumber()).convertToFormat(now.format()));
            }
            window->resize(400, 360);
        }
    }

    // Frames are due at times counted from the animation's start, so that lateness never adds
    // up; a frame of 10 ms or less is shown for 100 ms, as browsers show it.
    void framesOnTime_data()
    {
        QTest::addColumn<int>("delay"); // in hundredths of a second, as the file says
        QTest::addColumn<int>("shown"); // ms
        QTest::newRow("20 ms") << 2 << 20;
        QTest::newRow("10 ms, shown for 100") << 1 << 100;
        QTest::newRow("no delay, shown for 100") << 0 << 100;
    }
    void framesOnTime()
    {
        QFETCH(int, delay);
        QFETCH(int, shown);
        auto window = viewer(animation(dir.path(), "pace.gif", 2, delay, 200));
        showings frames(label->movie());
        QVERIFY(frames.wait(3));
        QElapsedTimer clock;
        clock.start();
        const qsizetype from = frames.list.size();
        QTest::qWait(3000);
        const qsizetype due = clock.elapsed() / shown;
        const qsizetype seen = frames.list.size() - from;
        QVERIFY2(qAbs(seen - due) <= 2, qPrintable(QString("%1 shown of %2").arg(seen).arg(due)));
    }

    // The file's loop count is honoured, and the last frame stays when the loops end; a file
    // without one plays once.
    void loopCount_data()
    {
        QTest::addColumn<int>("loops");
        QTest::newRow("once") << -1;
        QTest::newRow("twice more") << 2;
    }
    void loopCount()
    {
        QFETCH(int, loops);
        auto window = viewer(animation(dir.path(), "loops.gif", 3, 2, 2, QByteArray(), loops));
        QMovie *movie = label->movie();
        showings frames(movie);
        QTRY_COMPARE_WITH_TIMEOUT(movie->state(), QMovie::NotRunning, 5000);
        QTest::qWait(300);
        const int rounds = loops < 0 ? 1 : loops + 1;
        // The first frame was shown as the movie started.
        QCOMPARE(frames.list.size(), 3 * rounds - 1);
        QCOMPARE(movie->currentFrameNumber(), 2);
        QCOMPARE(QColor(movie->currentImage().pixel(10, 10)), QColor(Qt::red));
    }

    // Frames that would take more than the budget kept are made again at every round, as they
    // come, and the animation plays on.
    void pastTheBudget()
    {
        auto window = viewer(animation(dir.path(), "large.gif", 32, 2), QSize(1400, 1000));
        showings frames(label->movie());
        QVERIFY(frames.wait(70, 30000));
        for (qsizetype i = 1; i < frames.list.size(); ++i)
            QCOMPARE(frames.list[i].frame, (frames.list[i - 1].frame + 1) % 32);
        QCOMPARE(frames.list.last().size, device(QSize(1385, 940)));
        const auto fifth = std::count_if(frames.list.begin(), frames.list.end(),
            [](const showings::showing &shown) { return shown.frame == 5; });
        QVERIFY(fifth >= 2);
        QCOMPARE(frames.pixelsof(5).size(), fifth);
    }
};

QTEST_MAIN(tst_animation)
#include "tst_animation.moc"
