#include "resultfile.h"

#include <QFile>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <qt_windows.h>

namespace {

const QString resultPath = QStringLiteral("C:\\Result.txt");

QByteArray readAll()
{
    QFile file(resultPath);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Another program reading the result file the way many do: open without delete sharing,
// which on Windows keeps the file from being replaced until it lets go.
class Holder {
public:
    explicit Holder(std::chrono::milliseconds holdFor)
    {
        m_handle = CreateFileW(reinterpret_cast<const wchar_t*>(resultPath.utf16()), GENERIC_READ,
            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        m_thread = std::thread([this, holdFor] {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait_for(lock, holdFor, [this] { return m_done; });
            CloseHandle(m_handle);
        });
    }
    ~Holder()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
    bool isHolding() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle { INVALID_HANDLE_VALUE };
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_done { false };
    std::thread m_thread;
};

}

// The result file on Windows itself: C:\Result.txt, replaced while other programs read it.
class TestResultFileWindows : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanupTestCase();
    void shouldWriteExampleLineToDriveC();
    void shouldWaitBrieflyForReaderHoldingTheFile_data();
    void shouldWaitBrieflyForReaderHoldingTheFile();
};

void TestResultFileWindows::init()
{
    QFile::remove(resultPath);
    QFile old(resultPath);
    QVERIFY(old.open(QIODevice::WriteOnly));
    QCOMPARE(old.write("\"old\"\r\n"), 7);
}

void TestResultFileWindows::cleanupTestCase() { QFile::remove(resultPath); }

void TestResultFileWindows::shouldWriteExampleLineToDriveC()
{
    const QByteArray example = QByteArray::fromHex(
        "22303031323320222C225334352E30332E3132222C228CA9967B8E8196BC222C2232220D0A");
    QString error;
    QVERIFY2(ResultFile::write(resultPath, example, &error), qPrintable(error));
    QCOMPARE(readAll(), example);
}

void TestResultFileWindows::shouldWaitBrieflyForReaderHoldingTheFile_data()
{
    QTest::addColumn<int>("holdMs");
    QTest::addColumn<bool>("written");

    QTest::newRow("reader lets go within the retry") << 200 << true;
    QTest::newRow("reader holds on past the retry") << 5000 << false;
}

void TestResultFileWindows::shouldWaitBrieflyForReaderHoldingTheFile()
{
    QFETCH(int, holdMs);
    QFETCH(bool, written);

    QString error;
    bool done = false;
    {
        Holder reader { std::chrono::milliseconds(holdMs) };
        QVERIFY(reader.isHolding());
        done = ResultFile::write(resultPath, "\"new\"\r\n", &error);
    }
    QCOMPARE(done, written);
    if (written) {
        QCOMPARE(readAll(), QByteArray("\"new\"\r\n"));
    } else {
        QCOMPARE(readAll(), QByteArray("\"old\"\r\n"));
        QVERIFY2(error.contains(resultPath), qPrintable(error));
    }
}

QTEST_GUILESS_MAIN(TestResultFileWindows)
#include "tst_resultfilewindows.moc"
