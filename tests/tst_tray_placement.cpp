#include "tray_placement.h"

#include <QtTest>

// Where the window opens on the desktops users have: a panel at any edge,
// one that reserves no room (i3), a tray that tells where its icon is and
// one that does not.
class TrayPlacementTest : public QObject
{
    Q_OBJECT

private slots:
    void placement_data()
    {
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("icon");
        QTest::addColumn<QPoint>("expected");
        const QRect screen(0, 0, 1280, 800);
        const QRect none;
        // 1280 - 17 - 420 = 843 at the right; 800 - 17 - 420 = 363 at the bottom.
        QTest::newRow("bottom panel") << screen << QRect(0, 0, 1280, 772) << none << QPoint(843, 335);
        QTest::newRow("XFCE top panel") << screen << QRect(0, 28, 1280, 772) << none << QPoint(843, 45);
        QTest::newRow("dock on the left") << screen << QRect(48, 0, 1232, 800) << none << QPoint(65, 363);
        QTest::newRow("top panel, icon there")
            << screen << QRect(0, 28, 1280, 772) << QRect(1200, 4, 20, 20) << QPoint(843, 45);
        QTest::newRow("icon at the left of a bottom panel")
            << screen << QRect(0, 0, 1280, 772) << QRect(10, 776, 20, 20) << QPoint(17, 335);
        QTest::newRow("right panel, icon there")
            << screen << QRect(0, 0, 1232, 800) << QRect(1240, 400, 24, 24) << QPoint(795, 363);
        // i3 publishes no work area: its bar is known by the icon alone.
        QTest::newRow("i3 bar at the bottom")
            << screen << screen << QRect(1250, 781, 18, 18) << QPoint(843, 344);
        QTest::newRow("i3 bar at the top") << screen << screen << QRect(1250, 1, 18, 18) << QPoint(843, 36);
        QTest::newRow("nothing known") << screen << screen << none << QPoint(843, 363);
        QTest::newRow("work area past the screen")
            << screen << QRect(0, 0, 1283, 803) << none << QPoint(843, 363);
        QTest::newRow("icon on another screen")
            << screen << QRect(0, 28, 1280, 772) << QRect(2000, 4, 20, 20) << QPoint(843, 45);
        QTest::newRow("second screen")
            << QRect(1280, 0, 1920, 1080) << QRect(1280, 0, 1920, 1040) << none << QPoint(2763, 603);
        QTest::newRow("screen smaller than the window")
            << QRect(0, 0, 400, 300) << QRect(0, 0, 400, 280) << QRect(380, 285, 16, 16) << QPoint(0, 0);
    }

    void placement()
    {
        QFETCH(QRect, screen);
        QFETCH(QRect, available);
        QFETCH(QRect, icon);
        QFETCH(QPoint, expected);
        const QPoint at = trayCornerPosition({screen, available, icon}, QSize(420, 420), 17);
        QCOMPARE(at, expected);
        QVERIFY(screen.contains(QRect(at, QSize(420, 420))) || screen.width() < 420);
    }
};

QTEST_APPLESS_MAIN(TrayPlacementTest)
#include "tst_tray_placement.moc"
