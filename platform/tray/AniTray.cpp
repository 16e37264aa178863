#include "platform/tray/AniTray.h"

#include <QCursor>
#include <QPixmap>
#include <QSystemTrayIcon>

using namespace std::chrono;

AniTray::AniTray(QObject* parent) : AniTray(storedFrames(), parent) {}

AniTray::AniTray(QList<QIcon> frames, QObject* parent)
    : QObject(parent), m_frames(std::move(frames)), m_icon(new QSystemTrayIcon(this))
{
    m_icon->setToolTip(QStringLiteral("Vorelin"));
    if (!m_frames.isEmpty())
        m_icon->setIcon(m_frames.first());

    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &AniTray::showDueFrame);

    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // The context gesture is left to a menu, should the icon ever get one.
                if (reason == QSystemTrayIcon::Context || reason == QSystemTrayIcon::Unknown)
                    return;
                const QPoint at = QCursor::pos();
                if (m_handler)
                    m_handler(int(reason), at.x(), at.y());
                emit userAction(int(reason), at.x(), at.y());
            });
}

void AniTray::show()
{
    m_icon->show();
}

bool AniTray::isAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void AniTray::setUserActionHandler(UserAction handler)
{
    m_handler = std::move(handler);
}

void AniTray::startAnimation()
{
    if (m_frames.size() < 2)
        return;
    m_frame = 0;
    m_icon->setIcon(m_frames.first());
    m_clock.start();
    scheduleNextFrame();
}

void AniTray::showDueFrame()
{
    const int due = frameAt(nanoseconds(m_clock.nsecsElapsed()), int(m_frames.size()));
    if (due != m_frame) {
        m_frame = due;
        m_icon->setIcon(m_frames.at(due));
    }
    scheduleNextFrame();
}

void AniTray::scheduleNextFrame()
{
    m_timer.start(delayToNextFrame(nanoseconds(m_clock.nsecsElapsed())));
}

int AniTray::frameAt(nanoseconds elapsed, int frameCount)
{
    if (frameCount <= 0 || elapsed.count() < 0)
        return 0;
    const auto shown = elapsed.count() * kFramesPerSecond / nanoseconds(seconds(1)).count();
    return int(shown % frameCount);
}

milliseconds AniTray::delayToNextFrame(nanoseconds elapsed)
{
    const std::int64_t second = nanoseconds(seconds(1)).count();
    const std::int64_t now = std::max<std::int64_t>(elapsed.count(), 0);
    const std::int64_t next = now * kFramesPerSecond / second + 1;
    // Frame k starts at k/12 s, rounded up to the nanosecond.
    const std::int64_t due = (next * second + kFramesPerSecond - 1) / kFramesPerSecond;
    return ceil<milliseconds>(nanoseconds(due - now));
}

QList<QIcon> AniTray::storedFrames()
{
    QList<QIcon> frames;
    for (int i = 0; i < kFrameCount; ++i) {
        const QPixmap frame(
            QStringLiteral(":/pictures/tray/frame-%1.png").arg(i, 2, 10, QChar(u'0')));
        if (frame.isNull())
            return {};
        frames.append(QIcon(frame));
    }
    return frames;
}
