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

class TestFrameReader : public QObject
{
    Q_OBJECT

private slots:
    void reassemblesFromAnyChunking_data();
    void reassemblesFromAnyChunking();
    void refusesFramesBeyondTheBound_data();
    void refusesFramesBeyondTheBound();
    void findsTheFrameAfterAFloodOfKeepAlives_data();
    void findsTheFrameAfterAFloodOfKeepAlives();
    void staysFailedUntilCleared();
};

void TestFrameReader::reassemblesFromAnyChunking_data()
{
    QTest::addColumn<int>("chunk");
    QTest::newRow("one byte at a time") << 1;
    QTest::newRow("three bytes") << 3;
    QTest::newRow("header-sized") << 4;
    QTest::newRow("seven bytes") << 7;
    QTest::newRow("all at once") << 4096;
}

void TestFrameReader::reassemblesFromAnyChunking()
{
    QFETCH(int, chunk);
    FrameReader reader(512);
    const Collected got = feed(reader, conversation(), std::size_t(chunk));
    QCOMPARE(got.last, FrameReader::Status::NeedMore);
    QCOMPARE(got.frames.size(), std::size_t(2)); // the keep-alives are gone
    QCOMPARE(got.frames[0].type, std::uint8_t(0x82));
    QVERIFY(got.frames[0].body.empty());
    QCOMPARE(got.frames[1].type, std::uint8_t(0x00));
    QCOMPARE(hexText(got.frames[1].body),
             hexText(concat({hexBytes("FF 53 4D 42 D5"), Bytes(30, 0x11)})));
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

void TestFrameReader::findsTheFrameAfterAFloodOfKeepAlives_data()
{
    QTest::addColumn<int>("chunk");
    QTest::newRow("as recv hands them over") << 4096;
    QTest::newRow("cut inside headers") << 4093;
}

void TestFrameReader::findsTheFrameAfterAFloodOfKeepAlives()
{
    QFETCH(int, chunk);
    Bytes stream;
    for (int i = 0; i < 20000; ++i)
        stream.insert(stream.end(), {0x85, 0x00, 0x00, 0x00});
    stream = concat({stream, conversation(), stream, conversation()});
    FrameReader reader(512);
    const Collected got = feed(reader, stream, std::size_t(chunk));
    QCOMPARE(got.last, FrameReader::Status::NeedMore);
    QCOMPARE(got.frames.size(), std::size_t(4));
    QCOMPARE(got.frames[3].type, std::uint8_t(0x00));
    QCOMPARE(got.frames[3].body.size(), std::size_t(35));
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
