#pragma once

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>

// vorelind in direct mode in a private temporary folder (state and runtime), on a loopback
// port. start() returns once the local socket accepts connections, which vorelind makes after
// its TCP socket listens; every wait is bounded.
class VorelindProcess
{
public:
    struct Options
    {
        QString computerName = QStringLiteral("VTEST");
        QString bind = QStringLiteral("127.0.0.1");
        std::uint16_t port = 0; // 0: a free one
        QStringList extraArguments;
        // A slow disk: every fsync and syncfs is held this long (under strace), 0: none.
        int slowSyncMs = 0;
    };

    VorelindProcess();
    ~VorelindProcess();

    bool start(const Options& options, QString& error);
    // Started with these extra arguments, or null after a warning that says why.
    static std::unique_ptr<VorelindProcess> started(const QStringList& extraArguments = {});
    // Starts again with the same options, folders and port (after stop() or kill()).
    bool restart(QString& error);
    // SIGTERM, then waits (bounded).
    void stop();
    // SIGKILL, then waits: a crash.
    void kill();

    qint64 pid() const;
    std::uint16_t port() const { return m_options.port; }
    QString socketPath() const;
    QString stateDir() const;
    QString log() const;
    // Resident memory of the running process in KiB, from /proc.
    qint64 residentKiB() const;
    // Whether residentKiB() measures the service: under the sanitizers it measures their
    // quarantine and shadow memory too, which grow with the machine's load.
    static constexpr bool kMemoryMeasurable = !VORELIN_SANITIZED;

    // vorelin-recv --once --json against this service: one object per printed message.
    QList<QJsonObject> receiveOnce(QString* error = nullptr) const;
    // The texts of receiveOnce(), in order.
    QStringList receivedTexts(QString* error = nullptr) const;

private:
    bool launch(QString& error);

    std::unique_ptr<QTemporaryDir> m_dir;
    Options m_options;
    QProcess m_process;
    int m_starts = 0;
};

// vorelin-recv --once --json against the local socket at socketPath.
QList<QJsonObject> receiveOnce(const QString& socketPath, QString* error = nullptr);
// The text of each of these fields of a received message, to compare in one go.
QStringList fields(const QJsonObject& message, const QStringList& keys);

// A finished program: its exit code (-1: not finished in time, then killed), its standard
// output, and that followed by its standard error as text.
struct ProgramRun
{
    int exitCode = -1;
    QByteArray standardOutput;
    QString output;
};
ProgramRun runProgram(const QString& program, const QStringList& arguments,
                      const QByteArray& input = {}, int timeoutMs = 20000);

// A TCP port on 127.0.0.1 that was free when asked.
std::uint16_t freeTcpPort();
// Resident memory of a process in KiB (VmRSS), or -1.
qint64 residentKiBOf(qint64 pid);
