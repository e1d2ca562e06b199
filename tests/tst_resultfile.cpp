#include "resultfile.h"
#include "resultline.h"
#include "tempdosdevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <climits>
#include <csignal>
#include <pwd.h>
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

const uid_t Nobody = 65534;
// A user other than root and nobody, on every Debian system.
const uid_t Daemon = 1;

// Root gives files and links to other users and then acts as the operator nobody, since root
// itself ignores the permissions that these cases hinge on. Run as nobody, the act is simply
// the test's own.
template <typename Act> bool actAsNobody(Act act)
{
    const bool root = geteuid() == 0;
    if (root && (setegid(Nobody) != 0 || seteuid(Nobody) != 0))
        qFatal("Cannot act as nobody");
    const bool done = act();
    if (root && (seteuid(0) != 0 || setegid(0) != 0))
        qFatal("Cannot return to root");
    return done;
}

bool writeAsNobody(const QString& dosPath, const QByteArray& line, QString* error)
{
    return actAsNobody([&] { return ResultFile::write(dosPath, line, error); });
}

// The check that comes before a record is answered must foresee the write: where it passes and
// the write fails, an answered record is lost; where it fails and the write would work, capture
// stops for nothing.
bool nobodyMayWrite(const QString& dosPath)
{
    QString error;
    return actAsNobody([&] { return ResultFile::checkWritable(dosPath, &error); });
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

// A private file of the operator's, home/private.txt, and an empty folder shared/ beside it,
// where the test then gives the file a second name.
void makePrivateFile(const QDir& drive, QString* privateFile)
{
    QVERIFY(drive.mkdir(QStringLiteral("home")) && drive.mkdir(QStringLiteral("shared")));
    *privateFile = drive.filePath(QStringLiteral("home/private.txt"));
    QFile file(*privateFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write("\"private\"\r\n"), 11);
    QCOMPARE(::chmod(QFile::encodeName(*privateFile).constData(), 0600), 0);
}

// As root, the private file and its folder become the operator nobody's; shared/ then gets
// its mode.
void handToNobody(const QDir& drive, const QString& privateFile, int sharedMode)
{
    if (geteuid() == 0) {
        QCOMPARE(::chown(QFile::encodeName(drive.filePath(QStringLiteral("home"))).constData(),
                     Nobody, Nobody),
            0);
        QCOMPARE(::chown(QFile::encodeName(privateFile).constData(), Nobody, Nobody), 0);
        QCOMPARE(::chmod(QFile::encodeName(drive.path()).constData(), 0755), 0);
    }
    QCOMPARE(::chmod(QFile::encodeName(drive.filePath(QStringLiteral("shared"))).constData(),
                 mode_t(sharedMode)),
        0);
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
    void shouldWriteInFolderWhosePathNearsTheSystemLimit();
    void shouldReportUnwritableTargetAndKeepWhatWasThere_data();
    void shouldReportUnwritableTargetAndKeepWhatWasThere();
    void shouldKeepPreviousLineWhenWriteFails();
    void shouldRewriteEveryRecordKeepingModeOwnerAndGroup_data();
    void shouldRewriteEveryRecordKeepingModeOwnerAndGroup();
    void shouldNotWriteThroughAnotherUsersLink_data();
    void shouldNotWriteThroughAnotherUsersLink();
    void shouldNotWriteThroughASecondName_data();
    void shouldNotWriteThroughASecondName();

private:
    TempDosDevices m_devices;
};

void TestResultFile::initTestCase()
{
    QVERIFY(m_devices.isValid());
    // The rows written as nobody look drive C up in this folder of root's.
    if (geteuid() == 0)
        QVERIFY(QFile::setPermissions(m_devices.configHome(),
            QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther));
}

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

void TestResultFile::shouldWriteInFolderWhosePathNearsTheSystemLimit()
{
    // A folder the system takes whose Result.txt, let alone a temporary file beside it, is a
    // longer path than the system takes in one piece: written through the folder, not by name.
    QString folder;
    const int wanted = PATH_MAX - 6;
    while (m_devices.drive().size() + folder.size() < wanted)
        folder += QLatin1Char('/')
            + QString(std::min(200, int(wanted - m_devices.drive().size() - folder.size() - 1)),
                QLatin1Char('d'));
    QVERIFY(QDir().mkpath(m_devices.drive() + folder));
    const QString dosPath = QStringLiteral("C:")
        + QString(folder).replace(QLatin1Char('/'), QLatin1Char('\\'))
        + QStringLiteral("\\Result.txt");
    QString error;
    const bool written = ResultFile::write(dosPath, "\"near\"\r\n", &error);
    // Only from inside the folder is the file within reach of a path; nor could the next
    // test's clean-up remove it by name.
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_devices.drive() + folder));
    const QByteArray content = readAll(QStringLiteral("Result.txt"));
    QFile::remove(QStringLiteral("Result.txt"));
    QDir::setCurrent(saved);
    QVERIFY2(written, qPrintable(error));
    QCOMPARE(content, "\"near\"\r\n");
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
    QVERIFY(!ResultFile::checkWritable(dosPath, &error));
    QVERIFY2(error.contains(dosPath) && error.contains(localPath), qPrintable(error));
    QCOMPARE(drive.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QVERIFY(!ResultFile::write(dosPath, "\"new\"\r\n", &error));
    QVERIFY2(error.contains(dosPath), qPrintable(error));
    QVERIFY2(error.contains(localPath), qPrintable(error));
    // The reason is the system's own, never a stand-in.
    QVERIFY2(!error.contains(QLatin1String("Unknown error")), qPrintable(error));
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
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<int>("mode");
    QTest::addColumn<uint>("owner");
    QTest::addColumn<bool>("asNobody");

    // Root writes into a read-only folder regardless, and only root may give a file away.
    if (geteuid() == 0)
        QTest::newRow("replaced, owner, group and mode kept") << 0700 << 0640 << Nobody << false;
    else
        QTest::newRow("read-only folder, written in place") << 0500 << 0660 << Nobody << false;
    // Only the owner of a file, or of the folder, may replace it in a sticky folder.
    QTest::newRow("another user's file in a sticky folder, written in place")
        << 01777 << 0666 << uint(0) << true;
}

void TestResultFile::shouldRewriteEveryRecordKeepingModeOwnerAndGroup()
{
    QFETCH(int, folderMode);
    QFETCH(int, mode);
    QFETCH(uint, owner);
    QFETCH(bool, asNobody);
    if (asNobody && geteuid() != 0)
        QSKIP("Only root can give the folder and the file to a user other than nobody");

    const QByteArray path = QFile::encodeName(m_devices.resultFile());
    {
        QFile old(m_devices.resultFile());
        QVERIFY(old.open(QIODevice::WriteOnly));
        QCOMPARE(old.write("\"old\"\r\n"), 7);
    }
    QCOMPARE(::chmod(path.constData(), mode_t(mode)), 0);
    if (owner != geteuid())
        QCOMPARE(::chown(path.constData(), owner, owner), 0);
    struct stat before { };
    QCOMPARE(::stat(path.constData(), &before), 0);
    QCOMPARE(::chmod(QFile::encodeName(m_devices.drive()).constData(), mode_t(folderMode)), 0);

    for (const QByteArray& line : { QByteArray("\"first\"\r\n"), QByteArray("\"second\"\r\n") }) {
        QString error;
        const QString dosPath = QStringLiteral("C:\\Result.txt");
        QVERIFY(asNobody ? nobodyMayWrite(dosPath) : ResultFile::checkWritable(dosPath, &error));
        QVERIFY2(asNobody ? writeAsNobody(dosPath, line, &error)
                          : ResultFile::write(dosPath, line, &error),
            qPrintable(error));
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

void TestResultFile::shouldNotWriteThroughAnotherUsersLink_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<uint>("linkOwner");
    QTest::addColumn<QString>("outcome");

    // Apart from the sticky one, the folders are not world-writable and sticky at once: there
    // the kernel's protected_symlinks, where it is on, keeps an open from following another
    // user's link by itself and would hide the fault.
    QTest::newRow("another user's link in a shared folder: replaced by a file")
        << 0777 << Daemon << "replaced";
    QTest::newRow("another user's link in a sticky folder: refused")
        << 01777 << Daemon << "refused";
    QTest::newRow("another user's link where no new file may go: refused")
        << 0755 << Daemon << "refused";
    QTest::newRow("root's link: followed") << 0777 << uint(0) << "followed";
    QTest::newRow("own link: followed") << 0777 << Nobody << "followed";
}

void TestResultFile::shouldNotWriteThroughAnotherUsersLink()
{
    QFETCH(int, folderMode);
    QFETCH(uint, linkOwner);
    QFETCH(QString, outcome);
    const bool root = geteuid() == 0;
    if (!root && linkOwner != geteuid())
        QSKIP("Only root can give a link to another user");

    // A private file of the operator nobody's, which the link at Result.txt leads to.
    const QDir drive(m_devices.drive());
    QString privateFile;
    makePrivateFile(drive, &privateFile);
    if (QTest::currentTestFailed())
        return;
    const QString shared = drive.filePath(QStringLiteral("shared"));
    const QString link = shared + QStringLiteral("/Result.txt");
    QVERIFY(QFile::link(privateFile, link));
    if (root)
        QCOMPARE(::lchown(QFile::encodeName(link).constData(), linkOwner, linkOwner), 0);
    handToNobody(drive, privateFile, folderMode);
    if (QTest::currentTestFailed())
        return;

    const QString dosPath = QStringLiteral("C:\\shared\\Result.txt");
    const QByteArray line("\"new\"\r\n");
    QString error;
    const bool writable = nobodyMayWrite(dosPath);
    const bool written = writeAsNobody(dosPath, line, &error);
    QCOMPARE(writable, written);
    if (outcome == QLatin1String("refused")) {
        QVERIFY2(!written, readAll(privateFile).constData());
        const passwd* owner = getpwuid(linkOwner);
        QVERIFY(owner);
        QVERIFY2(error.contains(dosPath) && error.contains(link)
                && error.contains(QString::fromLocal8Bit(owner->pw_name)),
            qPrintable(error));
    } else {
        QVERIFY2(written, qPrintable(error));
        QCOMPARE(readAll(link), line);
    }
    QCOMPARE(QFileInfo(link).isSymLink(), outcome != QLatin1String("replaced"));
    QCOMPARE(readAll(privateFile),
        outcome == QLatin1String("followed") ? line : QByteArray("\"private\"\r\n"));
    QCOMPARE(QDir(shared).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
        QStringList { QStringLiteral("Result.txt") });
}

void TestResultFile::shouldNotWriteThroughASecondName_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<QString>("outcome");

    // Where a co-user may make hard links to others' files (fs.protected_hardlinks=0), the
    // result file may be a second name of the operator's own private file. Here root makes
    // that link, or the operator nobody itself.
    QTest::newRow("second name where no new file may go: refused") << 0555 << "refused";
    // The replace gives Result.txt a file of its own and leaves the other name alone.
    QTest::newRow("second name where a new file may go: replaced") << 0777 << "replaced";
}

void TestResultFile::shouldNotWriteThroughASecondName()
{
    QFETCH(int, folderMode);
    QFETCH(QString, outcome);

    const QDir drive(m_devices.drive());
    QString privateFile;
    makePrivateFile(drive, &privateFile);
    if (QTest::currentTestFailed())
        return;
    const QString resultFile = drive.filePath(QStringLiteral("shared/Result.txt"));
    QCOMPARE(::link(QFile::encodeName(privateFile).constData(),
                 QFile::encodeName(resultFile).constData()),
        0);
    handToNobody(drive, privateFile, folderMode);
    if (QTest::currentTestFailed())
        return;

    const QString dosPath = QStringLiteral("C:\\shared\\Result.txt");
    const QByteArray line("\"new\"\r\n");
    QString error;
    const bool writable = nobodyMayWrite(dosPath);
    const bool written = writeAsNobody(dosPath, line, &error);
    QCOMPARE(writable, written);
    if (outcome == QLatin1String("refused")) {
        QVERIFY2(!written, readAll(privateFile).constData());
        QVERIFY2(error.contains(dosPath)
                && error.contains(resultFile + QStringLiteral(" has 2 names"))
                && error.contains(QStringLiteral("hard links")),
            qPrintable(error));
        QCOMPARE(readAll(resultFile), QByteArray("\"private\"\r\n"));
    } else {
        QVERIFY2(written, qPrintable(error));
        QCOMPARE(readAll(resultFile), line);
        struct stat replaced { };
        QCOMPARE(::stat(QFile::encodeName(resultFile).constData(), &replaced), 0);
        QCOMPARE(replaced.st_nlink, nlink_t(1));
    }
    QCOMPARE(readAll(privateFile), QByteArray("\"private\"\r\n"));
}

QTEST_GUILESS_MAIN(TestResultFile)
#include "tst_resultfile.moc"
