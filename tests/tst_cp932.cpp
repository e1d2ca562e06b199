#include "cp932decoder.h"
#include "cp932encoder.h"

#include <QTest>

class TestCp932 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shouldDecodeCodePage932_data();
    void shouldDecodeCodePage932();
    void shouldJoinDoubleByteCharacterSplitAcrossReads();
    void shouldDropHalfCharacterOnReset();
    void shouldFlagUnassignedCodeInLaterRead();
    void shouldEncodeExactlyOrRefuse_data();
    void shouldEncodeExactlyOrRefuse();
    void shouldRoundTripEveryCharacterOfTheCodePage_data();
    void shouldRoundTripEveryCharacterOfTheCodePage();
};

void TestCp932::shouldDecodeCodePage932_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("invalid");

    QTest::newRow("ascii with ack and esc") << QByteArray("\x06"
                                                          "A,\x1b"
                                                          "001~\\")
                                            << QStringLiteral("\u0006A,\u001b001~\\") << false;
    QTest::newRow("controls keep their codes")
        << QByteArray("\x1a\x1c\x7f") << QStringLiteral("\u001a\u001c\u007f") << false;
    QTest::newRow("kanji") << QByteArray("\x8c\xa9\x96\x7b\x8e\x81\x96\xbc")
                           << QStringLiteral("見本氏名") << false;
    QTest::newRow("half-width katakana")
        << QByteArray("\xd0\xce\xdd") << QStringLiteral("ﾐﾎﾝ") << false;
    QTest::newRow("ideographic space")
        << QByteArray("\x81\x40") << QStringLiteral("\u3000") << false;
    QTest::newRow("invalid single bytes")
        << QByteArray("A\x80"
                      "B\xa0"
                      "C\xfd\xfe\xff")
        << QStringLiteral("A\uFFFDB\uFFFDC\uFFFD\uFFFD\uFFFD") << true;
    QTest::newRow("lead byte then ack keeps the ack") << QByteArray("\x8c\x06"
                                                                    "A")
                                                      << QStringLiteral("\uFFFD\u0006A") << true;
    QTest::newRow("unassigned double-byte code among valid ones")
        << QByteArray("\x8c\xa9\x85\x40\x96\x7b") << QStringLiteral("見\uFFFD本") << true;
}

void TestCp932::shouldDecodeCodePage932()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(bool, invalid);

    Cp932Decoder decoder;
    QVERIFY(decoder.isValid());
    QCOMPARE(decoder.decode(bytes), text);
    QCOMPARE(decoder.hasError(), invalid);
}

void TestCp932::shouldJoinDoubleByteCharacterSplitAcrossReads()
{
    const QByteArray bytes("\x06"
                           "ID\x8c\xa9\x96\x7b"
                           "x\xb1\x8e\x81");
    const QString whole = QStringLiteral("\u0006ID見本xｱ氏");
    for (int split = 0; split <= bytes.size(); ++split) {
        Cp932Decoder decoder;
        const QString first = decoder.decode(bytes.left(split));
        const QString second = decoder.decode(bytes.mid(split));
        QCOMPARE(first + second, whole);
        QVERIFY(!decoder.hasError());
    }
    // One byte per read, as a slow line delivers it.
    Cp932Decoder decoder;
    QString joined;
    for (char byte : bytes)
        joined += decoder.decode(QByteArray(1, byte));
    QCOMPARE(joined, whole);
}

void TestCp932::shouldDropHalfCharacterOnReset()
{
    Cp932Decoder decoder;
    QCOMPARE(decoder.decode(QByteArray("A\x8c")), QStringLiteral("A"));
    decoder.reset();
    // Without the reset, 0x8C would pair with 'A' (0x41) into another kanji.
    QCOMPARE(decoder.decode(QByteArray("A")), QStringLiteral("A"));
}

void TestCp932::shouldFlagUnassignedCodeInLaterRead()
{
    // One decoder serves the whole session; the table must not tire after its first read.
    Cp932Decoder decoder;
    QCOMPARE(decoder.decode(QByteArray("\x8c\xa9")), QStringLiteral("見"));
    QVERIFY(!decoder.hasError());
    QCOMPARE(decoder.decode(QByteArray("\x96\x7b\x85\x40")), QStringLiteral("本\uFFFD"));
    QVERIFY(decoder.hasError());
}

void TestCp932::shouldEncodeExactlyOrRefuse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("encodable");

    QTest::newRow("ack") << QStringLiteral("\u0006") << QByteArray("\x06") << true;
    QTest::newRow("controls keep their codes")
        << QStringLiteral("\u001a\u001c\u007f") << QByteArray("\x1a\x1c\x7f") << true;
    QTest::newRow("kanji between quotes")
        << QStringLiteral("\"見本氏名\"") << QByteArray("\"\x8c\xa9\x96\x7b\x8e\x81\x96\xbc\"")
        << true;
    QTest::newRow("half-width katakana")
        << QStringLiteral("ﾐﾎﾝ") << QByteArray("\xd0\xce\xdd") << true;
    QTest::newRow("accented latin") << QStringLiteral("é") << QByteArray() << false;
    QTest::newRow("replacement character") << QStringLiteral("A\uFFFD") << QByteArray() << false;
    QTest::newRow("yen sign has no exact form")
        << QStringLiteral("\u00a5") << QByteArray() << false;
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << QByteArray() << false;
}

void TestCp932::shouldEncodeExactlyOrRefuse()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, encodable);

    const std::optional<QByteArray> encoded = Cp932Encoder::encode(text);
    QCOMPARE(encoded.has_value(), encodable);
    if (encodable)
        QCOMPARE(*encoded, bytes);
}

void TestCp932::shouldRoundTripEveryCharacterOfTheCodePage_data()
{
    QTest::addColumn<int>("firstLead");
    QTest::addColumn<int>("lastLead");
    // How many double-byte characters the code page assigns in the block; -1 where the
    // platforms' tables differ (the user-defined area).
    QTest::addColumn<int>("assigned");

    QTest::newRow("JIS X 0208 symbols, kana, latin, greek, cyrillic") << 0x81 << 0x84 << 524;
    QTest::newRow("rows the code page leaves empty") << 0x85 << 0x86 << 0;
    QTest::newRow("NEC row 13") << 0x87 << 0x87 << 83;
    QTest::newRow("JIS X 0208 level 1 and first level 2 kanji") << 0x88 << 0x9F << 4375;
    QTest::newRow("JIS X 0208 rest of level 2 kanji") << 0xE0 << 0xEA << 1980;
    QTest::newRow("NEC-selected IBM extensions") << 0xED << 0xEE << 374;
    QTest::newRow("user-defined area") << 0xF0 << 0xF9 << -1;
    QTest::newRow("IBM extensions") << 0xFA << 0xFC << 388;
}

void TestCp932::shouldRoundTripEveryCharacterOfTheCodePage()
{
    QFETCH(int, firstLead);
    QFETCH(int, lastLead);
    QFETCH(int, assigned);

    // The result file must carry every character exactly: whatever the decoder reads as a
    // character, the encoder writes back as bytes that read as the same character. Codes with
    // a twin (the NEC and IBM copies of one kanji) may come back as the twin.
    int decoded = 0;
    for (int lead = firstLead; lead <= lastLead; ++lead) {
        for (int trail = 0x40; trail <= 0xFC; ++trail) {
            if (trail == 0x7F)
                continue;
            QByteArray code;
            code.append(char(lead)).append(char(trail));
            Cp932Decoder decoder;
            const QString text = decoder.decode(code);
            QCOMPARE(text.size(), 1);
            if (decoder.hasError()) {
                QCOMPARE(text.at(0), QChar(0xFFFD));
                continue;
            }
            ++decoded;
            const std::optional<QByteArray> bytes = Cp932Encoder::encode(text);
            QVERIFY2(bytes.has_value(), code.toHex().constData());
            Cp932Decoder back;
            QCOMPARE(back.decode(*bytes), text);
        }
    }
    if (assigned >= 0)
        QCOMPARE(decoded, assigned);
}

QTEST_GUILESS_MAIN(TestCp932)
#include "tst_cp932.moc"
