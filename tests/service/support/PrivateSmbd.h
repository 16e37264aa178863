#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>

// A throwaway Samba smbd (and nmbd, when asked) on 127.0.0.1 with a private configuration
// whose every folder lies in a work folder under /tmp that the guest account can reach, as
// Samba's message command runs as that account. Stopped by its own process ids.
class PrivateSmbd
{
public:
    ~PrivateSmbd();

    // messageCommand is written as smb.conf takes it (%s, %f, %m substituted by smbd).
    bool start(const QString& messageCommand, bool withNmbd, QString& error);
    void stop();

    std::uint16_t port() const { return m_port; }
    QString workDir() const { return m_work.path(); }
    qint64 smbdPid() const { return m_smbd.processId(); }
    qint64 nmbdPid() const { return m_nmbd.processId(); }
    QString log() const;

private:
    QTemporaryDir m_work{QStringLiteral("/tmp/vorelin-smbd-XXXXXX")};
    QProcess m_smbd;
    QProcess m_nmbd;
    std::uint16_t m_port = 0;
};
