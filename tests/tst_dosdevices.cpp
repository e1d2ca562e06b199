#include "dosdevices.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestDosDevices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void shouldResolveNamesThroughLinks_data();
    void shouldResolveNamesThroughLinks();
};

void TestDosDevices::shouldResolveNamesThroughLinks_data()
{
    QTest::addColumn<QString>("linkName");
    QTest::addColumn<QString>("linkTarget");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");

    QTest::newRow("com3 linked") << "com3"
                                 << "/dev/ttyUSB0"
                                 << "COM3"
                                 << "/dev/ttyUSB0";
    QTest::newRow("com3 relative link") << "com3"
                                        << "../../tty-here"
                                        << "COM3"
                                        << "@/tty-here";
    QTest::newRow("com3 unlinked") << ""
                                   << ""
                                   << "COM3"
                                   << "/dev/ttyS2";
    QTest::newRow("c: linked") << "c:"
                               << "/srv/reception"
                               << "C:\\Result.txt"
                               << "/srv/reception/Result.txt";
    QTest::newRow("c: unlinked is home") << ""
                                         << ""
                                         << "C:\\Result.txt"
                                         << "~/Result.txt";
    QTest::newRow("lower-case drive, nested path") << "c:"
                                                   << "/srv/r"
                                                   << "c:\\out\\Result.txt"
                                                   << "/srv/r/out/Result.txt";
    QTest::newRow("unmapped drive") << ""
                                    << ""
                                    << "D:\\Result.txt"
                                    << "";
}

void TestDosDevices::shouldResolveNamesThroughLinks()
{
    QFETCH(QString, linkName);
    QFETCH(QString, linkTarget);
    QFETCH(QString, name);
    QFETCH(QString, expected);

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

    const QString resolved = name.startsWith(QLatin1String("COM"))
        ? DosDevices::portDevice(name.mid(3).toInt())
        : DosDevices::localPath(name);
    QCOMPARE(QDir::cleanPath(resolved), QDir::cleanPath(expected));
}

QTEST_GUILESS_MAIN(TestDosDevices)
#include "tst_dosdevices.moc"
