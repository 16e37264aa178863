#pragma once

#include "WireBuilders.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpSocket>

#include <cstdint>

// A hand-driven session client for the tests: sends exact bytes, reads answers with bounded
// waits. It can start from a chosen loopback source address.
class RawSession
{
public:
    bool open(std::uint16_t port, const QString& source = QStringLiteral("127.0.0.1"),
              int timeoutMs = 5000)
    {
        m_socket.bind(QHostAddress(source));
        m_socket.connectToHost(QHostAddress::LocalHost, port);
        return m_socket.waitForConnected(timeoutMs);
    }

    bool send(const Wire::Bytes& bytes)
    {
        m_socket.write(reinterpret_cast<const char*>(bytes.data()), qint64(bytes.size()));
        return m_socket.waitForBytesWritten(5000) || m_socket.bytesToWrite() == 0;
    }

    // Reads until count bytes arrived, the peer closed or the deadline passed.
    Wire::Bytes read(std::size_t count, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        // What the socket already took in (say, while a write was awaited) counts first:
        // waitForReadyRead waits only for more.
        m_buffer += m_socket.readAll();
        while (std::size_t(m_buffer.size()) < count && !deadline.hasExpired() &&
               m_socket.state() == QAbstractSocket::ConnectedState) {
            m_socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            m_buffer += m_socket.readAll();
        }
        m_buffer += m_socket.readAll();
        const qsizetype take = std::min<qsizetype>(m_buffer.size(), qsizetype(count));
        Wire::Bytes out(m_buffer.begin(), m_buffer.begin() + take);
        m_buffer.remove(0, take);
        return out;
    }

    Wire::Bytes exchange(const Wire::Bytes& bytes, std::size_t replyBytes, int timeoutMs = 5000)
    {
        return send(bytes) ? read(replyBytes, timeoutMs) : Wire::Bytes{};
    }

    // True once the peer closed, within the deadline.
    bool waitClosed(int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                return true;
            m_socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
            m_buffer += m_socket.readAll();
        }
        return m_socket.state() != QAbstractSocket::ConnectedState;
    }

    bool connected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QTcpSocket& socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_buffer;
};

inline QString hex(const Wire::Bytes& bytes)
{
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()))
            .toHex(' '));
}
