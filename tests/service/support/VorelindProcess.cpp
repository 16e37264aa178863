#include "VorelindProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

namespace {

bool socketAccepts(const QString& path)
{
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    const QByteArray encoded = QFile::encodeName(path);
    if (std::size_t(encoded.size()) >= sizeof where.sun_path)
        return false;
    std::memcpy(where.sun_path, encoded.constData(), std::size_t(encoded.size()) + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok =
        fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

} // namespace

std::uint16_t freeTcpPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof where;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&where), &length) == 0)
        port = ntohs(where.sin_port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

qint64 residentKiBOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

VorelindProcess::VorelindProcess() = default;

VorelindProcess::~VorelindProcess()
{
    stop();
}

QString VorelindProcess::socketPath() const
{
    return m_dir ? m_dir->filePath(QStringLiteral("run/inbox.socket")) : QString();
}

QString VorelindProcess::stateDir() const
{
    return m_dir ? m_dir->filePath(QStringLiteral("state")) : QString();
}

QString VorelindProcess::log() const
{
    QString text;
    for (int i = 1; i <= m_starts; ++i) {
        QFile file(m_dir->filePath(QStringLiteral("vorelind-%1.log").arg(i)));
        if (file.open(QIODevice::ReadOnly))
            text += QString::fromUtf8(file.readAll());
    }
    return text;
}

qint64 VorelindProcess::residentKiB() const
{
    return residentKiBOf(pid());
}

bool VorelindProcess::start(const Options& options, QString& error)
{
    m_options = options;
    if (m_options.port == 0)
        m_options.port = freeTcpPort();
    m_dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/vorelind-XXXXXX"));
    if (!m_dir->isValid() || !QDir(m_dir->path()).mkpath(QStringLiteral("state")) ||
        !QDir(m_dir->path()).mkpath(QStringLiteral("run"))) {
        error = QStringLiteral("cannot make the temporary folders");
        return false;
    }
    return launch(error);
}

bool VorelindProcess::restart(QString& error)
{
    return launch(error);
}

bool VorelindProcess::launch(QString& error)
{
    ++m_starts;
    QStringList arguments{QStringLiteral("--bind"),          m_options.bind,
                          QStringLiteral("--session-port"),  QString::number(m_options.port),
                          QStringLiteral("--state-dir"),     stateDir(),
                          QStringLiteral("--runtime-dir"),   m_dir->filePath(QStringLiteral("run")),
                          QStringLiteral("--computer-name"), m_options.computerName};
    arguments += m_options.extraArguments;
    m_process.setStandardOutputFile(QProcess::nullDevice());
    m_process.setStandardErrorFile(
        m_dir->filePath(QStringLiteral("vorelind-%1.log").arg(m_starts)));
    if (m_options.slowSyncMs > 0) {
        // A slow disk: strace holds every fsync and syncfs, in every thread, and stops at no
        // other call.
        arguments.prepend(QStringLiteral(VORELIND_PATH));
        arguments = QStringLiteral("-f --seccomp-bpf -o /dev/null -e trace=fsync,syncfs -e "
                                   "inject=fsync,syncfs:delay_enter=%1ms --")
                        .arg(m_options.slowSyncMs)
                        .split(QLatin1Char(' ')) +
                    arguments;
        m_process.start(QStringLiteral("strace"), arguments);
    } else {
        m_process.start(QStringLiteral(VORELIND_PATH), arguments);
    }
    if (!m_process.waitForStarted(5000)) {
        error = QStringLiteral("vorelind did not start: ") + m_process.errorString();
        return false;
    }
    // Poll the condition itself, bounded; each pause also notices an early exit.
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (socketAccepts(socketPath()))
            return true;
        if (m_process.waitForFinished(10)) {
            error = QStringLiteral("vorelind exited: ") + log();
            return false;
        }
    }
    error = QStringLiteral("vorelind's socket did not come up: ") + log();
    return false;
}

void VorelindProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Under strace, vorelind itself: strace, ended first, would leave it running.
    ::kill(qint64(pid()), SIGTERM);
    if (!m_process.waitForFinished(5000)) {
        ::kill(qint64(pid()), SIGKILL);
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

void VorelindProcess::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Under strace, vorelind itself: strace ends with it.
    ::kill(qint64(pid()), SIGKILL);
    m_process.waitForFinished(5000);
}

qint64 VorelindProcess::pid() const
{
    const qint64 started = m_process.processId();
    if (m_options.slowSyncMs == 0)
        return started;
    QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(started));
    children.open(QIODevice::ReadOnly);
    const qint64 child = children.readAll().trimmed().split(' ').value(0).toLongLong();
    return child > 0 ? child : started;
}

QList<QJsonObject> VorelindProcess::receiveOnce(QString* error) const
{
    return ::receiveOnce(socketPath(), error);
}

QStringList VorelindProcess::receivedTexts(QString* error) const
{
    QStringList texts;
    for (const QJsonObject& message : receiveOnce(error))
        texts << message[QStringLiteral("text")].toString();
    return texts;
}

std::unique_ptr<VorelindProcess> VorelindProcess::started(const QStringList& extraArguments)
{
    auto service = std::make_unique<VorelindProcess>();
    Options options;
    options.extraArguments = extraArguments;
    QString error;
    if (service->start(options, error))
        return service;
    qWarning("%s", qPrintable(error));
    return nullptr;
}

QList<QJsonObject> receiveOnce(const QString& socketPath, QString* error)
{
    const ProgramRun recv = runProgram(QStringLiteral(VORELIN_RECV_PATH),
                                       {QStringLiteral("--once"), QStringLiteral("--json"),
                                        QStringLiteral("--socket"), socketPath},
                                       {}, 15000);
    QList<QJsonObject> messages;
    if (recv.exitCode != 0) {
        if (error)
            *error = QStringLiteral("vorelin-recv failed: ") + recv.output;
        return messages;
    }
    for (const QByteArray& line : recv.standardOutput.split('\n')) {
        if (!line.isEmpty())
            messages << QJsonDocument::fromJson(line).object();
    }
    return messages;
}

QStringList fields(const QJsonObject& message, const QStringList& keys)
{
    QStringList values;
    for (const QString& key : keys)
        values << message[key].toString();
    return values;
}

ProgramRun runProgram(const QString& program, const QStringList& arguments, const QByteArray& input,
                      int timeoutMs)
{
    QProcess process;
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    ProgramRun run;
    if (process.waitForFinished(timeoutMs)) {
        run.exitCode = process.exitCode();
    } else {
        process.kill();
        process.waitForFinished(2000);
    }
    run.standardOutput = process.readAllStandardOutput();
    run.output = QString::fromUtf8(run.standardOutput + process.readAllStandardError());
    return run;
}
