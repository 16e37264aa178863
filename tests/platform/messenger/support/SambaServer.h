#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <vector>

// A throwaway Samba smbd on 127.0.0.1 and a free port with a private configuration, as the
// real receiver of our messages. Each received message lands as one file in messageDir().
class SambaServer
{
public:
    struct Config
    {
        bool messageCommand = true;
        QString minProtocol = QStringLiteral("NT1");
    };

    // One message as the message command got it: the sender as smbd passes it (%f, every
    // byte that is not a letter or digit turned into '_') and the text in UTF-8.
    struct Message
    {
        QString sender;
        QString text;
    };

    SambaServer() = default;
    ~SambaServer();

    static QString smbdPath();

    // Starts smbd and waits (bounded) until it accepts connections.
    bool start(const Config& config, QString& error);
    void stop();
    // Asks smbd to stop without waiting, so that several servers stop side by side.
    void requestStop();

    std::uint16_t port() const { return m_port; }
    QString messageDir() const;
    // The texts of the received messages, oldest first; waits up to timeoutMs for count.
    QStringList waitForMessages(int count, int timeoutMs = 10000) const;
    std::vector<Message> waitForReceived(int count, int timeoutMs = 10000) const;
    void clearMessages() const;
    QString log() const;

private:
    std::unique_ptr<QTemporaryDir> m_work;
    QProcess m_process;
    std::uint16_t m_port = 0;
};

// A started server, or null (with the reason logged as a warning) when it cannot run.
std::unique_ptr<SambaServer> startSambaServer(const SambaServer::Config& config);

// The account a process started by us may run Samba's message command as.
QString sambaGuestAccount();
// A free TCP port on 127.0.0.1 (free when asked; smbd binds it right after).
std::uint16_t freeLoopbackPort();
