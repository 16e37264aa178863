#include "HexBytes.h"
#include "protocol/FrameReader.h"

#include <QTest>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Keep-alive, positive session response, keep-alive, a 35-byte session message, keep-alive.
Bytes conversation()
{
    return concat({hexBytes("85 00 00 00"), hexBytes("82 00 00 00"), hexBytes("85 00 00 00"),
                   hexBytes("00 00 00 23 FF 53 4D 42 D5"), Bytes(30, 0x11),
                   hexBytes("85 00 00 00")});
}

struct Collected
{
    std::vector<SessionFrame> frames;
    FrameReader::Status last = FrameReader::Status::NeedMore;
};

Collected feed(FrameReader& reader, const Bytes& stream, std::size_t chunk)
{
    Collected out;
    for (std::size_t offset = 0; offset < stream.size(); offset += chunk) {
        const std::size_t size = std::min(chunk, stream.size() - offset);
        reader.append(std::span(stream).subspan(offset, size));
        SessionFrame frame;
        while ((out.last = reader.next(frame)) == FrameReader::Status::Frame)
            out.frames.push_back(frame);
        if (out.last != FrameReader::Status::NeedMore)
            break;
    }
    return out;
}

} // namespace

Q_DECLARE_METATYPE(Bytes)

class TestFrameReader : public QObject
{
    Q_OBJECT

private slots:
    void reassemblesFromAnyChunking_data();
    void reassemblesFromAnyChunking();
    void refusesFramesBeyondTheBound_data();
    void refusesFramesBeyondTheBound();
    void staysFailedUntilCleared();
};

void TestFrameReader::reassemblesFromAnyChunking_data()
{
    QTest::addColumn<Bytes>("stream");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QStringList>("frames"); // type, then body, in hex

    // The keep-alives are gone.
    const QStringList talk{"82 ",
                           "00 " + hexText(concat({hexBytes("FF 53 4D 42 D5"), Bytes(30, 0x11)}))};
    QTest::newRow("one byte at a time") << conversation() << 1 << talk;
    QTest::newRow("three bytes") << conversation() << 3 << talk;
    QTest::newRow("header-sized") << conversation() << 4 << talk;
    QTest::newRow("seven bytes") << conversation() << 7 << talk;
    QTest::newRow("all at once") << conversation() << 4096 << talk;
    Bytes flood;
    for (int i = 0; i < 20000; ++i)
        flood.insert(flood.end(), {0x85, 0x00, 0x00, 0x00});
    const Bytes twice = concat({flood, conversation(), flood, conversation()});
    QTest::newRow("after a flood of keep-alives, as recv hands them over")
        << twice << 4096 << talk + talk;
    QTest::newRow("after a flood of keep-alives, cut inside headers")
        << twice << 4093 << talk + talk;
}

void TestFrameReader::reassemblesFromAnyChunking()
{
    QFETCH(Bytes, stream);
    QFETCH(int, chunk);
    QFETCH(QStringList, frames);
    FrameReader reader(512);
    const Collected got = feed(reader, stream, std::size_t(chunk));
    QCOMPARE(got.last, FrameReader::Status::NeedMore);
    QStringList read;
    for (const SessionFrame& frame : got.frames)
        read << hexText(std::span(&frame.type, 1)) + " " + hexText(frame.body);
    QCOMPARE(read, frames);
}

void TestFrameReader::refusesFramesBeyondTheBound_data()
{
    QTest::addColumn<QString>("header");
    QTest::addColumn<int>("status");
    QTest::newRow("128 KiB announced (E bit)")
        << "00 01 FF FF" << int(FrameReader::Status::Oversized);
    QTest::newRow("64 KiB announced") << "00 00 FF FF" << int(FrameReader::Status::Oversized);
    QTest::newRow("one over the bound") << "00 00 02 01" << int(FrameReader::Status::Oversized);
    QTest::newRow("keep-alive with a huge body")
        << "85 01 00 00" << int(FrameReader::Status::Oversized);
    QTest::newRow("reserved flag bit") << "00 02 00 00" << int(FrameReader::Status::Malformed);
    QTest::newRow("text instead of a frame")
        << "48 54 54 50" << int(FrameReader::Status::Malformed);
}

void TestFrameReader::refusesFramesBeyondTheBound()
{
    QFETCH(QString, header);
    QFETCH(int, status);
    FrameReader reader(512);
    // Refused as soon as the header is in: no waiting for a body that may never come.
    const Collected got = feed(reader, hexBytes(header.toLatin1().constData()), 1);
    QVERIFY(got.frames.empty());
    QCOMPARE(int(got.last), status);

    FrameReader exact(512);
    const Collected fits = feed(exact, concat({hexBytes("00 00 02 00"), Bytes(512, 0)}), 100);
    QCOMPARE(fits.frames.size(), std::size_t(1));
}

// Refused for good, even a fine frame after it, until cleared.
void TestFrameReader::staysFailedUntilCleared()
{
    FrameReader reader(512);
    reader.append(hexBytes("00 01 00 00 82"));
    SessionFrame frame;
    QCOMPARE(reader.next(frame), FrameReader::Status::Oversized);
    reader.append(hexBytes("82 00 00 00"));
    QCOMPARE(reader.next(frame), FrameReader::Status::Oversized);
    reader.clear();
    reader.append(hexBytes("83 00 00 01 82"));
    QCOMPARE(reader.next(frame), FrameReader::Status::Frame);
    QCOMPARE(frame.type, std::uint8_t(0x83));
}

QTEST_APPLESS_MAIN(TestFrameReader)
#include "tst_framereader.moc"
