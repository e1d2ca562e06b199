#include "dosdevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

class TestDosDevices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shouldResolveNamesThroughLinks_data();
    void shouldResolveNamesThroughLinks();
    void shouldSayWhenFolderCannotBeRead_data();
    void shouldSayWhenFolderCannotBeRead();
};

void TestDosDevices::shouldResolveNamesThroughLinks_data()
{
    QTest::addColumn<QString>("linkName");
    QTest::addColumn<QString>("linkTarget");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("homeSet");

    QTest::newRow("com3 linked") << "com3"
                                 << "/dev/ttyUSB0"
                                 << "COM3"
                                 << "/dev/ttyUSB0" << true;
    QTest::newRow("com3 relative link") << "com3"
                                        << "../../tty-here"
                                        << "COM3"
                                        << "@/tty-here" << true;
    QTest::newRow("com3 unlinked") << ""
                                   << ""
                                   << "COM3"
                                   << "/dev/ttyS2" << true;
    QTest::newRow("c: linked") << "c:"
                               << "/srv/reception"
                               << "C:\\Result.txt"
                               << "/srv/reception/Result.txt" << true;
    QTest::newRow("c: unlinked is home") << ""
                                         << ""
                                         << "C:\\Result.txt"
                                         << "~/Result.txt" << true;
    QTest::newRow("lower-case drive, nested path") << "c:"
                                                   << "/srv/r"
                                                   << "c:\\out\\Result.txt"
                                                   << "/srv/r/out/Result.txt" << true;
    QTest::newRow("unmapped drive") << ""
                                    << ""
                                    << "D:\\Result.txt"
                                    << "" << true;
    // "/" is nobody's reception folder.
    QTest::newRow("c: unlinked without HOME") << ""
                                              << ""
                                              << "C:\\Result.txt"
                                              << "" << false;
}

void TestDosDevices::shouldResolveNamesThroughLinks()
{
    QFETCH(QString, linkName);
    QFETCH(QString, linkTarget);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QFETCH(bool, homeSet);

    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    const QString folder = config.filePath(QStringLiteral("reccap/dosdevices"));
    QCOMPARE(DosDevices::folder(), folder);
    QVERIFY(QDir().mkpath(folder));
    if (!linkName.isEmpty())
        QVERIFY(QFile::link(linkTarget, folder + QLatin1Char('/') + linkName));
    expected.replace(QLatin1Char('@'), config.path());
    if (expected.startsWith(QLatin1Char('~')))
        expected.replace(0, 1, QDir::homePath());

    const QByteArray home = qgetenv("HOME");
    if (!homeSet)
        qunsetenv("HOME");
    const QString resolved = name.startsWith(QLatin1String("COM"))
        ? DosDevices::portDevice(name.mid(3).toInt())
        : DosDevices::localPath(name);
    qputenv("HOME", home);
    QCOMPARE(QDir::cleanPath(resolved), QDir::cleanPath(expected));
}

void TestDosDevices::shouldSayWhenFolderCannotBeRead_data()
{
    QTest::addColumn<QString>("setUp");
    QTest::addColumn<bool>("problem");

    QTest::newRow("no folder: the defaults hold") << "" << false;
    QTest::newRow("a file in its place") << "file" << true;
    QTest::newRow("XDG_CONFIG_HOME names a file") << "config home is a file" << true;
    // Root reads any folder.
    if (geteuid() != 0)
        QTest::newRow("folder this user may not read") << "locked folder" << true;
}

void TestDosDevices::shouldSayWhenFolderCannotBeRead()
{
    QFETCH(QString, setUp);
    QFETCH(bool, problem);

    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
    const QString folder = DosDevices::folder();
    if (setUp == QLatin1String("config home is a file")) {
        const QString file = config.filePath(QStringLiteral("settings"));
        QFile(file).open(QIODevice::WriteOnly);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(file));
        QVERIFY(DosDevices::folder().startsWith(file));
    } else if (setUp == QLatin1String("file")) {
        QVERIFY(QDir().mkpath(config.filePath(QStringLiteral("reccap"))));
        QFile file(folder);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (!setUp.isEmpty()) {
        QVERIFY(QDir().mkpath(folder));
    }
    if (setUp == QLatin1String("locked folder"))
        QVERIFY(QFile::setPermissions(folder, QFile::WriteOwner));

    const QString message = DosDevices::folderProblem();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QCOMPARE(!message.isEmpty(), problem);
    if (problem)
        QVERIFY2(message.contains(DosDevices::folder()), qPrintable(message));
    if (setUp == QLatin1String("config home is a file"))
        QVERIFY2(message.contains(config.filePath(QStringLiteral("settings is a file"))),
            qPrintable(message));
}

QTEST_GUILESS_MAIN(TestDosDevices)
#include "tst_dosdevices.moc"
