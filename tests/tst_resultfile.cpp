#include "resultfile.h"
#include "resultline.h"
#include "tempdosdevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

Q_DECLARE_METATYPE(PersonFields)

namespace {

// The example record, byte for byte: "00123 ", "S45.03.12", "見本氏名", "2".
const QByteArray ExampleLine = QByteArray::fromHex(
    "22303031323320222C225334352E30332E3132222C228CA9967B8E8196BC222C2232220D0A");

PersonFields sampleFields()
{
    PersonFields fields;
    fields.id = QStringLiteral("  123");
    fields.idItem = QStringLiteral("00123 ");
    fields.birthDate = QStringLiteral("S45.03.12");
    fields.birthDateConverted = QStringLiteral("1970/03/12 ");
    fields.kanjiName = QString::fromUtf8("見本氏名");
    fields.kanaName = QString::fromUtf8("ミホン シメイ");
    fields.gender = QStringLiteral("2");
    return fields;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

}

class TestResultFile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void shouldBuildLineOrRefuseIt_data();
    void shouldBuildLineOrRefuseIt();

    void shouldWriteExampleRecordAsThirtySevenBytes();
    void shouldKeepOnlyLatestLine();
    void shouldReportUnwritableTargetAndKeepWhatWasThere_data();
    void shouldReportUnwritableTargetAndKeepWhatWasThere();
    void shouldKeepPreviousLineWhenWriteFails();
    void shouldRewriteEveryRecordKeepingModeOwnerAndGroup_data();
    void shouldRewriteEveryRecordKeepingModeOwnerAndGroup();

private:
    TempDosDevices m_devices;
};

void TestResultFile::initTestCase() { QVERIFY(m_devices.isValid()); }

void TestResultFile::init()
{
    // Each test starts from an empty drive that may be written.
    QVERIFY(QFile::setPermissions(
        m_devices.drive(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    QDir drive(m_devices.drive());
    for (const QFileInfo& entry : drive.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        QFile::setPermissions(
            entry.filePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (entry.isDir())
            QVERIFY(QDir(entry.filePath()).removeRecursively());
        else
            QVERIFY(QFile::remove(entry.filePath()));
    }
}

void TestResultFile::shouldBuildLineOrRefuseIt_data()
{
    QTest::addColumn<PersonFields>("fields");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("example record") << sampleFields() << ExampleLine;

    PersonFields empty = sampleFields();
    empty.kanjiName.clear();
    QTest::newRow("empty kanji name")
        << empty << QByteArray("\"00123 \",\"S45.03.12\",\"\",\"2\"\r\n");

    // The date goes in as sent, readable or not, and no value is trimmed.
    PersonFields odd = sampleFields();
    odd.birthDate = QStringLiteral("X45.03.12");
    odd.kanjiName = QString::fromUtf8("　見本 ");
    QTest::newRow("date as sent, nothing trimmed")
        << odd << QByteArray("\"00123 \",\"X45.03.12\",\"\x81\x40\x8C\xA9\x96{ \",\"2\"\r\n");

    // Refused outright: a stand-in character would put a wrong name on a person's record.
    PersonFields accented = sampleFields();
    accented.kanjiName = QString::fromUtf8("Ren\u00e9");
    QTest::newRow("accented letter refused") << accented << QByteArray();
    PersonFields replaced = sampleFields();
    replaced.kanjiName = QString::fromUtf8("見\uFFFD氏名");
    QTest::newRow("replacement character refused") << replaced << QByteArray();
}

void TestResultFile::shouldBuildLineOrRefuseIt()
{
    QFETCH(PersonFields, fields);
    QFETCH(QByteArray, expected);
    QCOMPARE(ResultLine::build(fields).value_or(QByteArray()), expected);
}

void TestResultFile::shouldWriteExampleRecordAsThirtySevenBytes()
{
    const std::optional<QByteArray> line = ResultLine::build(sampleFields());
    QVERIFY(line);
    QString error;
    QVERIFY2(ResultFile::write(QStringLiteral("C:\\Result.txt"), *line, &error), qPrintable(error));
    QCOMPARE(readAll(m_devices.resultFile()), ExampleLine);
}

void TestResultFile::shouldKeepOnlyLatestLine()
{
    QString error;
    QVERIFY2(ResultFile::write(QStringLiteral("C:\\Result.txt"), "\"first record\"\r\n", &error),
        qPrintable(error));
    QVERIFY2(ResultFile::write(QStringLiteral("C:\\Result.txt"), "\"two\"\r\n", &error),
        qPrintable(error));
    QCOMPARE(readAll(m_devices.resultFile()), QByteArray("\"two\"\r\n"));
    QCOMPARE(QDir(m_devices.drive()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("Result.txt") });
}

void TestResultFile::shouldReportUnwritableTargetAndKeepWhatWasThere_data()
{
    QTest::addColumn<QString>("dosPath");
    QTest::addColumn<QString>("localPath");
    QTest::addColumn<QString>("setUp");

    const QString drive = m_devices.drive();
    QTest::newRow("target is a folder") << "C:\\Result.txt" << drive + "/Result.txt"
                                        << "folder";
    QTest::newRow("parent is a file") << "C:\\plain\\Result.txt" << drive + "/plain/Result.txt"
                                      << "plain file";
    QTest::newRow("missing folder") << "C:\\missing\\Result.txt" << drive + "/missing/Result.txt"
                                    << "";
    QTest::newRow("drive without mapping") << "Q:\\Result.txt"
                                           << "drive Q:"
                                           << "";
    // Root writes into a read-only folder regardless.
    if (geteuid() != 0) {
        QTest::newRow("read-only folder without Result.txt")
            << "C:\\locked\\Result.txt" << drive + "/locked/Result.txt"
            << "read-only folder";
        QTest::newRow("read-only folder and Result.txt")
            << "C:\\locked\\Result.txt" << drive + "/locked/Result.txt"
            << "read-only folder and file";
    }
}

void TestResultFile::shouldReportUnwritableTargetAndKeepWhatWasThere()
{
    QFETCH(QString, dosPath);
    QFETCH(QString, localPath);
    QFETCH(QString, setUp);

    const QDir drive(m_devices.drive());
    if (setUp == QLatin1String("folder")) {
        QVERIFY(drive.mkdir(QStringLiteral("Result.txt")));
    } else if (setUp == QLatin1String("plain file")) {
        QFile plain(drive.filePath(QStringLiteral("plain")));
        QVERIFY(plain.open(QIODevice::WriteOnly));
    } else if (setUp.startsWith(QLatin1String("read-only folder"))) {
        QVERIFY(drive.mkdir(QStringLiteral("locked")));
        if (setUp.endsWith(QLatin1String("file"))) {
            QFile old(drive.filePath(QStringLiteral("locked/Result.txt")));
            QVERIFY(old.open(QIODevice::WriteOnly));
            QCOMPARE(old.write("\"old\"\r\n"), 7);
            old.close();
            QVERIFY(old.setPermissions(QFile::ReadOwner));
        }
        QVERIFY(QFile::setPermissions(
            drive.filePath(QStringLiteral("locked")), QFile::ReadOwner | QFile::ExeOwner));
    }
    const QStringList before = drive.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    QString error;
    QVERIFY(!ResultFile::write(dosPath, "\"new\"\r\n", &error));
    QVERIFY2(error.contains(dosPath), qPrintable(error));
    QVERIFY2(error.contains(localPath), qPrintable(error));
    QCOMPARE(drive.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    if (setUp == QLatin1String("folder"))
        QVERIFY(QFileInfo(drive.filePath(QStringLiteral("Result.txt"))).isDir());
    const QString locked = drive.filePath(QStringLiteral("locked"));
    if (setUp == QLatin1String("read-only folder and file"))
        QCOMPARE(readAll(locked + QStringLiteral("/Result.txt")), "\"old\"\r\n");
    if (setUp == QLatin1String("read-only folder"))
        QCOMPARE(QDir(locked).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestResultFile::shouldKeepPreviousLineWhenWriteFails()
{
    QString error;
    const QString path = m_devices.resultFile();
    QVERIFY2(ResultFile::write(QStringLiteral("C:\\Result.txt"), "\"old\"\r\n", &error),
        qPrintable(error));

    // A file size limit makes the write fail part-way the way a full disk does, and holds for
    // root too. The signal it raises is ignored so that the write reports the failure instead.
    rlimit saved {};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 4;
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool written = ResultFile::write(
        QStringLiteral("C:\\Result.txt"), "\"a line longer than the limit\"\r\n", &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY2(!written, readAll(path).constData());
    QVERIFY2(error.contains(QStringLiteral("C:\\Result.txt")), qPrintable(error));
    QVERIFY2(error.contains(path), qPrintable(error));
    QCOMPARE(readAll(path), QByteArray("\"old\"\r\n"));
    QCOMPARE(QDir(m_devices.drive()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("Result.txt") });
}

void TestResultFile::shouldRewriteEveryRecordKeepingModeOwnerAndGroup_data()
{
    QTest::addColumn<bool>("folderWritable");
    QTest::addColumn<int>("mode");
    // Owned by nobody, for the program run by root.
    QTest::addColumn<bool>("otherOwner");

    // Root writes into a read-only folder regardless, and only root may give a file away.
    if (geteuid() == 0)
        QTest::newRow("replaced, owner, group and mode kept") << true << 0640 << true;
    else
        QTest::newRow("read-only folder, written in place") << false << 0660 << false;
}

void TestResultFile::shouldRewriteEveryRecordKeepingModeOwnerAndGroup()
{
    QFETCH(bool, folderWritable);
    QFETCH(int, mode);
    QFETCH(bool, otherOwner);

    const QByteArray path = QFile::encodeName(m_devices.resultFile());
    {
        QFile old(m_devices.resultFile());
        QVERIFY(old.open(QIODevice::WriteOnly));
        QCOMPARE(old.write("\"old\"\r\n"), 7);
    }
    QCOMPARE(::chmod(path.constData(), mode_t(mode)), 0);
    const uid_t nobody = 65534;
    if (otherOwner)
        QCOMPARE(::chown(path.constData(), nobody, nobody), 0);
    struct stat before { };
    QCOMPARE(::stat(path.constData(), &before), 0);
    if (!folderWritable)
        QVERIFY(QFile::setPermissions(m_devices.drive(), QFile::ReadOwner | QFile::ExeOwner));

    for (const QByteArray& line : { QByteArray("\"first\"\r\n"), QByteArray("\"second\"\r\n") }) {
        QString error;
        QVERIFY2(
            ResultFile::write(QStringLiteral("C:\\Result.txt"), line, &error), qPrintable(error));
        QCOMPARE(readAll(m_devices.resultFile()), line);
    }
    struct stat after { };
    QCOMPARE(::stat(path.constData(), &after), 0);
    QCOMPARE(after.st_mode & 07777, mode_t(mode));
    QCOMPARE(after.st_uid, before.st_uid);
    QCOMPARE(after.st_gid, before.st_gid);
    QCOMPARE(QDir(m_devices.drive()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
        QStringList { QStringLiteral("Result.txt") });
}

QTEST_GUILESS_MAIN(TestResultFile)
#include "tst_resultfile.moc"
