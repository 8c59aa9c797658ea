#include "support.h"

#include <QCommandLinkButton>
#include <QHBoxLayout>
#include <QScrollBar>

// Zoom and rotation, the buttons and the about box, and the keyboard, wheel and mouse.
class tst_commands : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString startdir = QDir::currentPath();
    std::unique_ptr<imgv> window;

    QScrollArea *area() const { return window->findChild<QScrollArea *>(); }

    // Three pictures in a row; the window opens on the middle one.
    void open()
    {
        for (const auto &[name, colour] : { std::pair("1.png", Qt::red),
                 std::pair("2.png", Qt::green), std::pair("3.png", Qt::blue) })
            picture(dir.path(), name, QSize(300, 300), colour);
        window = viewer(dir.filePath("2.png"));
    }

    void wheel(QPoint angle, QWidget *at = nullptr, QPoint where = QPoint(50, 50))
    {
        QWheelEvent event(where, at ? at->mapToGlobal(where) : where, QPoint(), angle, Qt::NoButton,
            Qt::NoModifier, Qt::NoScrollPhase, false);
        QVERIFY(QApplication::sendEvent(at ? at : area(), &event));
    }

    // The point of the picture seen at a point of the view, read from a picture whose red and
    // green channels count its columns and rows in 256ths.
    QPointF spotseen(QPoint at) const
    {
        QWidget *view = area()->viewport();
        const QImage seen = view->grab().toImage();
        const QColor c = seen.pixelColor(at * seen.devicePixelRatio());
        return QPointF(c.red() / 255.0, c.green() / 255.0);
    }
    static QString gradient(const QString &file)
    {
        QImage image(512, 384, QImage::Format_RGB32);
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                image.setPixel(x, y, qRgb(x * 256 / 512, y * 256 / 384, 128));
        image.save(file);
        return file;
    }
    void press(QEvent::Type type, QPoint at, Qt::MouseButtons held = Qt::LeftButton)
    {
        QWidget *target = label;
        QMouseEvent event(type, at, target->mapToGlobal(at), Qt::LeftButton, held, Qt::NoModifier);
        QApplication::sendEvent(target, &event);
    }
    QPoint scrolled() const
    {
        return QPoint(area()->horizontalScrollBar()->value(), area()->verticalScrollBar()->value());
    }

private slots:
    void init() { open(); }
    void cleanup()
    {
        window.reset();
        QDir::setCurrent(startdir);
    }

    void zoomSteps()
    {
        window->zoomin();
        window->zoomin();
        QCOMPARE(zoombox(), QSize(685, 540));
        QCOMPARE(shown(), QSize(540, 540));
        window->zommout();
        QCOMPARE(zoombox(), QSize(635, 490));
    }

    void zoomOutFloor_data()
    {
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("after");
        QTest::newRow("width 100") << QSize(100, 300) << QSize(100, 300);
        QTest::newRow("height 100") << QSize(300, 100) << QSize(300, 100);
        QTest::newRow("both 101") << QSize(101, 101) << QSize(51, 51);
    }
    void zoomOutFloor()
    {
        QFETCH(QSize, box);
        QFETCH(QSize, after);
        zoomw = box.width();
        zoomh = box.height();
        window->zommout();
        QCOMPARE(zoombox(), after);
        QCOMPARE(shown(),
            QSize(qMin(after.width(), after.height()), qMin(after.width(), after.height())));
    }

    // The ceiling counts the screen's pixels: 4085 window pixels wide at ratio 1, 2035 at ratio 2.
    void zoomInCeiling_data()
    {
        QTest::addColumn<int>("width");
        QTest::newRow("4096 at most") << 4000;
        QTest::newRow("up to the picture's own size") << 9000;
    }
    void zoomInCeiling()
    {
        QFETCH(int, width);
        window = viewer(picture(dir.path(), "wide.png", QSize(width, 10)));
        for (int i = 0; i < 300; ++i)
            window->zoomin();
        int widest = 585;
        while ((widest + 50) * ratio() <= qMax(4096, width))
            widest += 50;
        QCOMPARE(shown().width(), widest);
        QCOMPARE(zoomw, widest);
    }

    void rotation()
    {
        QImage image(300, 100, QImage::Format_RGB32);
        image.fill(Qt::white);
        for (int y = 0; y < 100; ++y)
            image.setPixel(0, y, qRgb(255, 0, 0));
        image.save(dir.filePath("wide.png"));
        window = viewer(dir.filePath("wide.png"));
        const QImage start = label->pixmap().toImage();
        window->tranr();
        const QImage turned = label->pixmap().toImage();
        QCOMPARE(turned.size(), device(QSize(146, 440)));
        // the left edge is now on top
        QCOMPARE(turned.pixelColor(turned.width() / 2, 0), QColor(Qt::red));
        QCOMPARE(turned.pixelColor(turned.width() / 2, turned.height() - 1), QColor(Qt::white));
        window->tranl();
        QCOMPARE(label->pixmap().toImage(), start);
        for (int i = 0; i < 4; ++i)
            window->tranr();
        QCOMPARE(label->pixmap().toImage(), start);
        QCOMPARE(zoombox(), QSize(585, 440));
    }

    // A still picture put in place of the animation ends it, so that a resize refits the still.
    void zoomAndTurnEndTheAnimation()
    {
        for (void (imgv::*command)() : { &imgv::zoomin, &imgv::zommout, &imgv::tranl }) {
            window = viewer(animation(dir.path(), "a.gif"));
            QPointer<QMovie> movie = label->movie();
            QVERIFY(movie);
            (window.get()->*command)();
            QVERIFY(!movie);
            window->resize(400, 360);
            QCOMPARE(shown(), QSize(300, 300));
            QCOMPARE(centre(), QColor(Qt::red));
        }
    }

    void zoomAfterTurn()
    {
        window->zoomin();
        window->tranr();
        QCOMPARE(shown(), QSize(440, 440));
        window->zoomin();
        QCOMPARE(zoombox(), QSize(685, 540));
    }

    void buttons()
    {
        QHBoxLayout *row = window->findChild<QHBoxLayout *>();
        QCOMPARE(row->count(), 9);
        const QList<std::pair<const char *, int>> expected = {
            { "a", 35 },
            { nullptr, 0 },
            { "re", 30 },
            { "b", 30 },
            { "in", 30 },
            { "out", 30 },
            { "f", 30 },
            { "fo", 30 },
            { nullptr, 0 },
        };
        for (int i = 0; i < row->count(); ++i) {
            auto *button = qobject_cast<QCommandLinkButton *>(row->itemAt(i)->widget());
            QCOMPARE(button != nullptr, expected[i].first != nullptr);
            QCOMPARE(row->stretch(i), 0);
            if (!button) {
                QVERIFY(row->itemAt(i)->spacerItem());
                continue;
            }
            QCOMPARE(button->maximumSize(), QSize(expected[i].second, 35));
            QCOMPARE(button->text(), QString());
            const QIcon icon(QString(":/images/%1.png").arg(expected[i].first));
            QCOMPARE(button->icon().pixmap(64).toImage(), icon.pixmap(64).toImage());
        }
    }

    void buttonClicks_data()
    {
        QTest::addColumn<int>("item");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("previous") << 3 << QSize(585, 440) << QColor(Qt::red);
        QTest::newRow("zoom in") << 4 << QSize(635, 490) << QColor(Qt::green);
        QTest::newRow("zoom out") << 5 << QSize(535, 390) << QColor(Qt::green);
        QTest::newRow("next") << 6 << QSize(585, 440) << QColor(Qt::blue);
    }
    void buttonClicks()
    {
        QFETCH(int, item);
        QFETCH(QSize, box);
        QFETCH(QColor, colour);
        QWidget *button = window->findChild<QHBoxLayout *>()->itemAt(item)->widget();
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(zoombox(), box);
        QCOMPARE(centre(), colour);
        QVERIFY(!button->hasFocus());
    }

    void turnButtons()
    {
        window = viewer(picture(dir.path(), "wide.png", QSize(300, 100)));
        QHBoxLayout *row = window->findChild<QHBoxLayout *>();
        QTest::mouseClick(row->itemAt(7)->widget(), Qt::LeftButton);
        QCOMPARE(shown(), QSize(146, 440));
        QTest::mouseClick(row->itemAt(2)->widget(), Qt::LeftButton);
        QCOMPARE(shown(), QSize(585, 195));
    }

    void aboutBox()
    {
        QString seen;
        answermodal(&seen);
        QTest::mouseClick(window->findChild<QHBoxLayout *>()->itemAt(0)->widget(), Qt::LeftButton);
        QVERIFY(seen.startsWith("PORVANE|<h1>PORVANE</h1><br><br>"));
        QCOMPARE(seen.count("<br><br>"), 4);
        QCOMPARE(seen.count("<b>"), 3);
        QVERIFY(window->isVisible());
    }

    void keys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QColor>("colour");
        QTest::newRow("left") << int(Qt::Key_Left) << 0 << QSize(585, 440) << QColor(Qt::red);
        QTest::newRow("shift right")
            << int(Qt::Key_Right) << int(Qt::ShiftModifier) << QSize(585, 440) << QColor(Qt::blue);
        QTest::newRow("up") << int(Qt::Key_Up) << 0 << QSize(635, 490) << QColor(Qt::green);
        QTest::newRow("down") << int(Qt::Key_Down) << 0 << QSize(535, 390) << QColor(Qt::green);
        QTest::newRow("keypad enter") << int(Qt::Key_Enter) << int(Qt::KeypadModifier)
                                      << QSize(585, 440) << QColor(Qt::green);
        QTest::newRow("page down")
            << int(Qt::Key_PageDown) << 0 << QSize(585, 440) << QColor(Qt::green);
    }
    void keys()
    {
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QSize, box);
        QFETCH(QColor, colour);
        QTest::keyClick(area(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(zoombox(), box);
        QCOMPARE(centre(), colour);
        QVERIFY(!window->isFullScreen());
    }

    void fullScreen()
    {
        QTest::keyClick(area(), Qt::Key_Return);
        QVERIFY(window->isFullScreen());
        QCOMPARE(zoombox(), window->size() - QSize(15, 60));
        QTest::keyClick(area(), Qt::Key_Return);
        QVERIFY(!window->isFullScreen());
        QCOMPARE(window->size(), QSize(600, 500));
        QCOMPARE(shown(), QSize(440, 440));
        QTest::mouseDClick(area(), Qt::RightButton);
        QVERIFY(window->isFullScreen());
        QTest::mouseDClick(window.get(), Qt::LeftButton, {}, QPoint(100, window->height() - 10));
        QVERIFY(window->isFullScreen());
    }

    void escape_data()
    {
        QTest::addColumn<bool>("atArea");
        QTest::newRow("scroll area") << true;
        QTest::newRow("window") << false;
    }
    void escape()
    {
        QFETCH(bool, atArea);
        QTest::keyClick(atArea ? area() : static_cast<QWidget *>(window.get()), Qt::Key_Left);
        QCOMPARE(centre(), QColor(atArea ? Qt::red : Qt::green));
        QTest::keyClick(atArea ? area() : static_cast<QWidget *>(window.get()), Qt::Key_Escape);
        QVERIFY(!window->isVisible());
    }

    void wheelSteps_data()
    {
        QTest::addColumn<QPoint>("angle");
        QTest::addColumn<QSize>("box");
        QTest::newRow("away") << QPoint(0, 120) << QSize(635, 490);
        QTest::newRow("towards") << QPoint(0, -120) << QSize(535, 390);
        QTest::newRow("zero") << QPoint(0, 0) << QSize(585, 440);
        QTest::newRow("large") << QPoint(0, 2400) << QSize(635, 490);
        QTest::newRow("horizontal") << QPoint(-120, 0) << QSize(535, 390);
        QTest::newRow("mostly vertical") << QPoint(30, -120) << QSize(535, 390);
    }
    void wheelSteps()
    {
        QFETCH(QPoint, angle);
        QFETCH(QSize, box);
        wheel(angle);
        QCOMPARE(zoombox(), box);
    }

    // Zooming keeps the point of the picture at the view's centre there, or with the wheel the
    // point under the pointer under it, as far as the picture's edges allow; a drag of a picture
    // larger than the view moves it with the pointer, a click does not.
    void zoomKeepsYourPlace()
    {
        drop(window.get(), { QUrl::fromLocalFile(gradient(dir.filePath("gradient.png"))) });
        QWidget *view = area()->viewport();
        const QPoint middle(view->width() / 2, view->height() / 2);
        QCOMPARE(label->cursor().shape(), Qt::ArrowCursor);
        for (int i = 0; i < 12; ++i) {
            QTest::keyClick(area(), Qt::Key_Up);
            QVERIFY2(qAbs(spotseen(middle).x() - 0.5) < 0.02, qPrintable(QString::number(i)));
            QVERIFY(qAbs(spotseen(middle).y() - 0.5) < 0.02);
        }
        QVERIFY(area()->horizontalScrollBar()->maximum() > 0);
        QCOMPARE(label->cursor().shape(), Qt::OpenHandCursor);

        const QPoint pointer(view->width() / 5, view->height() / 4);
        for (const int angle : { 120, 120, -120, 120 }) {
            const QPointF before = spotseen(pointer);
            wheel(QPoint(0, angle), view, pointer);
            QVERIFY(qAbs(spotseen(pointer).x() - before.x()) < 0.02);
            QVERIFY(qAbs(spotseen(pointer).y() - before.y()) < 0.02);
        }

        // At the picture's edge the view stops at the edge: no black beyond it.
        area()->horizontalScrollBar()->setValue(0);
        area()->verticalScrollBar()->setValue(0);
        wheel(QPoint(0, 120), view, QPoint(view->width() - 2, 1));
        QCOMPARE(scrolled().y(), 0);
        QVERIFY(spotseen(QPoint(1, 1)).x() < 0.03 && spotseen(QPoint(1, 1)).y() < 0.03);

        const QPoint start = scrolled() + QPoint(100, 100);
        area()->horizontalScrollBar()->setValue(start.x());
        area()->verticalScrollBar()->setValue(start.y());
        const QPoint from = label->mapFrom(view, middle);
        press(QEvent::MouseButtonPress, from, Qt::LeftButton);
        QCOMPARE(label->cursor().shape(), Qt::ClosedHandCursor);
        press(QEvent::MouseMove, from + QPoint(-30, -20), Qt::LeftButton);
        press(QEvent::MouseButtonRelease, from + QPoint(-30, -20), Qt::NoButton);
        QCOMPARE(scrolled(), start + QPoint(30, 20));
        QCOMPARE(label->cursor().shape(), Qt::OpenHandCursor);
        press(QEvent::MouseButtonPress, from, Qt::LeftButton);
        press(QEvent::MouseButtonRelease, from, Qt::NoButton);
        QCOMPARE(scrolled(), start + QPoint(30, 20));

        // A step fits the picture again; dragging it then does nothing, and the next zoom starts
        // from its centre.
        window->forward();
        window->backward();
        QCOMPARE(scrolled(), QPoint(0, 0));
        QCOMPARE(label->cursor().shape(), Qt::ArrowCursor);
        press(QEvent::MouseButtonPress, QPoint(100, 100), Qt::LeftButton);
        press(QEvent::MouseMove, QPoint(50, 50), Qt::LeftButton);
        press(QEvent::MouseButtonRelease, QPoint(50, 50), Qt::NoButton);
        QCOMPARE(scrolled(), QPoint(0, 0));
        for (int i = 0; i < 6; ++i)
            window->zoomin();
        QVERIFY(qAbs(spotseen(middle).x() - 0.5) < 0.02);
    }

    // No event addressed to the scroll area reaches its own handling, not even unknown ones.
    void filterConsumesEverything()
    {
        QEvent custom(QEvent::User);
        QVERIFY(QApplication::sendEvent(area(), &custom));
    }
};

QTEST_MAIN(tst_commands)
#include "tst_commands.moc"
