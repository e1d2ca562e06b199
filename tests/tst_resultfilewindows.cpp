#include "replacepolicy.h"
#include "resultfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

#include <qt_windows.h>

#include <aclapi.h>
#include <sddl.h>

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
    Holder(std::chrono::milliseconds holdFor, DWORD sharing)
    {
        m_handle = CreateFileW(reinterpret_cast<const wchar_t*>(resultPath.utf16()), GENERIC_READ,
            sharing, nullptr, OPEN_EXISTING, 0, nullptr);
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

// The file's integrity label in SDDL ("S:(ML;;NW;;;LW)"), empty for none.
QString integrityLabel()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL label = nullptr;
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(resultPath.utf16()), READ_CONTROL,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD read = file == INVALID_HANDLE_VALUE
        ? GetLastError()
        : GetSecurityInfo(file, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr,
            nullptr, &label, &descriptor);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (read != ERROR_SUCCESS)
        return QStringLiteral("<unreadable: %1>").arg(read);
    wchar_t* text = nullptr;
    QString sddl = QStringLiteral("<unconvertible>");
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, LABEL_SECURITY_INFORMATION, &text, nullptr)) {
        sddl = QString::fromWCharArray(text);
        LocalFree(text);
    }
    LocalFree(descriptor);
    return sddl;
}

quint64 fileIndex()
{
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(resultPath.utf16()), 0,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    BY_HANDLE_FILE_INFORMATION info {};
    const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return known ? (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow : 0;
}

// The reader as a program of its own, as the desk's reader is: this test run again with
// RECCAP_HOLD_SHARING set holds the file with that sharing until its standard input closes.
int holdResultFile(DWORD sharing)
{
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(resultPath.utf16()), GENERIC_READ,
        sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::fputs("holding\n", stdout);
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) { }
    CloseHandle(file);
    return 0;
}

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
    void shouldWriteWhileAnotherProgramHoldsTheFileSharingWrite();
    void shouldKeepAttributesAndCreationTimeOfReplacedFile();
    void shouldKeepIntegrityLabelOfReplacedFile();
    void shouldNotWriteThroughASecondName_data();
    void shouldNotWriteThroughASecondName();
};

void TestResultFileWindows::init()
{
    SetFileAttributesW(reinterpret_cast<const wchar_t*>(resultPath.utf16()), FILE_ATTRIBUTE_NORMAL);
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
    QTest::addColumn<int>("sharing");
    // Written in place, as where the folder takes no new file, instead of replaced.
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<bool>("written");

    const int noDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const int readOnly = FILE_SHARE_READ;
    QTest::newRow("reader lets go within the retry") << 200 << noDelete << false << true;
    // The replace is refused for as long as the reader holds on; the line goes in in place.
    QTest::newRow("reader sharing write holds on past the retry")
        << 5000 << noDelete << false << true;
    QTest::newRow("reader sharing no write lets go within the retry")
        << 300 << readOnly << false << true;
    QTest::newRow("in place: reader sharing no write lets go within the retry")
        << 300 << readOnly << true << true;
    QTest::newRow("in place: reader holds on past the retry") << 5000 << readOnly << true << false;
}

void TestResultFileWindows::shouldWaitBrieflyForReaderHoldingTheFile()
{
    QFETCH(int, holdMs);
    QFETCH(int, sharing);
    QFETCH(bool, inPlace);
    QFETCH(bool, written);

    QString error;
    bool done = false;
    {
        Holder reader { std::chrono::milliseconds(holdMs), DWORD(sharing) };
        QVERIFY(reader.isHolding());
        if (inPlace) {
            // The retry of the write, as ResultFile runs it after the folder refused the
            // temporary file: Busy while the reader holds on.
            const auto deadline
                = std::chrono::steady_clock::now() + ReplacePolicy::renameRetryLimit();
            ReplacePolicy::Replace outcome;
            while ((outcome = ReplacePolicy::writeInPlace(resultPath, "\"new\"\r\n", &error))
                    == ReplacePolicy::Replace::Busy
                && std::chrono::steady_clock::now() < deadline)
                QTest::qWait(20);
            done = outcome == ReplacePolicy::Replace::Done;
        } else {
            done = ResultFile::write(resultPath, "\"new\"\r\n", &error);
        }
    }
    QCOMPARE(done, written);
    if (written) {
        QCOMPARE(readAll(), QByteArray("\"new\"\r\n"));
    } else {
        QCOMPARE(readAll(), QByteArray("\"old\"\r\n"));
        // The in-place write alone gives the system's reason; the file's names come with it
        // from ResultFile.
        QVERIFY2(inPlace ? !error.isEmpty() : error.contains(resultPath), qPrintable(error));
    }
}

// A reader that keeps the file open, sharing reading and writing but not deletion, blocks the
// replace for good; the line must reach it all the same, as it does for a standard user, whose
// write goes in place anyway.
void TestResultFileWindows::shouldWriteWhileAnotherProgramHoldsTheFileSharingWrite()
{
    QProcess reader;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(
        QStringLiteral("RECCAP_HOLD_SHARING"), QString::number(FILE_SHARE_READ | FILE_SHARE_WRITE));
    reader.setProcessEnvironment(environment);
    reader.start(QCoreApplication::applicationFilePath(), {});
    const auto letGo = qScopeGuard([&] {
        reader.closeWriteChannel();
        if (!reader.waitForFinished(10000))
            reader.kill();
    });
    QVERIFY(reader.waitForStarted(10000));
    QVERIFY(reader.waitForReadyRead(30000));
    QCOMPARE(reader.readLine().trimmed(), QByteArray("holding"));

    QString error;
    QVERIFY2(ResultFile::write(resultPath, "\"new\"\r\n", &error), qPrintable(error));
    QCOMPARE(reader.state(), QProcess::Running);
    QCOMPARE(readAll(), QByteArray("\"new\"\r\n"));
}

void TestResultFileWindows::shouldKeepAttributesAndCreationTimeOfReplacedFile()
{
    // As an administrator may leave the file, and as the program that reads it may expect it.
    const auto path = reinterpret_cast<const wchar_t*>(resultPath.utf16());
    QVERIFY(SetFileAttributesW(path, FILE_ATTRIBUTE_HIDDEN));
    WIN32_FILE_ATTRIBUTE_DATA before {};
    QVERIFY(GetFileAttributesExW(path, GetFileExInfoStandard, &before));
    // The replacement is made later than the file it replaces.
    QTRY_VERIFY([&] {
        FILETIME now {};
        GetSystemTimeAsFileTime(&now);
        return CompareFileTime(&now, &before.ftCreationTime) > 0;
    }());

    QString error;
    QVERIFY2(ResultFile::write(resultPath, "\"new\"\r\n", &error), qPrintable(error));
    WIN32_FILE_ATTRIBUTE_DATA after {};
    QVERIFY(GetFileAttributesExW(path, GetFileExInfoStandard, &after));
    QVERIFY(GetFileAttributesW(path) & FILE_ATTRIBUTE_HIDDEN);
    // Wine keeps creation times in the Linux file system, which cannot set them.
    const bool underWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    if (!underWine)
        QCOMPARE(CompareFileTime(&after.ftCreationTime, &before.ftCreationTime), 0);
    QCOMPARE(readAll(), QByteArray("\"new\"\r\n"));
}

// An administrator who labels C:\Result.txt for the users that write it (here Low) expects the
// label to stay through a replace, which keeps the DACL but not the label by itself.
void TestResultFileWindows::shouldKeepIntegrityLabelOfReplacedFile()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    QVERIFY(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        L"S:(ML;;NW;;;LW)", SDDL_REVISION_1, &descriptor, nullptr));
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL label = nullptr;
    QVERIFY(GetSecurityDescriptorSacl(descriptor, &present, &label, &defaulted));
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(resultPath.utf16()),
        READ_CONTROL | WRITE_OWNER, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, 0, nullptr);
    QVERIFY(file != INVALID_HANDLE_VALUE);
    const DWORD set = SetSecurityInfo(
        file, SE_FILE_OBJECT, LABEL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, label);
    CloseHandle(file);
    LocalFree(descriptor);
    QCOMPARE(set, DWORD(ERROR_SUCCESS));
    const QString before = integrityLabel();
    // Wine takes the label and keeps none; only Windows itself can show this.
    if (before.isEmpty())
        QSKIP("This system keeps no integrity label on files");
    QVERIFY2(before.contains(QStringLiteral("LW")), qPrintable(before));
    const quint64 oldFile = fileIndex();

    QString error;
    QVERIFY2(ResultFile::write(resultPath, "\"new\"\r\n", &error), qPrintable(error));
    QCOMPARE(readAll(), QByteArray("\"new\"\r\n"));
    // Replaced, not written in place, which would keep the label without any care.
    QVERIFY(fileIndex() != oldFile);
    QCOMPARE(integrityLabel(), before);
}

void TestResultFileWindows::shouldNotWriteThroughASecondName_data()
{
    QTest::addColumn<bool>("inPlace");

    // As where the folder takes no new file: the other name must keep its contents.
    QTest::newRow("in place: refused") << true;
    // The replace gives C:\Result.txt a file of its own and leaves the other name alone.
    QTest::newRow("replaced: the other name keeps its line") << false;
}

void TestResultFileWindows::shouldNotWriteThroughASecondName()
{
    QFETCH(bool, inPlace);

    const QString other = QStringLiteral("C:\\other.txt");
    QFile::remove(other);
    const auto cleanup = qScopeGuard([&] { QFile::remove(other); });
    QVERIFY(CreateHardLinkW(reinterpret_cast<const wchar_t*>(other.utf16()),
        reinterpret_cast<const wchar_t*>(resultPath.utf16()), nullptr));

    QString error;
    if (inPlace) {
        QCOMPARE(ReplacePolicy::writeInPlace(resultPath, "\"new\"\r\n", &error),
            ReplacePolicy::Replace::Failed);
        QVERIFY2(error.contains(resultPath + QStringLiteral(" has 2 names (hard links)")),
            qPrintable(error));
        QCOMPARE(readAll(), QByteArray("\"old\"\r\n"));
    } else {
        QVERIFY2(ResultFile::write(resultPath, "\"new\"\r\n", &error), qPrintable(error));
        QCOMPARE(readAll(), QByteArray("\"new\"\r\n"));
    }
    QFile file(other);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("\"old\"\r\n"));
}

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsSet("RECCAP_HOLD_SHARING"))
        return holdResultFile(DWORD(qEnvironmentVariableIntValue("RECCAP_HOLD_SHARING")));
    QCoreApplication application(argc, argv);
    TestResultFileWindows test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_resultfilewindows.moc"
