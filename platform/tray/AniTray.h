#pragma once

#include "platform/tray/Tray.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>

class QSystemTrayIcon;

// The animated icon in the notification area. Its frames show in stored order, each for
// 1/12 s, and the cycle repeats; the tip text is "Vorelin".
//
// The schedule is anchored to the moment the animation starts, not to the previous tick, so
// late ticks do not add up: a frame that a busy moment made late is skipped rather than the
// whole cycle drifting.
//
// Where no notification area exists (no tray host running), putting up the icon does nothing
// visible and costs nothing; Qt puts it up by itself if a tray host appears later.
class AniTray final : public QObject, public Tray
{
    Q_OBJECT

public:
    static constexpr int kFrameCount = 20;
    // Each frame shows for 5 jiffies of 1/60 s.
    static constexpr int kFramesPerSecond = 12;

    // The frames drawn for the program, from its resources.
    explicit AniTray(QObject* parent = nullptr);
    // Any frames; with none, the icon is put up empty and never animates.
    explicit AniTray(QList<QIcon> frames, QObject* parent = nullptr);

    // Puts up the icon in the notification area with the first frame and the tip text.
    void show() override;
    // Starts the animation from the first frame. Calling it again restarts the cycle.
    void startAnimation() override;
    // Qt has no signal for a tray host that comes or goes; this asks the window system.
    bool isAvailable() const override;
    void setUserActionHandler(UserAction handler) override;

    int currentFrame() const { return m_frame; }

    // The frame due at the given time since the animation started, for a cycle of
    // frameCount frames.
    static int frameAt(std::chrono::nanoseconds elapsed, int frameCount);
    // How long after the given time the next frame is due, rounded up to whole milliseconds
    // so that the tick never comes before it.
    static std::chrono::milliseconds delayToNextFrame(std::chrono::nanoseconds elapsed);

    // The 20 frames of the program's resources; a missing one makes the list empty.
    static QList<QIcon> storedFrames();

signals:
    // The user clicked the icon. reason is the QSystemTrayIcon::ActivationReason, x and y the
    // pointer's place on the screen at that moment.
    void userAction(int reason, int x, int y);

private:
    void showDueFrame();
    void scheduleNextFrame();

    UserAction m_handler;
    QList<QIcon> m_frames;
    QSystemTrayIcon* m_icon;
    QTimer m_timer;
    QElapsedTimer m_clock;
    int m_frame = 0;
};
