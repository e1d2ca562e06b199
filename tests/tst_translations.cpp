#include "commandline.h"
#include "dosdevices.h"
#include "lockfiles.h"
#include "qtserialcontrol.h"
#include "resultfile.h"
#include "startupchecks.h"
#include "translations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
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
    // A message built without the translation system stays English on a Japanese desk.
    void shouldWriteMessagesInJapaneseOnJapaneseDesk_data();
    void shouldWriteMessagesInJapaneseOnJapaneseDesk();
    // The system's locale picks reccap's Japanese and Qt's own (the buttons of its boxes).
    void shouldInstallJapaneseOnJapaneseDesk();
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
            QTest::addRow("%s: %s", qPrintable(context), qPrintable(source))
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

void TestTranslations::shouldWriteMessagesInJapaneseOnJapaneseDesk_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("japanese");

    QTest::newRow("no folder for drive C") << "no c: link, no HOME"
                                           << "ドライブ C のフォルダーがありません";
    QTest::newRow("configuration folder is a file") << "XDG_CONFIG_HOME a file"
                                                    << "がフォルダーではなくファイルのため";
    QTest::newRow("result file on an unmapped drive")
        << "D: unmapped"
        << "結果ファイル D:\\Result.txt に書き込めません";
    QTest::newRow("lock folder taken by a file")
        << "lock folder a file"
        << "このユーザー自身の reccap のロック用フォルダーではありません";
    QTest::newRow("lock file that is a folder") << "lock file a folder"
                                                << "は フォルダー (所有者 ";
    QTest::newRow("port without its device") << "com3 to a missing device"
                                             << ") を開けません: ";
    QTest::newRow("port written while closed") << "write to a closed port"
                                               << "に書き込めません: ポートが閉じています";
    QTest::newRow("--trace without a file name") << "--trace without a name"
                                                 << "--trace にはファイル名が必要です";
    QTest::newRow("result file in a missing folder") << "c: to a missing folder"
                                                     << "結果ファイル C:\\Result.txt (";
}

void TestTranslations::shouldWriteMessagesInJapaneseOnJapaneseDesk()
{
    QFETCH(QString, situation);
    QFETCH(QString, japanese);

    struct Restored {
        QByteArray home = qgetenv("HOME");
        QByteArray config = qgetenv("XDG_CONFIG_HOME");
        ~Restored()
        {
            qputenv("HOME", home);
            qputenv("XDG_CONFIG_HOME", config);
        }
    } restored;
    QTranslator translator;
    QVERIFY(translator.load(QStringLiteral(":/i18n/reccap_ja.qm")));
    QVERIFY(QCoreApplication::installTranslator(&translator));
    struct Removed {
        QTranslator* translator;
        ~Removed() { QCoreApplication::removeTranslator(translator); }
    } removed { &translator };

    const QTemporaryDir home;
    const QString config = home.filePath(QStringLiteral("config"));
    const QString devices = config + QStringLiteral("/reccap/dosdevices");
    QVERIFY(QDir().mkpath(devices));
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));

    QString message;
    if (situation == QLatin1String("no c: link, no HOME")) {
        qunsetenv("HOME");
        message = configurationProblem();
    } else if (situation == QLatin1String("XDG_CONFIG_HOME a file")) {
        QFile file(home.filePath(QStringLiteral("file")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(file.fileName()));
        message = DosDevices::folderProblem();
    } else if (situation == QLatin1String("D: unmapped")) {
        QVERIFY(!ResultFile::checkWritable(QStringLiteral("D:\\Result.txt"), &message));
    } else if (situation == QLatin1String("com3 to a missing device")) {
        QVERIFY(QFile::link(
            home.filePath(QStringLiteral("ttyUSB9")), devices + QStringLiteral("/com3")));
        QtSerialControl port;
        port.setCommPort(3);
        QVERIFY(!port.setPortOpen(true));
        message = port.errorString();
        QVERIFY(message.startsWith(QLatin1String("COM3 (")));
    } else if (situation == QLatin1String("lock folder a file")) {
        QFile file(home.filePath(QStringLiteral("lock")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        message = LockFiles::preparePrivateFolder(file.fileName());
    } else if (situation == QLatin1String("lock file a folder")) {
        message = LockFiles::problem(config, LockFiles::Owner::Us);
    } else if (situation == QLatin1String("write to a closed port")) {
        QtSerialControl port;
        port.setCommPort(3);
        QVERIFY(!port.output(QStringLiteral("ACK")));
        message = port.errorString();
    } else if (situation == QLatin1String("--trace without a name")) {
        const QStringList arguments { QStringLiteral("reccap"), QStringLiteral("--trace") };
        QVERIFY(traceFileName(arguments, {}, &message).isEmpty());
    } else {
        QVERIFY(
            QFile::link(home.filePath(QStringLiteral("gone")), devices + QStringLiteral("/c:")));
        QVERIFY(!ResultFile::checkWritable(QStringLiteral("C:\\Result.txt"), &message));
    }
    QVERIFY2(message.contains(japanese), qPrintable(message));
}

void TestTranslations::shouldInstallJapaneseOnJapaneseDesk()
{
    if (QLocale::system().language() != QLocale::Japanese)
        QSKIP("needs LC_ALL=ja_JP.UTF-8, as ctest runs it");
    installTranslations();
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QStringLiteral("キャンセル"));
    QCOMPARE(QCoreApplication::translate("SingleInstance", "cannot write the lock file %1"),
        QStringLiteral("ロックファイル %1 に書き込めません"));
}

QTEST_GUILESS_MAIN(TestTranslations)
#include "tst_translations.moc"
