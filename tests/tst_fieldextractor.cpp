#include "fieldextractor.h"
#include "resultline.h"

#include <QTest>

namespace {

constexpr QChar Esc = QChar(0x1b);

// A record body whose filler characters name their own position (position p holds U+4E00 + p),
// so that any cut shows where it came from. Position 1 holds ACK; each marker position gets a
// comma before it and an ESC on it; each ESC position gets a bare ESC.
QString makeBody(const QList<int>& markers, const QList<int>& escs, int length = 200)
{
    QString body;
    for (int p = 1; p <= length; ++p)
        body += QChar(0x4E00 + p);
    body[0] = QChar(0x06);
    for (int m : markers) {
        body[m - 2] = QLatin1Char(',');
        body[m - 1] = Esc;
    }
    for (int e : escs)
        body[e - 1] = Esc;
    return body;
}

// Writes text over the body from 1-based position p.
QString place(QString body, int p, const QString& text)
{
    body.replace(p - 1, text.size(), text);
    return body;
}

// The characters at 1-based positions from..to, both included.
QString span(const QString& body, int from, int to) { return body.mid(from - 1, to - from + 1); }

// ACK, 22 characters of record header, the ID at 24, then the fields as the instrument sends
// them, each a marker, a three-character tag, the value and a closing ESC, padded with spaces to
// 178 characters.
QString realisticBody(const QStringList& values)
{
    QString body = QChar(0x06) + QString(22, QLatin1Char('0')) + QStringLiteral("  123");
    for (int k = 0; k < values.size(); ++k)
        body += QStringLiteral(",") + Esc + QStringLiteral("F%1:").arg(k + 1) + values[k] + Esc;
    return body + QString(std::max<qsizetype>(0, 178 - body.size()), QLatin1Char(' '));
}

const QStringList Person { QStringLiteral("0001"), QString::fromUtf8("見本氏名"),
    QString::fromUtf8("ﾐﾎﾝ ﾀﾛｳ "), QStringLiteral("S45. 3.12"), QStringLiteral("2"),
    QStringLiteral("A"), QStringLiteral("B") };

// The usual layout: markers 20, 40, 70, 95 and 110, each field closed by an ESC.
const QList<int> Markers { 20, 40, 70, 95, 110 };
const QList<int> Ends { 35, 55, 80, 105, 112 };

}

class TestFieldExtractor : public QObject {
    Q_OBJECT

private slots:
    void shouldCutFieldsAtMarkerPositions_data();
    void shouldCutFieldsAtMarkerPositions();
    void shouldRejectRecordLackingNeededMarker_data();
    void shouldRejectRecordLackingNeededMarker();
    void shouldFillEveryFieldOfRealisticRecord();
    void shouldPassOnlyWellFormedRecordsToResultLine_data();
    void shouldPassOnlyWellFormedRecordsToResultLine();
};

void TestFieldExtractor::shouldCutFieldsAtMarkerPositions_data()
{
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("kanji");
    QTest::addColumn<QString>("kana");
    QTest::addColumn<QString>("birthDate");
    QTest::addColumn<QString>("gender");

    // Kanji window 40 characters from 44, cut at the ESC at 55; kana window 80 characters from
    // 74, holding no space so it stays whole; date 9 characters from 99; gender at 114.
    const QString usual = makeBody(Markers, Ends);
    QTest::newRow("markers 20 40 70 95 110")
        << usual << span(usual, 24, 28) << span(usual, 44, 54) << span(usual, 74, 153)
        << span(usual, 99, 107) << span(usual, 114, 114);

    // Marker 3 right after marker 2 and closed at once: the kanji window (end 3 less start 2,
    // here 3 characters from 44) holds no ESC, so its length shows.
    const QString tight = makeBody({ 20, 40, 42, 95, 110 }, { 35, 43, 105, 112 });
    QTest::newRow("kanji window runs to end of third field")
        << tight << span(tight, 24, 28) << span(tight, 44, 46) << span(tight, 46, 88)
        << span(tight, 99, 107) << span(tight, 114, 114);

    const QString many = makeBody({ 20, 40, 70, 95, 110, 130, 140, 150, 160, 170, 180 }, Ends);
    QTest::newRow("eleven markers use the first five")
        << many << span(many, 24, 28) << span(many, 44, 54) << span(many, 74, 153)
        << span(many, 99, 107) << span(many, 114, 114);

    // A bare ESC at 50 closes the kanji field; the bare ESCs at 60 and 75 are not markers, so the
    // third marker is still the one at 70 and its field is closed by the ESC at 75.
    const QString bare = makeBody(Markers, { 35, 50, 60, 75, 105, 112 });
    QTest::newRow("bare ESC ends field but is no marker")
        << bare << span(bare, 24, 28) << span(bare, 44, 49) << span(bare, 74, 148)
        << span(bare, 99, 107) << span(bare, 114, 114);

    const QString comma = place(
        makeBody({ 20, 40, 49, 95, 110 }, { 35, 80, 105, 112 }), 44, QString::fromUtf8("見本氏名"));
    QTest::newRow("comma before next marker stays in kanji")
        << comma << span(comma, 24, 28) << QString::fromUtf8("見本氏名,") << span(comma, 53, 132)
        << span(comma, 99, 107) << span(comma, 114, 114);

    // The third field closed at 90 leaves room to write kana names over the filler at 74.
    const QString roomy = makeBody(Markers, { 35, 55, 90, 105, 112 });
    // A null expectation stands for the whole 90-character window from 74.
    const auto kanaRow = [&roomy](const char* tag, const char* kana, const QString& expected) {
        const QString body = place(roomy, 74, QString::fromUtf8(kana));
        QTest::newRow(tag) << body << span(roomy, 24, 28) << span(roomy, 44, 54)
                           << (expected.isNull() ? span(body, 74, 163) : expected)
                           << span(roomy, 99, 107) << span(roomy, 114, 114);
    };
    kanaRow("kana cut before second space", "ヤマダ タロウ   ", QString::fromUtf8("ヤマダ タロウ"));
    kanaRow("kana with one space stays whole", "ヤマダ タロウ", QString());
    kanaRow("kana full-width space does not count", "ヤマダ　タロウ  ",
        QString::fromUtf8("ヤマダ　タロウ "));
}

void TestFieldExtractor::shouldCutFieldsAtMarkerPositions()
{
    QFETCH(QString, body);
    QFETCH(QString, id);
    QFETCH(QString, kanji);
    QFETCH(QString, kana);
    QFETCH(QString, birthDate);
    QFETCH(QString, gender);

    const std::optional<PersonFields> fields = FieldExtractor::extract(body);
    QVERIFY(fields);
    QCOMPARE(fields->id, id);
    QCOMPARE(fields->kanjiName, kanji);
    QCOMPARE(fields->kanaName, kana);
    QCOMPARE(fields->birthDate, birthDate);
    QCOMPARE(fields->gender, gender);
}

void TestFieldExtractor::shouldRejectRecordLackingNeededMarker_data()
{
    QTest::addColumn<QString>("body");

    QTest::newRow("no marker") << makeBody({}, {});
    QTest::newRow("marker 2 missing") << makeBody({ 20 }, { 35 });
    QTest::newRow("marker 3 missing") << makeBody({ 20, 40 }, { 35, 55 });
    QTest::newRow("marker 4 missing") << makeBody({ 20, 40, 70 }, { 35, 55, 80 });
    QTest::newRow("marker 5 missing") << makeBody({ 20, 40, 70, 95 }, { 35, 55, 80, 105 });
    QTest::newRow("no ESC after marker 3") << makeBody({ 20, 40, 70 }, { 35, 55 });
    QTest::newRow("bare ESCs in place of marker 5")
        << makeBody({ 20, 40, 70, 95 }, { 35, 55, 80, 105, 110, 120 });
}

void TestFieldExtractor::shouldRejectRecordLackingNeededMarker()
{
    QFETCH(QString, body);
    QVERIFY(!FieldExtractor::extract(body));
}

void TestFieldExtractor::shouldFillEveryFieldOfRealisticRecord()
{
    const std::optional<PersonFields> fields = FieldExtractor::extract(realisticBody(Person));
    QVERIFY(fields);
    QCOMPARE(fields->id, QStringLiteral("  123"));
    QCOMPARE(fields->idItem, QStringLiteral("00123 "));
    QCOMPARE(fields->kanjiName, QString::fromUtf8("見本氏名"));
    QCOMPARE(fields->kanaName, QString::fromUtf8("ﾐﾎﾝ ﾀﾛｳ"));
    QCOMPARE(fields->birthDate, QStringLiteral("S45. 3.12"));
    QCOMPARE(fields->birthDateConverted, QStringLiteral("1970/03/12 "));
    QCOMPARE(fields->gender, QStringLiteral("2"));
}

void TestFieldExtractor::shouldPassOnlyWellFormedRecordsToResultLine_data()
{
    QTest::addColumn<QString>("body");
    // Null when the record must be refused.
    QTest::addColumn<QByteArray>("line");

    const auto with = [](int field, const QString& value) {
        QStringList values = Person;
        values[field] = value;
        return realisticBody(values);
    };
    const QByteArray kanji("\x8c\xa9\x96\x7b\x8e\x81\x96\xbc");
    QTest::newRow("usual record") << realisticBody(Person)
                                  << "\"00123 \",\"S45. 3.12\",\"" + kanji + "\",\"2\"\r\n";
    QTest::newRow("date that reads as no date") << with(
        3, QStringLiteral("X99.99.99")) << "\"00123 \",\"X99.99.99\",\"" + kanji + "\",\"2\"\r\n";
    QTest::newRow("empty kanji name")
        << with(1, QString()) << QByteArray("\"00123 \",\"S45. 3.12\",\"\",\"2\"\r\n");

    // Each of these once wrote ESCs, another field's text or nothing into the file.
    QTest::newRow("date one character short")
        << with(3, QStringLiteral("S45.3.12")) << QByteArray();
    QTest::newRow("empty gender") << with(4, QString()) << QByteArray();
    QTest::newRow("comma ends the kanji name")
        << with(1, QString::fromUtf8("見本,")) << QByteArray();
    QStringList swapped = Person;
    swapped.swapItemsAt(2, 3);
    QTest::newRow("kana and date swapped") << realisticBody(swapped) << QByteArray();
    QString storm = realisticBody({ Person[0] });
    storm.replace(30, 40, QStringLiteral(",\x1b").repeated(20));
    QTest::newRow("storm of markers") << storm << QByteArray();
    QTest::newRow("CR LF in the kanji name")
        << with(1, QString::fromUtf8("見\r\n本")) << QByteArray();
    QTest::newRow("quote in the kanji name")
        << with(1, QString::fromUtf8("見\"本")) << QByteArray();
    QTest::newRow("quote in the ID")
        << place(realisticBody(Person), 26, QStringLiteral("\"")) << QByteArray();
    const QString full = realisticBody(Person);
    QTest::newRow("body ends before the gender")
        << full.left(full.indexOf(QStringLiteral("F5:")) + 3) << QByteArray();
}

void TestFieldExtractor::shouldPassOnlyWellFormedRecordsToResultLine()
{
    QFETCH(QString, body);
    QFETCH(QByteArray, line);

    const std::optional<PersonFields> fields = FieldExtractor::extract(body);
    const std::optional<QByteArray> built = fields ? ResultLine::build(*fields) : std::nullopt;
    QCOMPARE(built.value_or(QByteArray()), line);
}

QTEST_GUILESS_MAIN(TestFieldExtractor)
#include "tst_fieldextractor.moc"
