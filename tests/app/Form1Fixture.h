#pragma once

// A real Form1 with its platform services faked and recording, and a real settings file in a
// private config directory.

#include "app/Form1.h"
#include "platform/dialogs/MessageBox.h"
#include "platform/messenger/Messenger.h"
#include "platform/pointer/BusyPointer.h"
#include "platform/registry/IniRegistry.h"
#include "platform/tray/Tray.h"
#include "settings/RecipientBox.h"
#include "settings/SettingsStore.h"

#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct SentMessage
{
    std::optional<std::u16string> server;
    std::optional<std::u16string> recipient;
    std::optional<std::u16string> sender;
    QString text;
};

class RecordingMessenger final : public Messenger
{
public:
    std::int32_t NetMessageBufferSend(const char16_t* servername, const char16_t* msgname,
                                      const char16_t* fromname, const std::uint8_t* buf,
                                      std::uint32_t buflen) override
    {
        if (failure)
            throw std::runtime_error(*failure);
        const auto copy = [](const char16_t* s) {
            return s ? std::optional<std::u16string>(s) : std::nullopt;
        };
        QString text;
        for (std::uint32_t i = 0; i + 1 < buflen; i += 2)
            text.append(QChar(char16_t(buf[i] | (buf[i + 1] << 8))));
        sent.push_back({copy(servername), copy(msgname), copy(fromname), text});
        return result;
    }

    std::int32_t result = 0;
    // When set, the call raises this description instead of sending.
    std::optional<std::string> failure;
    std::vector<SentMessage> sent;
};

class QuietBusyPointer final : public BusyPointer
{
public:
    void showWait() override {}
    void showDefault() override {}
};

// A notification area that comes and goes as the test says.
class FakeTray final : public Tray
{
public:
    void show() override { ++shown; }
    void startAnimation() override { ++animated; }
    bool isAvailable() const override { return available; }
    void setUserActionHandler(UserAction handler) override { act = std::move(handler); }

    bool available = true;
    int shown = 0;
    int animated = 0;
    UserAction act;
};

struct ShownBox
{
    QString text;
    QString title;
    MessageBox::Icon icon;
};

// Answers every box at once, as a user pressing OK would.
class RecordingMessageBox final : public MessageBox
{
public:
    void show(QWidget*, const QString& text, const QString& title, Icon icon) override
    {
        shown.push_back({text, title, icon});
    }

    std::vector<ShownBox> shown;
};

struct Form1Fixture
{
    // Short, so that tests await the status clearing and the tray check without long waits.
    static constexpr int kStatusClearMs = 50;
    static constexpr int kTrayPollMs = 20;

    explicit Form1Fixture(bool hideOnMinimize = true,
                          QString address = QStringLiteral("192.168.0.5"),
                          Messenger* otherMessenger = nullptr, MessageBox* otherBoxes = nullptr)
    {
        qputenv("XDG_CONFIG_HOME", configHome.path().toLocal8Bit());
        const auto localAddress = [this, address] {
            if (addressFailure)
                throw std::runtime_error(*addressFailure);
            return address;
        };
        form = std::make_unique<Form1>(Form1::Services{
            otherMessenger ? *otherMessenger : messenger, pointer, otherBoxes ? *otherBoxes : boxes,
            settings, tray, localAddress, [] { return QStringLiteral("MYHOST"); }, hideOnMinimize,
            kStatusClearMs, kTrayPollMs});
    }

    void showActive() const
    {
        form->show();
        QVERIFY(QTest::qWaitForWindowActive(form.get()));
    }

    template <typename T = QWidget> T* control(const char* name) const
    {
        return form->findChild<T*>(QLatin1String(name));
    }

    QTemporaryDir configHome;
    RecordingMessenger messenger;
    QuietBusyPointer pointer;
    RecordingMessageBox boxes;
    FakeTray tray;
    IniRegistry registry;
    SettingsStore settings{registry};
    // When set, looking up the local address raises this description.
    std::optional<std::string> addressFailure;
    std::unique_ptr<Form1> form;
};
