#include "SambaServer.h"

#include "FakeSessionPeer.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QThread>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool makeDir(const QString& path, QFile::Permissions permissions)
{
    return QDir().mkpath(path) && QFile::setPermissions(path, permissions);
}

constexpr auto kOpenDir = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                          QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
constexpr auto kSharedDir = kOpenDir | QFile::WriteGroup | QFile::WriteOther;

// True when every folder from the root down to path lets others through.
bool traversableByAll(const QString& path)
{
    QDir dir(QFileInfo(path).absoluteFilePath());
    while (true) {
        struct stat info
        {};
        if (::stat(QFile::encodeName(dir.path()).constData(), &info) != 0 ||
            (info.st_mode & S_IXOTH) == 0)
            return false;
        if (dir.isRoot())
            return true;
        dir.setPath(QFileInfo(dir.path()).path());
    }
}

// Where the work folder goes. As root the message command runs as another account, which
// must reach it: a private TMPDIR (0700 parent) would lose every message silently.
QString workBase()
{
    const QString temp = QDir::tempPath();
    if (::geteuid() != 0 || traversableByAll(temp))
        return temp;
    return QStringLiteral("/tmp");
}

} // namespace

QString sambaGuestAccount()
{
    if (::geteuid() == 0)
        return QStringLiteral("nobody");
    const passwd* entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QStringLiteral("nobody");
}

std::uint16_t freeLoopbackPort()
{
    return closedLoopbackPort();
}

SambaServer::~SambaServer()
{
    stop();
}

QString SambaServer::smbdPath()
{
    return QStandardPaths::findExecutable(
        QStringLiteral("smbd"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin"), QStringLiteral("/usr/local/sbin")});
}

QString SambaServer::messageDir() const
{
    return m_work ? m_work->filePath(QStringLiteral("messages")) : QString();
}

bool SambaServer::start(const Config& config, QString& error)
{
    const QString smbd = smbdPath();
    if (smbd.isEmpty()) {
        error = QStringLiteral("smbd is not installed");
        return false;
    }
    m_work = std::make_unique<QTemporaryDir>(workBase() + QStringLiteral("/vorelin-smbd-XXXXXX"));
    const QString w = m_work->path();
    // The message command runs as the guest account: it must reach and write these folders.
    if (!m_work->isValid() || !QFile::setPermissions(w, kOpenDir) ||
        !makeDir(w + QStringLiteral("/messages"), kSharedDir) ||
        !makeDir(w + QStringLiteral("/tmp"), kSharedDir)) {
        error = QStringLiteral("cannot prepare the work folder");
        return false;
    }
    for (const char* sub :
         {"private", "lock", "state", "cache", "pid", "ncalrpc", "usershares", "binddns"})
        QDir().mkpath(w + QLatin1Char('/') + QLatin1String(sub));
    ::chmod(QFile::encodeName(w + QStringLiteral("/tmp")).constData(), 01777);

    m_port = freeLoopbackPort();
    QString conf = QStringLiteral("[global]\n"
                                  "netbios name = VTESTRECV\n"
                                  "workgroup = VTEST\n"
                                  "server role = standalone server\n"
                                  "interfaces = 127.0.0.1\n"
                                  "bind interfaces only = yes\n"
                                  "smb ports = %1\n"
                                  "server min protocol = %2\n"
                                  "private dir = %3/private\n"
                                  "lock directory = %3/lock\n"
                                  "state directory = %3/state\n"
                                  "cache directory = %3/cache\n"
                                  "pid directory = %3/pid\n"
                                  "ncalrpc dir = %3/ncalrpc\n"
                                  "usershare path = %3/usershares\n"
                                  "binddns dir = %3/binddns\n"
                                  "log file = %3/log.smbd\n"
                                  "passdb backend = tdbsam:%3/private/passdb.tdb\n"
                                  "load printers = no\n"
                                  "printing = bsd\n"
                                  "printcap name = /dev/null\n"
                                  "disable spoolss = yes\n"
                                  "map to guest = bad user\n"
                                  "guest account = %4\n")
                       .arg(m_port)
                       .arg(config.minProtocol, w, sambaGuestAccount());
    // smbd escapes every shell character in the command (';', '&', '$' too), so the renaming
    // lives in a script. The sender goes into the file name, SENDER-msg.XXXXXX. smbd answers
    // the end of the message only once the script is done: a quick mv, so none needs '&'.
    if (config.messageCommand) {
        const QString script = w + QStringLiteral("/deliver");
        QFile deliver(script);
        if (!deliver.open(QIODevice::WriteOnly) ||
            deliver.write(QStringLiteral("#!/bin/sh\n/bin/mv \"$1\" \"%1/messages/$2-${1##*/}\"\n")
                              .arg(w)
                              .toUtf8()) < 0 ||
            !deliver.setPermissions(kOpenDir)) {
            error = QStringLiteral("cannot write the message command");
            return false;
        }
        conf += QStringLiteral("message command = %1 %s %f\n").arg(script);
    }
    QFile file(w + QStringLiteral("/smb.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(conf.toUtf8()) < 0) {
        error = QStringLiteral("cannot write smb.conf");
        return false;
    }
    file.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), w + QStringLiteral("/tmp"));
    m_process.setProcessEnvironment(environment);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(w + QStringLiteral("/smbd.out"));
    // -F keeps smbd in the foreground but in a session of its own, so that its shutdown signal
    // to its process group never reaches us.
    m_process.start(smbd, {QStringLiteral("-F"), QStringLiteral("--debug-stdout"),
                           QStringLiteral("-s"), file.fileName()});
    if (!m_process.waitForStarted(5000)) {
        error = QStringLiteral("smbd did not start");
        return false;
    }

    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
        if (probe.waitForConnected(500)) {
            probe.disconnectFromHost();
            return true;
        }
        QThread::msleep(100);
    }
    error = QStringLiteral("smbd did not listen on port %1:\n%2").arg(m_port).arg(log());
    stop();
    return false;
}

void SambaServer::requestStop()
{
    if (m_process.state() != QProcess::NotRunning)
        m_process.terminate();
}

void SambaServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(8000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

std::vector<SambaServer::Message> SambaServer::waitForReceived(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QDir dir(messageDir());
    while (true) {
        const QFileInfoList files = dir.entryInfoList(QDir::Files, QDir::Time | QDir::Reversed);
        if (files.size() >= count || deadline.hasExpired()) {
            std::vector<Message> messages;
            for (const QFileInfo& info : files) {
                QFile file(info.filePath());
                if (!file.open(QIODevice::ReadOnly))
                    continue;
                const QString name = info.fileName();
                const qsizetype dash = name.lastIndexOf(QStringLiteral("-msg."));
                messages.push_back({dash >= 0 ? name.left(dash) : QString(),
                                    QString::fromUtf8(file.read(1 << 20))});
            }
            return messages;
        }
        QThread::msleep(20);
    }
}

QStringList SambaServer::waitForMessages(int count, int timeoutMs) const
{
    QStringList texts;
    for (const Message& message : waitForReceived(count, timeoutMs))
        texts << message.text;
    return texts;
}

void SambaServer::clearMessages() const
{
    QDir dir(messageDir());
    for (const QString& name : dir.entryList(QDir::Files))
        dir.remove(name);
}

QString SambaServer::log() const
{
    if (!m_work)
        return QString();
    QFile file(m_work->filePath(QStringLiteral("smbd.out")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().right(4000))
                                          : QString();
}

std::unique_ptr<SambaServer> startSambaServer(const SambaServer::Config& config)
{
    auto server = std::make_unique<SambaServer>();
    QString error;
    if (!server->start(config, error)) {
        qWarning().noquote() << error;
        return nullptr;
    }
    return server;
}
