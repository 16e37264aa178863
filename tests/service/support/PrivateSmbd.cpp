#include "PrivateSmbd.h"

#include "VorelindProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTcpSocket>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

PrivateSmbd::~PrivateSmbd()
{
    stop();
}

QString PrivateSmbd::log() const
{
    QFile file(m_work.filePath(QStringLiteral("smbd.out")));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool PrivateSmbd::start(const QString& messageCommand, bool withNmbd, QString& error)
{
    const QString w = m_work.path();
    ::chmod(QFile::encodeName(w).constData(), 0755);
    for (const char* sub : {"private", "lock", "state", "cache", "pid", "ncalrpc", "usershares",
                            "binddns", "tmp", "messages"})
        QDir(w).mkpath(QLatin1String(sub));
    ::chmod(QFile::encodeName(w + "/tmp").constData(), 01777);
    ::chmod(QFile::encodeName(w + "/messages").constData(), 0777);
    m_port = freeTcpPort();
    const QString guest = ::geteuid() == 0 ? QStringLiteral("nobody")
                                           : qEnvironmentVariable("USER", QStringLiteral("nobody"));
    QFile conf(w + "/smb.conf");
    if (!conf.open(QIODevice::WriteOnly)) {
        error = QStringLiteral("cannot write smb.conf");
        return false;
    }
    conf.write(
        QStringLiteral(
            "[global]\nnetbios name = VTESTSMBD\nworkgroup = VTESTWG\n"
            "server role = standalone server\ninterfaces = 127.0.0.1\n"
            "bind interfaces only = yes\nsmb ports = %1\nserver min protocol = NT1\n"
            "private dir = %2/private\nlock directory = %2/lock\nstate directory = %2/state\n"
            "cache directory = %2/cache\npid directory = %2/pid\nncalrpc dir = %2/ncalrpc\n"
            "usershare path = %2/usershares\nbinddns dir = %2/binddns\nlog file = %2/log.%m\n"
            "passdb backend = tdbsam:%2/private/passdb.tdb\nload printers = no\n"
            "printing = bsd\nprintcap name = /dev/null\ndisable spoolss = yes\n"
            "map to guest = bad user\nguest account = %3\nlocal master = no\n"
            "dns proxy = no\nwins support = no\nmessage command = %4\n")
            .arg(m_port)
            .arg(w, guest, messageCommand)
            .toUtf8());
    conf.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), w + "/tmp");
    for (QProcess* process : {&m_smbd, &m_nmbd}) {
        process->setProcessEnvironment(environment);
        process->setStandardOutputFile(w + (process == &m_smbd ? "/smbd.out" : "/nmbd.out"));
    }
    // -F keeps them in the foreground, each in a session of its own.
    const QStringList arguments{"-F", "--debug-stdout", "-s", w + "/smb.conf"};
    m_smbd.start(QStringLiteral("/usr/sbin/smbd"), arguments);
    if (withNmbd)
        m_nmbd.start(QStringLiteral("/usr/sbin/nmbd"), arguments);
    if (!m_smbd.waitForStarted(5000) || (withNmbd && !m_nmbd.waitForStarted(5000))) {
        error = QStringLiteral("smbd or nmbd did not start (package samba)");
        return false;
    }
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && m_smbd.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), m_port);
        if (probe.waitForConnected(500))
            return true;
        QThread::msleep(50);
    }
    error = QStringLiteral("smbd did not listen: ") + log();
    return false;
}

void PrivateSmbd::stop()
{
    for (QProcess* process : {&m_smbd, &m_nmbd}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(8000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
}
