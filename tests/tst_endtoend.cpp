#include "cp932encoder.h"
#include "desktopdriver.h"
#include "simprocess.h"
#include "xvfbserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

// Where the operator's pointer goes, in the window's own coordinates: the middle of each
// button and of the lamp.
constexpr QPoint commOpen { 68, 24 };
constexpr QPoint commBreak { 196, 24 };
constexpr QPoint lampCentre { 328, 24 };

const QColor red(255, 0, 0);
const QColor green(0, 255, 0);
const QColor blue(0, 0, 255);

constexpr int waitMs = 30000;

// With RECCAP_E2E_WINE_PROGRAM naming the Windows build's reccap.exe, the same cases run it
// under Wine in the prefix RECCAP_E2E_WINEPREFIX: COM3 is the prefix's dosdevices/com3 link and
// C:\Result.txt its drive_c/Result.txt, as on a Windows desk.
QString wineProgram() { return qEnvironmentVariable("RECCAP_E2E_WINE_PROGRAM"); }
QString winePrefix() { return qEnvironmentVariable("RECCAP_E2E_WINEPREFIX"); }

QByteArray resultLine(const QString& idItem, const QString& kanji = QStringLiteral("山田太郎"))
{
    return *Cp932Encoder::encode(
        QStringLiteral("\"%1\",\"S45.03.12\",\"%2\",\"1\"\r\n").arg(idItem, kanji));
}

}

// The whole program in a real window on a private X server, fed by the instrument simulator
// on a pseudo-terminal, worked with clicks the way an operator works it.
class TestEndToEnd : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void shouldWriteEachOfThreeRecordsInTurn();
    void shouldRejectDamagedRecordAndCaptureTheResentOne();
    void shouldStopOnBreakDuringBodyAndOpenAgain();
    void shouldEndAtOnceOnAbortChunk();

private:
    bool startSim(const QStringList& arguments);
    bool startReccap();
    QColor lamp() const { return m_desktop->pixel(m_window, lampCentre.x(), lampCentre.y()); }
    bool click(QPoint at) const { return m_desktop->click(m_window, at.x(), at.y()); }
    QByteArray result() const;
    QString resultPath() const;
    QString devices() const;

    XvfbServer m_xvfb;
    std::unique_ptr<DesktopDriver> m_desktop;
    std::unique_ptr<QTemporaryDir> m_config;
    std::unique_ptr<QTemporaryDir> m_drive;
    std::unique_ptr<SimProcess> m_sim;
    std::unique_ptr<QProcess> m_reccap;
    quint64 m_window { 0 };
};

QString TestEndToEnd::resultPath() const
{
    if (!wineProgram().isEmpty())
        return winePrefix() + QStringLiteral("/drive_c/Result.txt");
    return m_drive->filePath(QStringLiteral("Result.txt"));
}

QString TestEndToEnd::devices() const
{
    if (!wineProgram().isEmpty())
        return winePrefix() + QStringLiteral("/dosdevices");
    return m_config->filePath(QStringLiteral("reccap/dosdevices"));
}

void TestEndToEnd::initTestCase()
{
    if (!wineProgram().isEmpty())
        QVERIFY2(QFileInfo::exists(winePrefix() + QStringLiteral("/drive_c")),
            "RECCAP_E2E_WINEPREFIX names no Wine prefix");
    QVERIFY2(m_xvfb.start(), qPrintable(m_xvfb.errorString()));
    m_desktop = std::make_unique<DesktopDriver>(m_xvfb.display());
}

void TestEndToEnd::init()
{
    m_config = std::make_unique<QTemporaryDir>();
    m_drive = std::make_unique<QTemporaryDir>();
    if (!wineProgram().isEmpty()) {
        // Drive C is the prefix's own; each case starts without a result file.
        QFile::remove(resultPath());
        QVERIFY(!QFile::exists(resultPath()));
        return;
    }
    QVERIFY(QDir().mkpath(devices()));
    QVERIFY(QFile::link(m_drive->path(), devices() + QStringLiteral("/c:")));
}

void TestEndToEnd::cleanup()
{
    if (m_reccap) {
        m_reccap->terminate();
        if (!m_reccap->waitForFinished(10000))
            m_reccap->kill();
        m_reccap->waitForFinished(5000);
    }
    m_reccap.reset();
    m_sim.reset();
    m_window = 0;
}

bool TestEndToEnd::startSim(const QStringList& arguments)
{
    m_sim = std::make_unique<SimProcess>();
    return m_sim->start(QStringLiteral(SIM_BINARY),
        QStringList { QStringLiteral("--link"), devices(), QStringLiteral("--hold"),
            QStringLiteral("--resend-ms"), QStringLiteral("300") }
            + arguments);
}

bool TestEndToEnd::startReccap()
{
    m_reccap = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_xvfb.display());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), m_config->path());
    if (wineProgram().isEmpty()) {
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    } else {
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("WINEPREFIX"), winePrefix());
        if (!environment.contains(QStringLiteral("WINEDEBUG")))
            environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    }
    m_reccap->setProcessEnvironment(environment);
    m_reccap->setProcessChannelMode(QProcess::ForwardedChannels);
    if (wineProgram().isEmpty())
        m_reccap->start(QStringLiteral(RECCAP_BINARY), QStringList());
    else
        m_reccap->start(QStringLiteral("wine"), QStringList { wineProgram() });
    if (!m_reccap->waitForStarted(10000))
        return false;
    m_window = m_desktop->findWindow(QStringLiteral("^COM$"), waitMs);
    return m_window != 0;
}

QByteArray TestEndToEnd::result() const
{
    QFile file(resultPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestEndToEnd::shouldWriteEachOfThreeRecordsInTurn()
{
    // Slow pieces keep the lamp blue for a while, and the pause between records keeps it
    // green, so each state can be seen on the screen.
    QVERIFY(startSim({ "--count", "3", "--id", "1", "--id-step", "1", "--pieces", "60,60",
        "--piece-delay-ms", "600", "--record-delay-ms", "1500" }));
    QVERIFY(startReccap());
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);

    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), blue, waitMs);
    for (int record = 1; record <= 3; ++record) {
        QTRY_COMPARE_WITH_TIMEOUT(
            result(), resultLine(QStringLiteral("0000%1 ").arg(record)), waitMs);
        QTRY_COMPARE_WITH_TIMEOUT(lamp(), green, waitMs);
    }

    QVERIFY(click(commBreak));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);
    QCOMPARE(m_reccap->state(), QProcess::Running);
}

void TestEndToEnd::shouldRejectDamagedRecordAndCaptureTheResentOne()
{
    {
        QFile previous(resultPath());
        QVERIFY(previous.open(QIODevice::WriteOnly));
        previous.write("previous\r\n");
    }
    QVERIFY(startSim({ "--bad-first-char" }));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));
    QVERIFY(m_desktop->findWindow(QStringLiteral("^通信エラー$"), waitMs) != 0);
    QCOMPARE(result(), QByteArray("previous\r\n"));
    QCOMPARE(lamp(), blue);

    // The instrument sends the record again, this time whole; the operator presses OK.
    QVERIFY(startSim({ "--id", "7" }));
    QVERIFY(m_desktop->key(QStringLiteral("Return")));
    QTRY_VERIFY_WITH_TIMEOUT(!m_desktop->windowExists(QStringLiteral("^通信エラー$")), waitMs);
    QTRY_COMPARE_WITH_TIMEOUT(result(), resultLine(QStringLiteral("00007 ")), waitMs);
}

void TestEndToEnd::shouldStopOnBreakDuringBodyAndOpenAgain()
{
    QVERIFY(startSim({ "--pieces", "40", "--piece-delay-ms", "20000" }));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), blue, waitMs);

    QVERIFY(click(commBreak));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), red, waitMs);
    QVERIFY(!QFile::exists(resultPath()));

    QVERIFY(click(commOpen));
    QTRY_COMPARE_WITH_TIMEOUT(lamp(), green, waitMs);
    QVERIFY(!QFile::exists(resultPath()));
}

void TestEndToEnd::shouldEndAtOnceOnAbortChunk()
{
    QVERIFY(startSim({ "--abort", "--abort-after-chars", "20" }));
    QVERIFY(startReccap());
    QVERIFY(click(commOpen));

    QVERIFY(m_reccap->waitForFinished(waitMs));
    QCOMPARE(m_reccap->exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_reccap->exitCode(), 0);
    QVERIFY(
        m_sim->waitForLine(
                 QRegularExpression(QStringLiteral("^record 1: .*result=aborted")), waitMs)
            .hasMatch());
    QVERIFY(!QFile::exists(resultPath()));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
