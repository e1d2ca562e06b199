#include "win32requests.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTest>

namespace {

// A cancel the driver never acts on: the request stays with it, as with some USB serial
// drivers once their adapter is gone.
BOOL WINAPI ignoreCancel(HANDLE, LPOVERLAPPED) { return TRUE; }

// Both ends of a named pipe opened for overlapped I/O: a read on the server's end stays with
// the "driver" until the client writes.
struct Pipe {
    Pipe()
    {
        const std::wstring name = QStringLiteral("\\\\.\\pipe\\reccap-tst-win32requests-%1")
                                      .arg(GetCurrentProcessId())
                                      .toStdWString();
        server = CreateNamedPipeW(name.c_str(),
            PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_BYTE | PIPE_WAIT, 1, 64, 64, 0, nullptr);
        client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
            FILE_FLAG_OVERLAPPED, nullptr);
    }
    ~Pipe()
    {
        for (HANDLE h : { client, server })
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
    }
    bool isValid() const
    {
        return server != INVALID_HANDLE_VALUE && client != INVALID_HANDLE_VALUE;
    }
    bool send(char byte)
    {
        OVERLAPPED overlapped {};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD written = 0;
        const bool sent = WriteFile(client, &byte, 1, nullptr, &overlapped)
            || (GetLastError() == ERROR_IO_PENDING
                && GetOverlappedResult(client, &overlapped, &written, TRUE));
        CloseHandle(overlapped.hEvent);
        return sent;
    }
    HANDLE server { INVALID_HANDLE_VALUE };
    HANDLE client { INVALID_HANDLE_VALUE };
};

}

class TestWin32Requests : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup();
    void shouldGiveUpOnCancelledRequestWithinHalfASecond_data();
    void shouldGiveUpOnCancelledRequestWithinHalfASecond();
};

void TestWin32Requests::cleanup() { Win32Requests::setCancelCall(nullptr); }

void TestWin32Requests::shouldGiveUpOnCancelledRequestWithinHalfASecond_data()
{
    QTest::addColumn<bool>("driverIgnoresCancel");

    QTest::newRow("driver gives the request back") << false;
    QTest::newRow("driver never completes the cancelled request") << true;
}

void TestWin32Requests::shouldGiveUpOnCancelledRequestWithinHalfASecond()
{
    QFETCH(bool, driverIgnoresCancel);

    Pipe pipe;
    QVERIFY(pipe.isValid());
    if (driverIgnoresCancel)
        Win32Requests::setCancelCall(ignoreCancel);
    const int abandonedBefore = Win32Requests::abandoned();

    auto request = std::make_unique<Win32Request>();
    request->buffer = QByteArray(1, '-');
    Win32Request* const issued = request.get();
    QVERIFY(!ReadFile(pipe.server, request->buffer.data(), 1, nullptr, &request->fresh()));
    QCOMPARE(GetLastError(), DWORD(ERROR_IO_PENDING));

    QElapsedTimer clock;
    clock.start();
    const bool givenBack = Win32Requests::cancel(pipe.server, request);
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));

    QCOMPARE(givenBack, !driverIgnoresCancel);
    QCOMPARE(Win32Requests::abandoned(), abandonedBefore + (driverIgnoresCancel ? 1 : 0));
    QVERIFY(request);
    QCOMPARE(request.get() != issued, driverIgnoresCancel);
    QVERIFY(request->completed());
    if (!driverIgnoresCancel)
        return;

    // The abandoned request is still the driver's: when it completes at last, it reads into
    // its own buffer, which is still there; only then is it let go.
    QVERIFY(pipe.send('x'));
    QDeadlineTimer deadline(5000);
    while (!issued->completed() && !deadline.hasExpired())
        WaitForSingleObject(issued->event, 50);
    QVERIFY(issued->completed());
    QCOMPARE(issued->buffer, QByteArray("x"));
    QCOMPARE(Win32Requests::abandoned(), abandonedBefore);
}

QTEST_GUILESS_MAIN(TestWin32Requests)
#include "tst_win32requests.moc"
