#include "support.h"

#include <QAccessible>
#include <QCommandLinkButton>
#include <QHBoxLayout>
#include <QScrollBar>

// Zoom and rotation, the buttons and the about box, and the keyboard, wheel and mouse.
class tst_commands : public QObject
{
    Q_OBJECT

    readersfound readers;
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

    // An 800 x 600 picture with two marks: magenta at its centre, cyan around (200, 150).
    static QString marked(const QString &file)
    {
        QImage image = filled(QSize(800, 600), QColor(0, 128, 0));
        for (const auto &[centre, colour] :
            { std::pair(QPoint(400, 300), Qt::magenta), std::pair(QPoint(200, 150), Qt::cyan) })
            for (int y = -2; y < 2; ++y)
                for (int x = -2; x < 2; ++x)
                    image.setPixelColor(centre + QPoint(x, y), colour);
        image.save(file);
        return file;
    }
    // Where the middle of a mark lies in the view, in window pixels, as measured on screen.
    QPointF markat(Qt::GlobalColor colour) const
    {
        const QImage seen = area()->viewport()->grab().toImage();
        QRect extent;
        for (int y = 0; y < seen.height(); ++y)
            for (int x = 0; x < seen.width(); ++x)
                if (seen.pixelColor(x, y) == QColor(colour))
                    extent |= QRect(x, y, 1, 1);
        return QRectF(extent).center() / seen.devicePixelRatio() + QPointF(0.5, 0.5) / ratio();
    }
    // Whether two points of the view are within a window pixel of each other.
    static bool near(QPointF a, QPointF b)
    {
        return qAbs(a.x() - b.x()) <= 1 && qAbs(a.y() - b.y()) <= 1;
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

    // Zooming in has no ceiling but the toolkit's widget size: far past where a whole enlarged
    // picture could be made, each pixel of the file is a block of its share of the zoomed size.
    void farZoom()
    {
        QImage board(4, 3, QImage::Format_RGB32);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x)
                board.setPixel(x, y, (x + y) % 2 ? qRgb(0, 0, 255) : qRgb(255, 0, 0));
        board.save(dir.filePath("board.png"));
        window = viewer(dir.filePath("board.png"));
        for (int i = 0; i < 300; ++i)
            window->zoomin();
        QCOMPARE(zoombox(), QSize(15585, 15440));
        QCOMPARE(shown().width(), 15585);
        const QImage row = label->grab(QRect(0, label->height() / 2, label->width(), 1)).toImage();
        QList<int> runs = { 1 };
        for (int x = 1; x < row.width(); ++x) {
            if (row.pixel(x, 0) == row.pixel(x - 1, 0))
                ++runs.last();
            else
                runs.append(1);
        }
        QCOMPARE(runs.size(), 4);
        for (const int run : runs)
            QVERIFY2(qAbs(run - row.width() / 4.0) <= 1, qPrintable(QString::number(run)));

        // At the widget limit the view cannot grow: there, and only there, zooming in stops. The
        // far corner is drawn there as well as anywhere.
        zoomw = zoomh = QWIDGETSIZE_MAX - 60;
        window->zoomin();
        QCOMPARE(zoombox(), QSize(QWIDGETSIZE_MAX - 10, QWIDGETSIZE_MAX - 10));
        window->zoomin();
        QCOMPARE(zoombox(), QSize(QWIDGETSIZE_MAX - 10, QWIDGETSIZE_MAX - 10));
        area()->horizontalScrollBar()->setValue(area()->horizontalScrollBar()->maximum());
        area()->verticalScrollBar()->setValue(area()->verticalScrollBar()->maximum());
        const QImage corner = area()->viewport()->grab().toImage();
        QCOMPARE(corner.pixelColor(corner.width() - 2, corner.height() - 2), QColor(Qt::blue));
    }

    void rotation()
    {
        QImage image(300, 100, QImage::Format_RGB32);
        image.fill(Qt::white);
        for (int y = 0; y < 100; ++y)
            image.setPixel(0, y, qRgb(255, 0, 0));
        image.save(dir.filePath("wide.png"));
        window = viewer(dir.filePath("wide.png"));
        const QImage start = seen();
        window->tranr();
        const QImage turned = seen();
        QCOMPARE(turned.size(), device(QSize(146, 440)));
        // the left edge is now on top
        QCOMPARE(turned.pixelColor(turned.width() / 2, 0), QColor(Qt::red));
        QCOMPARE(turned.pixelColor(turned.width() / 2, turned.height() - 1), QColor(Qt::white));
        window->tranl();
        QCOMPARE(seen(), start);
        for (int i = 0; i < 4; ++i)
            window->tranr();
        QCOMPARE(seen(), start);
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
        // Icon, width and the name a screen reader announces.
        const QList<std::tuple<const char *, int, const char *>> expected = {
            { "a", 35, "About" },
            { nullptr, 0, nullptr },
            { "re", 30, "Turn anticlockwise" },
            { "b", 30, "Previous picture" },
            { "in", 30, "Zoom in" },
            { "out", 30, "Zoom out" },
            { "f", 30, "Next picture" },
            { "fo", 30, "Turn clockwise" },
            { nullptr, 0, nullptr },
        };
        for (int i = 0; i < row->count(); ++i) {
            const auto [name, width, command] = expected[i];
            auto *button = qobject_cast<QCommandLinkButton *>(row->itemAt(i)->widget());
            QCOMPARE(button != nullptr, name != nullptr);
            QCOMPARE(row->stretch(i), 0);
            if (!button) {
                QVERIFY(row->itemAt(i)->spacerItem());
                continue;
            }
            QCOMPARE(button->maximumSize(), QSize(width, 35));
            QCOMPARE(button->text(), QString());
            QCOMPARE(button->toolTip(), QString());
            const QIcon icon(QString(":/images/%1.png").arg(name));
            QCOMPARE(button->icon().pixmap(64).toImage(), icon.pixmap(64).toImage());
            QAccessibleInterface *heard = QAccessible::queryAccessibleInterface(button);
            QCOMPARE(heard->text(QAccessible::Name), QString(command));
            QVERIFY(!heard->text(QAccessible::Description).isEmpty());
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
    // point under the pointer under it, to the pixel, as far as the picture's edges allow: also at
    // the first step, where the scroll bars appear, and over a run of steps sent faster than the
    // view is painted. A drag of a picture larger than the view moves it with the pointer, a click
    // does not.
    void zoomKeepsYourPlace()
    {
        drop(window.get(), { QUrl::fromLocalFile(marked(dir.filePath("marked.png"))) });
        QWidget *view = area()->viewport();
        const auto middle = [view] { return QRectF(view->rect()).center(); };
        QCOMPARE(label->cursor().shape(), Qt::ArrowCursor);
        for (const int key : { Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_Up }) {
            for (int i = 0; i < 14; ++i)
                QTest::keyClick(area(), Qt::Key(key));
            QVERIFY2(near(markat(Qt::magenta), middle()),
                qPrintable(QString("%1, %2").arg(markat(Qt::magenta).x()).arg(middle().x())));
        }
        for (int i = 0; i < 20; ++i) {
            window->zommout();
            QVERIFY(near(markat(Qt::magenta), middle()));
        }
        window->zoomin();
        QVERIFY(near(markat(Qt::magenta), middle()));
        QVERIFY(area()->horizontalScrollBar()->maximum() > 0);
        QCOMPARE(label->cursor().shape(), Qt::OpenHandCursor);

        const QPointF pointer = markat(Qt::cyan);
        for (const int angle : { 120, 120, -120, 120, 120, 120, -120, -120 }) {
            wheel(QPoint(0, angle), view, pointer.toPoint());
            QVERIFY(near(markat(Qt::cyan), pointer.toPoint()));
        }

        // At the picture's edge the view stops at the edge: no black beyond it.
        area()->horizontalScrollBar()->setValue(0);
        area()->verticalScrollBar()->setValue(0);
        wheel(QPoint(0, 120), view, QPoint(view->width() - 2, 1));
        QCOMPARE(scrolled().y(), 0);
        QCOMPARE(view->grab().toImage().pixelColor(0, 0), QColor(0, 128, 0));

        const QPoint start = scrolled() + QPoint(100, 100);
        area()->horizontalScrollBar()->setValue(start.x());
        area()->verticalScrollBar()->setValue(start.y());
        const QPoint from = label->mapFrom(view, middle().toPoint());
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
        QVERIFY(near(markat(Qt::magenta), middle()));
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
