#include <QFile>
#include <QTest>
#include <QTranslator>
#include <QXmlStreamReader>

// Every message reccap writes has its Japanese text, and the program carries it: a message left
// unfinished in the .ts, or a .qm that never made it into the program, would reach a Japanese
// operator in English without anyone noticing.
class TestTranslations : public QObject {
    Q_OBJECT

private slots:
    void shouldCarryFinishedJapaneseForEveryMessage_data();
    void shouldCarryFinishedJapaneseForEveryMessage();
};

void TestTranslations::shouldCarryFinishedJapaneseForEveryMessage_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("translation");
    QTest::addColumn<bool>("finished");

    QFile ts(QStringLiteral(RECCAP_TS));
    QVERIFY2(ts.open(QIODevice::ReadOnly), qPrintable(ts.fileName()));
    QXmlStreamReader xml(&ts);
    QString context;
    QString source;
    int messages = 0;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("source")) {
            source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            const bool finished = xml.attributes().value(QLatin1String("type")).isEmpty();
            const QString translation = xml.readElementText();
            QTest::addRow("%s: %s", qPrintable(context), qPrintable(source.left(40)))
                << context << source << translation << finished;
            ++messages;
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(messages > 0);
}

void TestTranslations::shouldCarryFinishedJapaneseForEveryMessage()
{
    QFETCH(QString, context);
    QFETCH(QString, source);
    QFETCH(QString, translation);
    QFETCH(bool, finished);

    QVERIFY2(finished, "marked unfinished");
    QVERIFY(!translation.trimmed().isEmpty());
    QVERIFY(translation != source);
    // A placeholder lost in translation would drop the path or the reason from the message.
    for (int n = 1; n <= 9; ++n) {
        const QString marker = QLatin1Char('%') + QString::number(n);
        QCOMPARE(translation.contains(marker), source.contains(marker));
    }
    // The program carries what the .ts says.
    QTranslator embedded;
    QVERIFY(embedded.load(QStringLiteral(":/i18n/reccap_ja.qm")));
    QCOMPARE(embedded.translate(qPrintable(context), qPrintable(source)), translation);
}

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
