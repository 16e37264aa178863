#include "platform/tray/AniTray.h"

#include <QImage>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>

using namespace std::chrono;

namespace {

QSystemTrayIcon* trayIconOf(AniTray& tray)
{
    return tray.findChild<QSystemTrayIcon*>();
}

QImage imageOf(const QIcon& icon)
{
    return icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage storedFrame(int i)
{
    return QImage(QStringLiteral(":/pictures/tray/frame-%1.png").arg(i, 2, 10, QChar(u'0')))
        .convertToFormat(QImage::Format_ARGB32);
}

// Does the tray icon show exactly the frame the tray says it shows?
bool showsItsCurrentFrame(AniTray& tray)
{
    return imageOf(trayIconOf(tray)->icon()) == storedFrame(tray.currentFrame());
}

} // namespace

class TestAniTray : public QObject
{
    Q_OBJECT

private slots:
    void storedFramesAreTwentyDistinctSteps();
    void schedule_data();
    void schedule();
    void showPutsUpFirstFrameWithTip();
    void staysOnFirstFrameUntilStarted();
    void animationRunsInStoredOrderAndRepeats();
    void userAction_data();
    void userAction();
    void withoutFramesNothingBreaks();
};

void TestAniTray::storedFramesAreTwentyDistinctSteps()
{
    QCOMPARE(AniTray::storedFrames().size(), AniTray::kFrameCount);
    for (int i = 0; i < AniTray::kFrameCount; ++i) {
        const QImage frame = storedFrame(i);
        QCOMPARE(frame.size(), QSize(32, 32));
        // Every step, the last back to the first included, moves the picture.
        QVERIFY2(frame != storedFrame((i + 1) % AniTray::kFrameCount),
                 qPrintable(QString::number(i)));
    }
}

void TestAniTray::schedule_data()
{
    QTest::addColumn<qint64>("elapsedNs");
    QTest::addColumn<int>("frame");
    QTest::addColumn<qint64>("delayMs");

    // Frame k is due at k/12 s: 83 333 333.3 ns apart, 100 jiffies a cycle.
    QTest::newRow("start") << 0LL << 0 << 84LL;
    QTest::newRow("just before the second frame") << 83'333'333LL << 0 << 1LL;
    QTest::newRow("second frame") << 83'333'334LL << 1 << 84LL;
    QTest::newRow("middle of the second frame") << 125'000'000LL << 1 << 42LL;
    QTest::newRow("last frame") << 1'666'666'666LL << 19 << 1LL;
    QTest::newRow("wraps after 5/3 s") << 1'666'666'667LL << 0 << 84LL;
    QTest::newRow("no drift after an hour") << 3'600'000'000'000LL << 0 << 84LL;
    QTest::newRow("an hour and one frame") << 3'600'083'333'334LL << 1 << 84LL;
}

void TestAniTray::schedule()
{
    QFETCH(qint64, elapsedNs);
    QFETCH(int, frame);
    QFETCH(qint64, delayMs);

    QCOMPARE(AniTray::frameAt(nanoseconds(elapsedNs), AniTray::kFrameCount), frame);
    QCOMPARE(AniTray::delayToNextFrame(nanoseconds(elapsedNs)).count(), delayMs);
    // The tick that the delay asks for finds the next frame due.
    const auto tick = nanoseconds(elapsedNs) + milliseconds(delayMs);
    QCOMPARE(AniTray::frameAt(tick, AniTray::kFrameCount), (frame + 1) % AniTray::kFrameCount);
}

void TestAniTray::showPutsUpFirstFrameWithTip()
{
    AniTray tray;
    QSystemTrayIcon* icon = trayIconOf(tray);
    QVERIFY(icon != nullptr);
    QVERIFY(!icon->isVisible());

    tray.show();
    QVERIFY(icon->isVisible());
    QCOMPARE(icon->toolTip(), QStringLiteral("Vorelin"));
    QCOMPARE(tray.currentFrame(), 0);
    QVERIFY(showsItsCurrentFrame(tray));
}

void TestAniTray::staysOnFirstFrameUntilStarted()
{
    AniTray tray;
    tray.show();
    QTest::qWait(300);
    QCOMPARE(tray.currentFrame(), 0);
    QVERIFY(showsItsCurrentFrame(tray));
}

void TestAniTray::animationRunsInStoredOrderAndRepeats()
{
    AniTray tray;
    tray.show();
    tray.startAnimation();

    // Sample the icon as it changes; a loaded machine may skip a frame, but the icon must
    // never go backwards within a cycle and must always show the frame the tray reports.
    QList<int> seen{tray.currentFrame()};
    QElapsedTimer waited;
    waited.start();
    while (seen.size() < AniTray::kFrameCount + 5 && waited.elapsed() < 20'000) {
        QTest::qWait(5);
        QVERIFY(showsItsCurrentFrame(tray));
        if (tray.currentFrame() != seen.last())
            seen.append(tray.currentFrame());
    }
    int wraps = 0;
    for (qsizetype i = 1; i < seen.size(); ++i) {
        if (seen[i] < seen[i - 1])
            ++wraps;
        else
            QVERIFY2(seen[i] > seen[i - 1], qPrintable(QString::number(i)));
    }
    QVERIFY2(wraps >= 1, "the animation never went round");
    QVERIFY(seen.contains(1));
}

void TestAniTray::userAction_data()
{
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::addColumn<bool>("raised");

    QTest::newRow("click") << QSystemTrayIcon::Trigger << true;
    QTest::newRow("double click") << QSystemTrayIcon::DoubleClick << true;
    QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick << true;
    QTest::newRow("context menu gesture") << QSystemTrayIcon::Context << false;
    QTest::newRow("unknown") << QSystemTrayIcon::Unknown << false;
}

void TestAniTray::userAction()
{
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    QFETCH(bool, raised);

    AniTray tray;
    tray.show();
    QSignalSpy spy(&tray, &AniTray::userAction);
    emit trayIconOf(tray)->activated(reason);
    QCOMPARE(spy.size(), raised ? 1 : 0);
    if (raised) {
        QCOMPARE(spy.first().size(), 3);
        QCOMPARE(spy.first().first().toInt(), int(reason));
    }
}

void TestAniTray::withoutFramesNothingBreaks()
{
    AniTray tray{QList<QIcon>{}};
    tray.show();
    tray.startAnimation();
    QTest::qWait(200);
    QCOMPARE(tray.currentFrame(), 0);
    QCOMPARE(trayIconOf(tray)->toolTip(), QStringLiteral("Vorelin"));
}

QTEST_MAIN(TestAniTray)
#include "tst_anitray.moc"
