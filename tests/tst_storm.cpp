// The storm reads the window's position in the listing and its picture, which only it holds.
#include <QtConcurrent>
#include <QtTest>
#include <QtWidgets>
#define private public
#include "imgv.h"
#include "names.h"
#undef private

#include "hostile.h"

#include <QRandomGenerator>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <grp.h>
#include <malloc.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <thread>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers' own interface, which GCC does not ship headers for.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
extern "C" void __sanitizer_set_death_callback(void (*callback)());
#endif

namespace {

quint32 seed = 0;
int command = -1;

// The processes this one started, and theirs: the decoders and their spawner.
QList<qint64> descendants(qint64 of)
{
    QList<qint64> found;
    for (const QFileInfo &task :
        QDir(QString("/proc/%1/task").arg(of)).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(task.filePath() + "/children");
        if (children.open(QIODevice::ReadOnly))
            for (const QByteArray &child : children.readAll().split(' '))
                if (child.toLongLong() > 0)
                    found << child.toLongLong() << descendants(child.toLongLong());
    }
    return found;
}

// Kills one of them at random moments, on a thread of its own, whatever the window is doing. A
// process is taken by a descriptor of its own, and killed only if it is still one of them.
class killer
{
public:
    explicit killer(quint32 seed)
        : random(seed)
        , thread([this] { run(); })
    { }
    ~killer()
    {
        stopping = true;
        thread.join();
    }
    int count() const { return killed; }

private:
    void run()
    {
        while (!stopping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(random.bounded(200)));
            const QList<qint64> all = descendants(QCoreApplication::applicationPid());
            if (all.isEmpty())
                continue;
            const qint64 victim = all.at(random.bounded(int(all.size())));
            const int process = int(::syscall(SYS_pidfd_open, pid_t(victim), 0));
            if (process < 0)
                continue;
            if (descendants(QCoreApplication::applicationPid()).contains(victim)
                && ::syscall(SYS_pidfd_send_signal, process, SIGKILL, nullptr, 0) == 0)
                ++killed;
            ::close(process);
        }
    }

    QRandomGenerator random;
    std::atomic_bool stopping = false;
    std::atomic_int killed = 0;
    std::thread thread;
};

// Says which storm to replay when the process dies in the middle of one.
void lastwords()
{
    char text[96];
    const int length = std::snprintf(
        text, sizeof text, "\nstorm died: replay with STORM_SEED=%u (command %d)\n", seed, command);
    if (command >= 0 && ::write(2, text, length) < 0)
        return;
}

void dying(int signal)
{
    lastwords();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Bytes of the heap in use.
qint64 heapinuse()
{
#if defined(__SANITIZE_ADDRESS__)
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = ::mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

// Every entry of a folder with what lstat says of it, and each file's contents.
QMap<QByteArray, QByteArray> state(const QString &folder, bool contents)
{
    QMap<QByteArray, QByteArray> entries;
    DIR *d = ::opendir(QFile::encodeName(folder).constData());
    while (const dirent *e = ::readdir(d)) {
        const QByteArray name = e->d_name;
        if (name == "..") // the folder around it is not the viewer's to keep
            continue;
        const QByteArray file = QFile::encodeName(folder) + '/' + name;
        struct stat s;
        ::lstat(file.constData(), &s);
        QByteArray seen = QByteArray::number(qint64(s.st_mode)) + ' '
            + QByteArray::number(qint64(s.st_size)) + ' '
            + QByteArray::number(qint64(s.st_mtim.tv_sec)) + '.'
            + QByteArray::number(qint64(s.st_mtim.tv_nsec));
        QFile f(QFile::decodeName(file));
        if (contents && S_ISREG(s.st_mode) && f.open(QIODevice::ReadOnly))
            seen += ' ' + QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha1).toHex();
        entries.insert(name, seen);
    }
    ::closedir(d);
    return entries;
}

} // namespace

// Thousands of random commands on the real window in a folder of good and hostile pictures.
class tst_storm : public QObject
{
    Q_OBJECT

    readersfound readers;
    std::unique_ptr<QTemporaryDir> dir;
    QList<QByteArray> good;
    QString startdir = QDir::currentPath();

    int boxes = 0;

    QString full(const QByteArray &name) const
    {
        return argname((QFile::encodeName(dir->path()) + '/' + name).constData());
    }

private slots:
    // File permissions bind everyone but root: as root, the storm runs as nobody, so that a
    // locked file is locked for it too.
    void initTestCase()
    {
        if (::geteuid() == 0) {
            const passwd *nobody = ::getpwnam("nobody");
            QVERIFY(nobody);
            QVERIFY(::setgroups(0, nullptr) == 0);
            QVERIFY(::setgid(nobody->pw_gid) == 0);
            QVERIFY(::setuid(nobody->pw_uid) == 0);
            // The leak checker inspects the process from a helper, which needs this.
            ::prctl(PR_SET_DUMPABLE, 1);
        }
        seed = qEnvironmentVariableIsSet("STORM_SEED") ? qEnvironmentVariable("STORM_SEED").toUInt()
                                                       : QRandomGenerator::system()->generate();
        qInfo("STORM_SEED=%u", seed);
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        good = hostile::fill(dir->path());
        // Start-up failures show the error box; it is answered as soon as it opens.
        auto *answer = new QTimer(this);
        connect(answer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                ++boxes;
                box->done(0);
            }
        });
        answer->start(10);
        QLoggingCategory::setFilterRules("qt.gui.imageio*=false");
        std::signal(SIGSEGV, dying);
        std::signal(SIGABRT, dying);
        std::signal(SIGFPE, dying);
        std::signal(SIGBUS, dying);
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(lastwords);
#endif
    }
    void cleanupTestCase()
    {
        QDir::setCurrent(startdir);
        emptyfolder(dir->path());
    }

    // Every hostile entry opened each way: at start-up, by a drop and by a step.
    void hostileEntries()
    {
        const auto before = state(dir->path(), true);
        QStringList listed;
        for (const QByteArray &name : hostile::hostilenames()) {
            auto window = viewer(full(name));
            drop(window.get(), { urlof(dir->path(), "a.png") });
            QCOMPARE(centre(), QColor(Qt::red));
            drop(window.get(), { urlof(dir->path(), name) });
            QVERIFY(label->movie() || !shown().isEmpty());
            for (int i = 0; i < 40; ++i)
                window->forward();
            for (int i = 0; i < 40; ++i)
                window->backward();
            QCoreApplication::processEvents();
            listed = files;
        }
        qInfo("%lld hostile entries opened at start-up, dropped and stepped over; %d error boxes",
            qint64(hostile::hostilenames().size()), boxes);
        QVERIFY(boxes >= 10);
        QCOMPARE(state(dir->path(), true), before);
        QVERIFY(listed.contains(argname("\xff\xfe.png")));
        QVERIFY(!listed.contains("fifo.png"));
        QVERIFY(!listed.contains("dangling.jpg"));
    }

    void storm()
    {
        const int commands = qEnvironmentVariableIsSet("STORM_COMMANDS")
            ? qEnvironmentVariableIntValue("STORM_COMMANDS")
            : 10000;
        qInfo("storm: %d commands", commands);
        QRandomGenerator random(seed);
        const auto pick = [&random](int n) { return int(random.bounded(n)); };
        // Sizes from 1 to the largest, spread evenly over their logarithm.
        const auto size = [&random](int largest) {
            return qMax(1, int(std::exp(random.generateDouble() * std::log(largest))));
        };

        auto window = viewer(full("a.png"));
        QScrollArea *area = window->area;
        const auto before = state(dir->path(), false);
        // Decoders die at random moments among the commands; every promise still holds.
        const killer decoders(seed + 2);
        const int keys[] = { Qt::Key_Left, Qt::Key_Right, Qt::Key_Up, Qt::Key_Down, Qt::Key_Return,
            Qt::Key_Escape, Qt::Key_A, Qt::Key_Space };
        const int deltas[] = { 0, 1, -1, 15, -15, 120, -120, 240, -1200, 32767, -32768 };
        const QList<QByteArray> drops = good + hostile::hostilenames() + hostile::mutantnames();

        for (command = 0; command < commands; ++command) {
            const int kind = pick(9);
            const int indexbefore = window->index;
            const QSize sizebefore = window->size();
            bool refits = false;
            bool stepped = false;
            switch (kind) {
            case 0: {
                const int key = keys[pick(std::size(keys))];
                QTest::keyClick(area, Qt::Key(key));
                if (key == Qt::Key_Escape) {
                    QVERIFY(!window->isVisible());
                    window->show();
                }
                stepped = key == Qt::Key_Left || key == Qt::Key_Right;
                break;
            }
            case 1: {
                const QPoint angle(
                    deltas[pick(std::size(deltas))], deltas[pick(std::size(deltas))]);
                QWheelEvent wheel(QPointF(5, 5), QPointF(5, 5), QPoint(), angle, Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
                QApplication::sendEvent(
                    pick(2) ? area->viewport() : static_cast<QWidget *>(area), &wheel);
                break;
            }
            case 2:
                QTest::mouseDClick(area->viewport(), Qt::LeftButton);
                break;
            case 3:
                window->showNormal();
                window->resize(size(4000), size(3000));
                refits = true;
                break;
            case 4: {
                const int what = pick(4);
                if (what == 0) {
                    QMimeData data;
                    data.setText("no address at all");
                    QDragEnterEvent enter(
                        QPoint(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
                    QApplication::sendEvent(window.get(), &enter);
                    QDropEvent dropped(
                        QPointF(5, 5), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
                    QApplication::sendEvent(window.get(), &dropped);
                } else if (what == 1) {
                    drop(window.get(),
                        { QUrl("https://example.org/a.png"), urlof(dir->path(), "a.png") });
                } else {
                    drop(window.get(), { urlof(dir->path(), drops.at(pick(drops.size()))) });
                }
                break;
            }
            case 5: {
                const bool ahead = pick(2);
                for (int i = pick(30); i >= 0; --i)
                    ahead ? window->forward() : window->backward();
                stepped = true;
                break;
            }
            case 6:
                pick(2) ? window->tranr() : window->tranl();
                break;
            case 7:
                pick(2) ? window->zoomin() : window->zommout();
                break;
            case 8:
                QCoreApplication::processEvents();
                break;
            }

            const QString where = QString("STORM_SEED=%1, command %2 (kind %3, window %4 x %5)")
                                      .arg(seed)
                                      .arg(command)
                                      .arg(kind)
                                      .arg(window->width())
                                      .arg(window->height());
            const QSize fit(window->width() - 15, window->height() - 60);
            // A resize the window's minimum size turns into no change at all refits nothing.
            if ((refits && window->size() != sizebefore) || stepped)
                QVERIFY2(
                    zoombox() == fit, qPrintable(where + ": the zoom box is not the fit size"));
            QVERIFY2(window->index >= 0, qPrintable(where + ": negative position"));
            if (stepped)
                QVERIFY2(window->index < qMax(1, int(files.size())) || window->index == indexbefore,
                    qPrintable(where + ": the position left the listing"));
            if (!label->movie()) {
                const QSize bound(qMax(zoomw, fit.width()), qMax(zoomh, fit.height()));
                QVERIFY2(shown().width() <= qMax(bound.width(), 0)
                        && shown().height() <= qMax(bound.height(), 0),
                    qPrintable(where + ": the picture is larger than its box"));
                QVERIFY2(window->area->viewport()->width() < window->width()
                        && window->area->viewport()->height() < window->height(),
                    qPrintable(where + ": the view is larger than the window"));
            }
            if (command % 500 == 0)
                QVERIFY2(state(dir->path(), false) == before,
                    qPrintable(where + ": the folder changed"));
        }
        command = -1;
        QCOMPARE(state(dir->path(), false), before);
        qInfo("storm: %d decoders killed", decoders.count());
        QVERIFY(decoders.count() > 0);
        // The window still decodes, with decoders started anew.
        drop(window.get(), { urlof(dir->path(), "a.png") });
        QVERIFY(!shown().isEmpty());
    }

    // Decoders killed while idle, the moment before a picture is asked of them: a decoder still
    // dying looks alive, and its channel closes only as it goes, so every picture must still
    // show.
    void killedIdle()
    {
        auto window = viewer(full("a.png"));
        int killed = 0;
        for (int round = 0; round < 40; ++round) {
            for (const qint64 victim : descendants(QCoreApplication::applicationPid()))
                killed += ::kill(pid_t(victim), SIGKILL) == 0;
            const bool red = round % 2;
            drop(window.get(), { urlof(dir->path(), red ? "a.png" : "b.jpg") });
            const QString where = QString("round %1").arg(round);
            QVERIFY2(centre().isValid(), qPrintable(where + ": nothing shown"));
            QVERIFY2((centre().red() > 200) == red, qPrintable(where + ": the picture was kept"));
        }
        qInfo("%d decoders killed while idle", killed);
        QVERIFY(killed >= 40);
    }

    // Files that vanish, change and turn into pipes and folders between and during steps, while
    // neighbours decode ahead: every step answers, and shows a picture of the folder or the last
    // good one.
    void vanishing()
    {
        QTemporaryDir churn;
        const QString here = churn.path();
        const QByteArray base = QFile::encodeName(here) + '/';
        QRandomGenerator random(seed + 1);
        const auto pick = [&random](int n) { return int(random.bounded(n)); };
        const auto name = [&](int i) { return "p" + QByteArray::number(i) + ".png"; };
        for (int i = 0; i < 8; ++i)
            picture(here, name(i), QSize(40 + i, 30), Qt::red);
        auto window = viewer(here + "/p0.png");
        for (command = 0; command < 3000; ++command) {
            const QByteArray file = base + name(pick(8));
            switch (pick(6)) {
            case 0:
                std::remove(file);
                break;
            case 1:
                std::remove(file);
                picture(here, QFile::decodeName(file.mid(base.size())),
                    QSize(1 + pick(200), 1 + pick(200)), QColor::fromRgb(random.generate()));
                break;
            case 2:
                std::remove(file);
                ::mkfifo(file, 0644);
                break;
            case 3:
                std::remove(file);
                ::mkdir(file, 0755);
                break;
            case 4:
                ::truncate(file, pick(100));
                break;
            case 5:
                std::remove(file);
                ::rename(base + name(pick(8)), file);
                break;
            }
            const int step = pick(4);
            if (step == 0)
                window->forward();
            else if (step == 1)
                window->backward();
            else if (step == 2)
                drop(window.get(), { QUrl::fromLocalFile(QFile::decodeName(file)) });
            else
                QTest::qWait(1);
            const QString where = QString("STORM_SEED=%1, change %2").arg(seed).arg(command);
            QVERIFY2(window->index >= 0, qPrintable(where + ": negative position"));
            QVERIFY2(label->movie() || !shown().isEmpty(), qPrintable(where + ": nothing shown"));
        }
        command = -1;
        emptyfolder(here);
    }

    // A long session of drops, animations and stills in turn: what the window holds at the end is
    // what it held at the start, give or take the picture shown.
    void longSession()
    {
        QTemporaryDir session;
        picture(session.path(), "still.png", QSize(300, 200), Qt::green);
        picture(session.path(), "other.jpg", QSize(200, 300), Qt::blue, "JPEG");
        animation(session.path(), "anim.gif");
        auto window = viewer(session.filePath("still.png"));
        const auto round = [&](int drops) {
            for (int i = 0; i < drops; ++i) {
                const char *name = i % 3 == 0 ? "anim.gif" : i % 3 == 1 ? "other.jpg" : "still.png";
                drop(window.get(), { QUrl::fromLocalFile(session.filePath(name)) });
                QTest::qWait(1);
            }
            drop(window.get(), { QUrl::fromLocalFile(session.filePath("still.png")) });
            QTest::qWait(50);
        };
        round(30);
        const qint64 start = heapinuse();
        round(450);
        const qint64 end = heapinuse();
        qInfo(
            "long session: 450 drops, heap in use %lld bytes at the start, %lld at the end (%+lld)",
            start, end, end - start);
        QVERIFY2(end - start <= window->img.sizeInBytes(),
            qPrintable(QString("the heap grew by %1 bytes").arg(end - start)));
    }
};

QTEST_MAIN(tst_storm)
#include "tst_storm.moc"
