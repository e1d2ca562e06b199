#include "fakeserialcontrol.h"
#include "form1.h"
#include "lampshape.h"
#include "recordedwindow.h"
#ifdef Q_OS_WIN
#include "win32sleepguard.h"
#include <qt_windows.h>
#else
#include "login1standin.h"
#endif
#include "sessionwatch.h"
#include "tempdosdevices.h"
#include "uifonts.h"

#include <QAccessible>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString esc = QStringLiteral("\u001b");

QString recordBody()
{
    QString body
        = QStringLiteral("\u0006") + QString(22, QLatin1Char('.')) + QStringLiteral("  123");
    for (const QString& field :
        { QStringLiteral("001F1"), QStringLiteral("002見本氏名"), QStringLiteral("003ﾐﾎﾝ ﾀﾛｳ "),
            QStringLiteral("004H04.02.29"), QStringLiteral("0052") })
        body += QLatin1Char(',') + esc + field + esc;
    return body + QString(178 - body.size(), QLatin1Char('.'));
}

using Fixture = RecordedWindow<FakeSerialControl>;

// A scripted port that also notes when, in real time, each ACK left.
class TimedPort : public FakeSerialControl {
public:
    TimedPort() { clock.start(); }
    bool output(const QString& text) override
    {
        if (text == QStringLiteral("\u0006"))
            ackMs << clock.nsecsElapsed() / 1e6;
        return FakeSerialControl::output(text);
    }
    QElapsedTimer clock;
    QList<double> ackMs;
};

// Runs `action` from inside whatever handler is waiting once the event loop next turns.
void soon(std::function<void()> action, int ms = 0)
{
    QTimer::singleShot(ms, Qt::PreciseTimer, qApp, std::move(action));
}

// Runs `action` from inside whatever handler is waiting, once `condition` holds; after the
// deadline it runs `giveUp` instead, so that the test's wait ends either way.
void once(std::function<bool()> condition, std::function<void()> action,
    std::function<void()> giveUp, int deadlineMs = 5000)
{
    auto* timer = new QTimer(qApp);
    QElapsedTimer clock;
    clock.start();
    QObject::connect(timer, &QTimer::timeout, qApp, [=] {
        const bool ready = condition();
        if (!ready && clock.elapsed() < deadlineMs)
            return;
        timer->stop();
        timer->deleteLater();
        (ready ? action : giveUp)();
    });
    timer->start(5);
}

// Whether the machine is kept awake, as the system sees it. On Linux that is a stand-in
// logind on a system bus of the test's own, which the window reaches through
// DBUS_SYSTEM_BUS_ADDRESS; under Wine nothing shows the execution state, so the window's
// guard is handed a setter that keeps it.
class SleepWatch {
public:
#ifdef Q_OS_WIN
    bool start() { return true; }
    QString errorString() const { return {}; }
    void watch(Form1& form)
    {
        s_state = ES_CONTINUOUS;
        s_calls.clear();
        form.setSleepGuard(std::make_unique<ExecutionStateSleepGuard>(&record));
    }
    int held() const { return (s_state & ES_SYSTEM_REQUIRED) ? 1 : 0; }
    QStringList events() const { return s_calls; }
    bool tookForSleep() const
    {
        return s_calls.contains(QString::number(ES_CONTINUOUS | ES_SYSTEM_REQUIRED, 16));
    }

private:
    static unsigned long record(unsigned long state)
    {
        const unsigned long previous = s_state;
        s_calls << QString::number(state, 16);
        if (state & ES_CONTINUOUS)
            s_state = state;
        return previous;
    }
    static inline unsigned long s_state = ES_CONTINUOUS;
    static inline QStringList s_calls;
#else
    bool start()
    {
        if (!m_logind.start(QStringLiteral(LOGIN1_STANDIN)))
            return false;
        // Read by Qt when it first connects to the system bus, which no test has done yet.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_logind.address().toUtf8());
        return true;
    }
    QString errorString() const { return m_logind.errorString(); }
    Login1StandIn& logind() { return m_logind; }
    void watch(Form1&) { }
    int held() { return m_logind.held(); }
    QStringList events() { return m_logind.events(); }
    bool tookForSleep()
    {
        const QStringList taken
            = events().filter(QRegularExpression(QStringLiteral("^asked sleep reccap block \\S")));
        return !taken.isEmpty();
    }

private:
    Login1StandIn m_logind;
#endif
};
}

class TestForm1 : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void shouldStartEmptyWithRedLampAndFocusOnOpen();
    void shouldPlaceControlsAtTheirPixels_data();
    void shouldPlaceControlsAtTheirPixels();
    void shouldMoveFocusInFormTabOrder();
    void shouldNameEachBoxByItsCaption_data();
    void shouldNameEachBoxByItsCaption();
    void shouldSayLampStateInWords_data();
    void shouldSayLampStateInWords();
    void shouldPressFocusedButtonWithReturnOrEnter_data();
    void shouldPressFocusedButtonWithReturnOrEnter();
    void shouldGiveFocusBackToWindowWhenResendBoxCloses();
    void shouldStopCaptureAndSayWhereWhenResultFileCannotBeWritten();
    void shouldDrawWholeLampOutlineAtEveryScale_data();
    void shouldDrawWholeLampOutlineAtEveryScale();
    void shouldUseJapaneseGothicBoldForButtons();
    void shouldFitEveryCaptionWithEachFallbackFace_data();
    void shouldFitEveryCaptionWithEachFallbackFace();
    void shouldHoldBreakForOneSecondThenClosePort();
    void shouldStopCaptureWhenBreakPressedInHeaderWait();
    void shouldShowRecordFieldsAndKeepOperatorsReceiptNumber();
    void shouldAnswerLineWhileSystemRunsItsOwnLoop_data();
    void shouldAnswerLineWhileSystemRunsItsOwnLoop();
    void shouldStartCaptureOnlyAfterBreakWhenOpenPressedDuringIt();
    void shouldRunNestedBreakToItsEnd();
    void shouldReportVanishedDeviceOnceAndEnd();
    void shouldReleaseLineAtOnceWhenWindowClosesOrSessionEnds_data();
    void shouldReleaseLineAtOnceWhenWindowClosesOrSessionEnds();
    void shouldKeepMachineAwakeOnlyWhileCapturing_data();
    void shouldKeepMachineAwakeOnlyWhileCapturing();
    void shouldCaptureWhateverLogindAnswers_data();
    void shouldCaptureWhateverLogindAnswers();
    void shouldStopCaptureOnlyWhenOwnSessionIsDisconnected_data();
    void shouldStopCaptureOnlyWhenOwnSessionIsDisconnected();

private:
    TempDosDevices m_devices;
    SleepWatch m_sleep;
};

void TestForm1::initTestCase()
{
    QVERIFY(m_devices.isValid());
    QVERIFY2(m_sleep.start(), qPrintable(m_sleep.errorString()));
}

void TestForm1::shouldStartEmptyWithRedLampAndFocusOnOpen()
{
    Fixture f;
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));

    QCOMPARE(f.form.windowTitle(), QStringLiteral("COM"));
    QCOMPARE(f.form.size(), QSize(365, 306));
    QCOMPARE(f.form.minimumSize(), f.form.maximumSize());
    QVERIFY(
        !(f.form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    for (const char* name : { "Text1", "Text2", "Text3", "Text4", "Text5", "Text7", "Text8" })
        QVERIFY2(f.text(name).isEmpty(), name);
    QCOMPARE(f.text("Text6"), QStringLiteral("1"));
    QCOMPARE(f.lamp(), QColor(255, 0, 0));
    QVERIFY(f.child<QPushButton>("Command1")->isEnabled());
    QVERIFY(f.child<QPushButton>("Command2")->isEnabled());
    QCOMPARE(QApplication::focusWidget(), f.child<QWidget>("Command1"));
    QCOMPARE(f.child<QPushButton>("Command2")->text(), QStringLiteral("\u3000Comm\u3000Break"));
    QCOMPARE(f.child<QLabel>("Label1")->text(), QStringLiteral("C:\\Result.txt"));
    QCOMPARE(f.port->commPort(), 3);
    QVERIFY(!f.port->portOpen());
    QVERIFY(f.port->log().isEmpty());
}

void TestForm1::shouldPlaceControlsAtTheirPixels_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("index");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");

    QTest::newRow("Command1") << "Command1" << -1 << QRect(8, 8, 121, 33) << "Comm Open";
    QTest::newRow("Command2") << "Command2" << -1 << QRect(136, 8, 121, 33)
                              << QStringLiteral("\u3000Comm\u3000Break");
    QTest::newRow("Shape1") << "Shape1" << -1 << QRect(312, 8, 33, 33) << "";
    QTest::newRow("Text7") << "Text7" << -1 << QRect(120, 152, 233, 18) << "";
    QTest::newRow("Text8") << "Text8" << -1 << QRect(248, 184, 105, 18) << "";
    QTest::newRow("Label1") << "Label1" << -1 << QRect(120, 280, 105, 17) << "C:\\Result.txt";
    QTest::newRow("Label2(0)") << "Label2" << 0 << QRect(8, 56, 65, 17) << "受信コマンド";
    QTest::newRow("Label2(6) captions the fourth row")
        << "Label2" << 6 << QRect(8, 152, 73, 17) << "受信漢字氏名";
    QTest::newRow("Label2(7)") << "Label2" << 7 << QRect(8, 280, 105, 17) << "データ書き込み先";
    QTest::newRow("Label2(2)") << "Label2" << 2 << QRect(8, 120, 73, 17) << "受信カナ氏名";
}

void TestForm1::shouldPlaceControlsAtTheirPixels()
{
    QFETCH(QString, name);
    QFETCH(int, index);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);

    Fixture f;
    QWidget* widget = nullptr;
    for (QWidget* candidate : f.form.findChildren<QWidget*>(name)) {
        if (index < 0 || candidate->property("index").toInt() == index)
            widget = candidate;
    }
    QVERIFY(widget);
    QCOMPARE(widget->geometry(), geometry);
    if (auto* label = qobject_cast<QLabel*>(widget))
        QCOMPARE(label->text(), caption);
    if (auto* button = qobject_cast<QPushButton*>(widget))
        QCOMPARE(button->text(), caption);
    if (name == QLatin1String("Label2"))
        QCOMPARE(f.form.findChildren<QLabel*>(name).size(), 8);
    // The layout is fixed, so a caption must fit the width it was given.
    if (auto* label = qobject_cast<QLabel*>(widget))
        QVERIFY2(label->fontMetrics().horizontalAdvance(caption) <= geometry.width(),
            qPrintable(caption));
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        QStyleOptionButton option;
        option.initFrom(button);
        const QRect room
            = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button);
        QVERIFY2(button->fontMetrics().horizontalAdvance(caption) <= room.width(),
            qPrintable(QStringLiteral("%1 in %2 px").arg(caption).arg(room.width())));
    }
}

void TestForm1::shouldMoveFocusInFormTabOrder()
{
    Fixture f;
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    const QStringList order { "Command1", "Text1", "Text2", "Command2", "Text3", "Text4", "Text5",
        "Text6", "Text7", "Text8", "Command1" };
    for (int i = 0; i + 1 < order.size(); ++i) {
        f.child<QWidget>(qPrintable(order[i]))->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget()->objectName(), order[i + 1]);
    }
}

void TestForm1::shouldNameEachBoxByItsCaption_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("name");
    // The caption a screen reader reports as the box's label; none for a box without one.
    QTest::addColumn<QString>("label");

    QTest::newRow("Text1") << "Text1"
                           << "受信コマンド"
                           << "受信コマンド";
    QTest::newRow("Text3") << "Text3"
                           << "受信ID"
                           << "受信ID";
    QTest::newRow("Text2") << "Text2"
                           << "受信カナ氏名"
                           << "受信カナ氏名";
    QTest::newRow("Text7") << "Text7"
                           << "受信漢字氏名"
                           << "受信漢字氏名";
    QTest::newRow("Text4") << "Text4"
                           << "受信生年月日"
                           << "受信生年月日";
    QTest::newRow("Text8 the Western date") << "Text8"
                                            << "受信生年月日 (西暦)"
                                            << "";
    QTest::newRow("Text5") << "Text5"
                           << "受信性別"
                           << "受信性別";
    QTest::newRow("Text6 the operator's") << "Text6"
                                          << "受付番号"
                                          << "受付番号";
}

void TestForm1::shouldNameEachBoxByItsCaption()
{
    QFETCH(QString, box);
    QFETCH(QString, name);
    QFETCH(QString, label);

    Fixture f;
    QAccessibleInterface* iface
        = QAccessible::queryAccessibleInterface(f.child<QLineEdit>(qPrintable(box)));
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), name);
    const auto labels = iface->relations(QAccessible::Label);
    QCOMPARE(labels.size(), label.isEmpty() ? 0 : 1);
    if (!label.isEmpty())
        QCOMPARE(labels.first().first->text(QAccessible::Name), label);
}

void TestForm1::shouldSayLampStateInWords_data()
{
    QTest::addColumn<QString>("stage");
    QTest::addColumn<QStringList>("reads");
    QTest::addColumn<QColor>("color");
    QTest::addColumn<QString>("words");
    QTest::addColumn<QString>("description");

    const QString stopped = QStringLiteral("赤: 受信していません。Comm Open で受信を始めます");
    QTest::newRow("before Comm Open")
        << "start" << QStringList() << QColor(255, 0, 0) << "停止" << stopped;
    QTest::newRow("waiting for a header")
        << "capture" << QStringList() << QColor(0, 255, 0) << "受信待ち"
        << "緑: 次のレコードを待っています";
    QTest::newRow("receiving a body")
        << "capture" << QStringList { "HEAD" } << QColor(0, 0, 255) << "受信中"
        << "青: レコードを受信しています";
    QTest::newRow("after the capture ends")
        << "end" << QStringList { "HEAD" } << QColor(255, 0, 0) << "停止" << stopped;
}

void TestForm1::shouldSayLampStateInWords()
{
    QFETCH(QString, stage);
    QFETCH(QStringList, reads);
    QFETCH(QColor, color);
    QFETCH(QString, words);
    QFETCH(QString, description);

    Fixture f;
    auto* lamp = f.child<LampShape>("Shape1");
    const auto check = [&] {
        QCOMPARE(f.lamp(), color);
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(lamp);
        QVERIFY(iface);
        QCOMPARE(iface->text(QAccessible::Name), words);
        QCOMPARE(iface->text(QAccessible::Description), description);
        QCOMPARE(lamp->toolTip(), words);
    };
    if (stage == QLatin1String("start")) {
        check();
        return;
    }

    // The capture ends as a break ends it: the port closes under the loop's wait.
    const auto stopCapture = [&] { f.port->setPortOpen(false); };
    f.port->addReads(reads);
    bool seen = false;
    if (stage == QLatin1String("capture")) {
        once([&] { return f.lamp() == color; },
            [&] {
                seen = true;
                check();
                stopCapture();
            },
            stopCapture);
    } else {
        once([&] { return f.lamp() == QColor(0, 0, 255); },
            [&] {
                seen = true;
                stopCapture();
            },
            stopCapture);
    }
    f.form.command1Click();
    QVERIFY(seen);
    if (stage == QLatin1String("end"))
        check();
}

void TestForm1::shouldPressFocusedButtonWithReturnOrEnter_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");

    QTest::newRow("Return on Comm Open") << "Command1" << int(Qt::Key_Return) << 0;
    QTest::newRow("Enter on Comm Open")
        << "Command1" << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
    QTest::newRow("Return on Comm Break") << "Command2" << int(Qt::Key_Return) << 0;
    QTest::newRow("Enter on Comm Break")
        << "Command2" << int(Qt::Key_Enter) << int(Qt::KeypadModifier);
}

void TestForm1::shouldPressFocusedButtonWithReturnOrEnter()
{
    QFETCH(QString, button);
    QFETCH(int, key);
    QFETCH(int, modifiers);

    Fixture f;
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    auto* pressed = f.button(qPrintable(button));
    // Only the press is in question here, not the capture or break the window would start.
    QObject::disconnect(pressed, &QPushButton::clicked, &f.form, nullptr);
    int clicks = 0;
    connect(pressed, &QPushButton::clicked, [&] { ++clicks; });
    pressed->setFocus();
    QTest::keyClick(pressed, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTRY_COMPARE(clicks, 1);
    QCOMPARE(QApplication::focusWidget(), pressed);
}

void TestForm1::shouldGiveFocusBackToWindowWhenResendBoxCloses()
{
    Fixture f;
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    QString damaged = recordBody();
    damaged[0] = QLatin1Char('.');
    f.port->addReads({ "HEAD", damaged });

    const auto box = [] {
        auto* b = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        return b && b->objectName() == QLatin1String("CommErrorBox") ? b : nullptr;
    };
    const auto stopCapture = [&] { f.port->setPortOpen(false); };
    bool boxShown = false;
    bool focusBack = false;
    QString shownText;
    QStringList readOut;
    once([&] { return box() != nullptr; },
        [&] {
            boxShown = true;
            shownText = box()->text();
            // What a screen reader reads from the box: its children's names.
            QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(box());
            for (int i = 0; iface && i < iface->childCount(); ++i)
                readOut << iface->child(i)->text(QAccessible::Name);
            QTest::keyClick(box(), Qt::Key_Return);
            once(
                [&] {
                    QWidget* focus = QApplication::focusWidget();
                    return !box() && focus && f.form.isAncestorOf(focus)
                        && QApplication::activeWindow() == &f.form;
                },
                [&] {
                    focusBack = true;
                    stopCapture();
                },
                stopCapture, 2000);
        },
        stopCapture);
    f.form.command1Click();

    QVERIFY(boxShown);
    QVERIFY(focusBack);
    QVERIFY(f.fatals.isEmpty());
    // The request stands as it always did; the reason follows on a line of its own.
    QCOMPARE(shownText, QStringLiteral("再送信してください\n先頭がACKではありません"));
    QVERIFY2(readOut.contains(shownText), qPrintable(readOut.join(QLatin1Char('|'))));
}

// A result file that cannot be written (here a folder stands at its name): no record is
// answered, the box says which file and why, capture stops as a break leaves it, and the program
// goes on; once the way is clear, Comm Open captures.
void TestForm1::shouldStopCaptureAndSayWhereWhenResultFileCannotBeWritten()
{
    Fixture f;
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    const QString resultFile = m_devices.resultFile();
    QFile::remove(resultFile);
    QVERIFY(QDir().mkdir(resultFile));
    auto restore = qScopeGuard([&] { QDir().rmdir(resultFile); });
    f.port->addReads({ "HEAD", recordBody() });

    const auto box = [] {
        auto* b = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        return b && b->objectName() == QLatin1String("ResultFileBox") ? b : nullptr;
    };
    QString title;
    QString text;
    bool portOpenAtBox = true;
    once([&] { return box() != nullptr; },
        [&] {
            title = box()->windowTitle();
            text = box()->text();
            portOpenAtBox = f.port->portOpen();
            QTest::keyClick(box(), Qt::Key_Return);
        },
        [&] { f.port->setPortOpen(false); });
    f.form.command1Click();

    QCOMPARE(title, QStringLiteral("C:\\Result.txt"));
    QVERIFY2(text.contains(QStringLiteral("C:\\Result.txt")) && text.contains(resultFile),
        qPrintable(text));
    QVERIFY(!portOpenAtBox);
    QVERIFY(!f.form.isCapturing());
    QVERIFY(!f.port->portOpen());
    QCOMPARE(f.port->writes(), QStringList());
    QCOMPARE(f.lamp(), QColor(255, 0, 0));
    QVERIFY(f.button("Command1")->isEnabled());
    QVERIFY(f.fatals.isEmpty());
    QVERIFY(f.ends.isEmpty());

    restore.dismiss();
    QVERIFY(QDir().rmdir(resultFile));
    // The instrument still holds the record and sends it again.
    QCOMPARE(f.port->pendingReads(), 2);
    // Comm Break's way of ending it, once the loop waits for the next header.
    once([&] { return QFile::exists(resultFile) && f.port->portOpen(); },
        [&] { f.port->setPortOpen(false); }, [&] { f.port->setPortOpen(false); });
    f.form.command1Click();
    QVERIFY(QFileInfo(resultFile).isFile());
    QVERIFY(f.fatals.isEmpty());
}

void TestForm1::shouldDrawWholeLampOutlineAtEveryScale_data()
{
    QTest::addColumn<int>("scale");

    QTest::newRow("scale factor 1") << 1;
    QTest::newRow("scale factor 2") << 2;
    QTest::newRow("scale factor 3") << 3;
}

void TestForm1::shouldDrawWholeLampOutlineAtEveryScale()
{
    QFETCH(int, scale);

    Fixture f;
    auto* lamp = f.child<LampShape>("Shape1");
    QImage image(lamp->size() * scale, QImage::Format_RGB32);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::white);
    lamp->render(&image);

    // One logical pixel of black all round the edge, the lamp's colour everywhere inside it.
    QStringList wrong;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const bool outline = x < scale || y < scale || x >= image.width() - scale
                || y >= image.height() - scale;
            const QColor expected = outline ? QColor(Qt::black) : f.lamp();
            if (image.pixelColor(x, y) != expected)
                wrong << QStringLiteral("(%1,%2)").arg(x).arg(y);
        }
    }
    QVERIFY2(wrong.isEmpty(),
        qPrintable(QStringLiteral("%1 pixels wrong, first %2")
                       .arg(wrong.size())
                       .arg(wrong.mid(0, 8).join(QLatin1Char(' ')))));
}

void TestForm1::shouldUseJapaneseGothicBoldForButtons()
{
    Fixture f;
    for (const char* name : { "Command1", "Command2" }) {
        const QFont font = f.child<QPushButton>(name)->font();
        QCOMPARE(font.family(), QStringLiteral("ＭＳ Ｐゴシック"));
        QVERIFY(font.bold());
        QCOMPARE(font.pointSizeF(), 11.25);
        // Whatever face stands in, it must draw the caption's ideographic spaces and kanji.
        const QFontMetrics metrics(font);
        QVERIFY(metrics.inFont(QChar(0x3000)));
        QVERIFY(metrics.inFont(QChar(0x53D7)));
    }
    QVERIFY(QFontMetrics(f.child<QLineEdit>("Text7")->font()).inFont(QChar(0x6F22)));
}

void TestForm1::shouldFitEveryCaptionWithEachFallbackFace_data()
{
    QTest::addColumn<QString>("face");
    for (const QString& face : UiFonts::fallbackFaces())
        QTest::newRow(qPrintable(face)) << face;
}

void TestForm1::shouldFitEveryCaptionWithEachFallbackFace()
{
    QFETCH(QString, face);
    if (!QFontDatabase::families().contains(face))
        QSKIP("The face is not installed here");

    // The window as it is where this face is the one the design's face falls back to.
    UiFonts::install();
    const QFont designed = QApplication::font();
    QFont standIn = designed;
    standIn.setFamilies({ face });
    QApplication::setFont(standIn);
    const auto restore = qScopeGuard([&] { QApplication::setFont(designed); });

    Fixture f;
    const QList<QLabel*> captions = f.form.findChildren<QLabel*>(QStringLiteral("Label2"));
    QCOMPARE(captions.size(), 8);
    for (const QLabel* caption : captions) {
        QCOMPARE(QFontInfo(caption->font()).family(), face);
        const int width = caption->fontMetrics().horizontalAdvance(caption->text());
        QVERIFY2(width <= caption->contentsRect().width(),
            qPrintable(QStringLiteral("%1 needs %2 px of %3")
                           .arg(caption->text())
                           .arg(width)
                           .arg(caption->contentsRect().width())));
    }
}

void TestForm1::shouldHoldBreakForOneSecondThenClosePort()
{
    Fixture f;
    f.child<QPushButton>("Command1")->setEnabled(false);
    bool openAndBreakDuringWait = false;
    soon([&] { openAndBreakDuringWait = f.port->portOpen() && f.port->breakOn(); }, 100);
    QElapsedTimer clock;
    clock.start();
    f.form.command2Click();

    QVERIFY(clock.elapsed() >= 1000);
    QVERIFY(openAndBreakDuringWait);
    QCOMPARE(f.port->log(), (QStringList { "open", "break:on", "break:off", "close" }));
    QCOMPARE(f.lamp(), QColor(255, 0, 0));
    QVERIFY(f.child<QPushButton>("Command1")->isEnabled());
}

void TestForm1::shouldStopCaptureWhenBreakPressedInHeaderWait()
{
    Fixture f;
    f.port->addReads({ "HE" });
    bool loopDisabledOpen = false;
    soon(
        [&] {
            loopDisabledOpen
                = !f.child<QPushButton>("Command1")->isEnabled() && f.lamp() == QColor(0, 255, 0);
            QTest::mouseClick(f.child<QPushButton>("Command2"), Qt::LeftButton);
        },
        20);
    f.form.command1Click();

    QVERIFY(loopDisabledOpen);
    QVERIFY(!f.form.isCapturing());
    QVERIFY(!f.port->portOpen());
    QCOMPARE(f.lamp(), QColor(255, 0, 0));
    QVERIFY(f.child<QPushButton>("Command1")->isEnabled());
    QVERIFY(f.port->writes().isEmpty());
}

void TestForm1::shouldShowRecordFieldsAndKeepOperatorsReceiptNumber()
{
    Fixture f;
    f.child<QLineEdit>("Text6")->setText(QStringLiteral("42"));
    const QString body = recordBody();
    f.port->addReads({ "R", "CV1", body.left(90), QString(), body.mid(90) });
    soon([&] { QTest::mouseClick(f.child<QPushButton>("Command2"), Qt::LeftButton); }, 200);
    f.form.command1Click();

    QCOMPARE(f.text("Text1"), QStringLiteral("RCV1"));
    QCOMPARE(f.text("Text3"), QStringLiteral("  123"));
    QCOMPARE(f.text("Text7"), QStringLiteral("見本氏名"));
    QCOMPARE(f.text("Text2"), QStringLiteral("ﾐﾎﾝ ﾀﾛｳ"));
    QCOMPARE(f.text("Text4"), QStringLiteral("H04.02.29"));
    QCOMPARE(f.text("Text8"), QStringLiteral("1992/02/29 "));
    QCOMPARE(f.text("Text5"), QStringLiteral("2"));
    QCOMPARE(f.text("Text6"), QStringLiteral("42"));
    QCOMPARE(f.child<QLabel>("Label1")->toolTip(), m_devices.resultFile());
    QFile result(m_devices.resultFile());
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(),
        QByteArray("\"00123 \",\"H04.02.29\",\"\x8c\xa9\x96\x7b\x8e\x81\x96\xbc\",\"2\"\r\n"));
    QCOMPARE(f.port->writes().size(), 4);
}

void TestForm1::shouldAnswerLineWhileSystemRunsItsOwnLoop_data()
{
    QTest::addColumn<bool>("menu");
    QTest::addColumn<bool>("inBody");

    QTest::newRow("window moved, mid-body") << false << true;
    QTest::newRow("system menu open, mid-body") << true << true;
    QTest::newRow("window moved, header arrives meanwhile") << false << false;
    QTest::newRow("system menu open, header arrives meanwhile") << true << false;
}

#ifdef Q_OS_WIN
namespace {
// What the system loop's own timers do, from inside it: the header arrives, the loop ends.
std::function<void()> s_headerArrives;
bool s_menu = false;

void CALLBACK systemLoopTimer(HWND window, UINT, UINT_PTR id, DWORD)
{
    KillTimer(window, id);
    if (id == 1 && s_headerArrives)
        s_headerArrives();
    if (id != 2)
        return;
    if (s_menu)
        EndMenu();
    else
        PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
}
}
#endif

// Windows holds the window's thread in a loop of its own while the operator moves the window
// or has its menu open; the line must be answered all the while, and the record written.
void TestForm1::shouldAnswerLineWhileSystemRunsItsOwnLoop()
{
#ifndef Q_OS_WIN
    QSKIP("Only Windows runs loops of its own on the window's thread");
#else
    QFETCH(bool, menu);
    QFETCH(bool, inBody);

    RecordedWindow<TimedPort> f;
    f.form.show();
    QVERIFY(QTest::qWaitForWindowActive(&f.form));
    QFile::remove(m_devices.resultFile());
    // Each body character comes with nine empty polls, so that the body lasts about two
    // seconds at the line's pace and much longer at a system loop's.
    const QString body = recordBody();
    QStringList script { QStringLiteral("RCV1") };
    for (const QChar c : body)
        script << QString(c) << QStringList(9, QString());
    if (inBody)
        f.port->addReads(script);

    const HWND window = reinterpret_cast<HWND>(f.form.winId());
    double enteredMs = -1, leftMs = -1, headerMs = -1;
    s_menu = menu;
    s_headerArrives = [&] {
        headerMs = f.port->clock.nsecsElapsed() / 1e6;
        f.port->addReads(script);
    };
    QStringList boxes;
    QTimer boxWatch;
    connect(&boxWatch, &QTimer::timeout, this, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            boxes << box->objectName();
            box->close();
        }
    });
    boxWatch.start(50);
    const auto enterSystemLoop = [&] {
        if (!inBody)
            SetTimer(window, 1, 500, systemLoopTimer);
        SetTimer(window, 2, 2000, systemLoopTimer);
        enteredMs = f.port->clock.nsecsElapsed() / 1e6;
        if (menu)
            SendMessageW(window, WM_SYSCOMMAND, SC_KEYMENU, ' ');
        else
            SendMessageW(window, WM_SYSCOMMAND, SC_MOVE, 0);
        leftMs = f.port->clock.nsecsElapsed() / 1e6;
    };
    once([&] { return inBody ? f.port->ackMs.size() >= 60 : f.lamp() == QColor(0, 255, 0); },
        enterSystemLoop, [] {}, 10000);
    once([&] { return QFile::exists(m_devices.resultFile()) || !boxes.isEmpty(); },
        [&] { f.form.command2Click(); }, [&] { f.form.command2Click(); }, 30000);
    f.form.command1Click();
    s_headerArrives = nullptr;

    QVERIFY2(leftMs - enteredMs >= 1900,
        qPrintable(QStringLiteral("the system loop ran %1 ms").arg(leftMs - enteredMs)));
    QCOMPARE(boxes, QStringList());
    QVERIFY(f.fatals.isEmpty());
    const QList<double>& acks = f.port->ackMs;
    const auto during = std::count_if(
        acks.begin(), acks.end(), [&](double ms) { return ms > enteredMs && ms < leftMs; });
    QVERIFY2(during >= 20, qPrintable(QStringLiteral("%1 ACKs inside the loop").arg(during)));
    if (!inBody) {
        QVERIFY(headerMs > enteredMs && acks.size() > 1);
        QVERIFY2(acks.first() - headerMs <= 50,
            qPrintable(QStringLiteral("header answered after %1 ms").arg(acks.first() - headerMs)));
    }
    double widestGap = 0;
    for (qsizetype i = 1; i < acks.size(); ++i)
        widestGap = std::max(widestGap, acks[i] - acks[i - 1]);
    QVERIFY2(widestGap <= 50, qPrintable(QStringLiteral("%1 ms between two ACKs").arg(widestGap)));
    QFile result(m_devices.resultFile());
    QVERIFY(result.open(QIODevice::ReadOnly));
    QCOMPARE(result.readAll(),
        QByteArray("\"00123 \",\"H04.02.29\",\"\x8c\xa9\x96\x7b\x8e\x81\x96\xbc\",\"2\"\r\n"));
#endif
}

void TestForm1::shouldStartCaptureOnlyAfterBreakWhenOpenPressedDuringIt()
{
    Fixture f;
    bool breakHeldWhileCapturing = false;
    soon([&] { QTest::mouseClick(f.child<QPushButton>("Command1"), Qt::LeftButton); }, 100);
    f.form.command2Click();
    QVERIFY(!f.form.isCapturing());
    QCOMPARE(f.port->log(), (QStringList { "open", "break:on", "break:off", "close" }));

    bool captured = false;
    soon(
        [&] {
            captured = f.form.isCapturing() && f.port->portOpen();
            breakHeldWhileCapturing = f.port->breakOn();
            f.form.command2Click();
        },
        50);
    QTRY_VERIFY(captured);
    QVERIFY(!breakHeldWhileCapturing);
    QTRY_VERIFY(!f.form.isCapturing());
}

void TestForm1::shouldRunNestedBreakToItsEnd()
{
    Fixture f;
    soon([&] { f.form.command2Click(); }, 100);
    QElapsedTimer clock;
    clock.start();
    f.form.command2Click();

    QVERIFY(clock.elapsed() >= 1100);
    QCOMPARE(f.port->log(), (QStringList { "open", "break:on", "break:on", "break:off", "close" }));
    QVERIFY(!f.port->breakOn());
    QCOMPARE(f.lamp(), QColor(255, 0, 0));
}

void TestForm1::shouldReportVanishedDeviceOnceAndEnd()
{
    Fixture f;
    soon(
        [&] {
            f.port->vanish(QStringLiteral("Lost COM3 (/dev/pts/9): Input/output error"));
            f.port->vanish(QStringLiteral("Lost COM3 (/dev/pts/9): Input/output error"));
        },
        20);
    f.form.command1Click();

    QCOMPARE(f.fatals, QStringList { "Lost COM3 (/dev/pts/9): Input/output error" });
    QCOMPARE(f.ends, QList<int> { 1 });
    QVERIFY(!f.form.isCapturing());
    // The program is ending: the buttons do nothing more on the line.
    const QStringList before = f.port->log();
    f.form.command2Click();
    f.form.command1Click();
    QCOMPARE(f.port->log(), before);
}

void TestForm1::shouldReleaseLineAtOnceWhenWindowClosesOrSessionEnds_data()
{
    QTest::addColumn<bool>("sessionEnds");
    QTest::addColumn<QString>("wait");

    QTest::newRow("window closed in the body wait") << false << "body";
    // What Qt does on Windows at logoff or shutdown, after which the process may be gone.
    QTest::newRow("session ends in the header wait") << true << "header";
    QTest::newRow("session ends in the body wait") << true << "body";
    QTest::newRow("session ends during the break") << true << "break";
}

void TestForm1::shouldReleaseLineAtOnceWhenWindowClosesOrSessionEnds()
{
    QFETCH(bool, sessionEnds);
    QFETCH(QString, wait);

    Fixture f;
    f.form.show();
    if (wait == QLatin1String("body"))
        f.port->addReads({ "HEAD", QStringLiteral("\u0006") });
    bool releasedAtOnce = false;
    soon(
        [&] {
            if (sessionEnds)
                QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection);
            else
                f.form.close();
            releasedAtOnce = !f.port->portOpen() && !f.port->breakOn();
            // Ends the test's wait whatever the outcome.
            f.form.close();
        },
        50);
    if (wait == QLatin1String("break"))
        f.form.command2Click();
    else
        f.form.command1Click();

    QVERIFY(releasedAtOnce);
    QVERIFY(!f.form.isCapturing());
    QVERIFY(!f.form.isBreaking());
    QVERIFY(f.fatals.isEmpty());
}

void TestForm1::shouldKeepMachineAwakeOnlyWhileCapturing_data()
{
    QTest::addColumn<QString>("stop");
    QTest::addColumn<bool>("fatal");

    QTest::newRow("Comm Break") << "break" << false;
    QTest::newRow("window closed") << "close" << false;
    QTest::newRow("session ends") << "session" << false;
    QTest::newRow("port vanished") << "vanish" << true;
}

void TestForm1::shouldKeepMachineAwakeOnlyWhileCapturing()
{
    QFETCH(QString, stop);
    QFETCH(bool, fatal);

    QTRY_COMPARE_WITH_TIMEOUT(m_sleep.held(), 0, 5000);
    Fixture f;
    m_sleep.watch(f.form);
    f.form.show();
    bool heldWhileCapturing = false;
    bool releasedBeforeReport = false;
    if (fatal) {
        f.form.setFatalReporter([&](const QString& message) {
            f.fatals << message;
            // The report's box may stand for hours: the machine is free to sleep meanwhile.
            releasedBeforeReport = QTest::qWaitFor([&] { return m_sleep.held() == 0; }, 5000);
        });
    }
    once([&] { return m_sleep.held() == 1; },
        [&] {
            heldWhileCapturing = f.form.isCapturing();
            if (stop == QLatin1String("break"))
                f.form.command2Click();
            else if (stop == QLatin1String("close"))
                f.form.close();
            else if (stop == QLatin1String("session"))
                QMetaObject::invokeMethod(qApp, "aboutToQuit", Qt::DirectConnection);
            else
                f.port->vanish(QStringLiteral("Lost COM3 (/dev/pts/9): the device is gone"));
        },
        [&] { f.form.close(); });
    f.form.command1Click();

    QVERIFY2(heldWhileCapturing, qPrintable(m_sleep.events().join(u'\n')));
    QVERIFY(m_sleep.tookForSleep());
    QVERIFY(!f.form.isCapturing());
    QCOMPARE(f.fatals.size(), fatal ? 1 : 0);
    if (fatal)
        QVERIFY(releasedBeforeReport);
    QTRY_COMPARE_WITH_TIMEOUT(m_sleep.held(), 0, 5000);
}

void TestForm1::shouldCaptureWhateverLogindAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");

    // The inhibitor arrives after capturing stopped (the break takes a second): it is given
    // back at once.
    QTest::newRow("logind answers after Comm Break") << QByteArray("delay 2500");
    // A desk without the right to inhibit, or a logind that is broken: nothing to show.
    QTest::newRow("logind refuses") << QByteArray("refuse");
}

void TestForm1::shouldCaptureWhateverLogindAnswers()
{
#ifdef Q_OS_WIN
    QSKIP("logind is Linux's");
#else
    QFETCH(QByteArray, answer);

    QTRY_COMPARE_WITH_TIMEOUT(m_sleep.held(), 0, 5000);
    QVERIFY(m_sleep.logind().answerWith(answer));
    const auto answerAgain = qScopeGuard([this] { m_sleep.logind().answerWith("answer"); });
    const int askedBefore = m_sleep.events().filter(QStringLiteral("asked ")).size();
    const int takenBefore = m_sleep.events().filter(QStringLiteral("taken ")).size();
    Fixture f;
    f.form.show();
    bool capturingWhileAsked = false;
    once([&] { return m_sleep.events().filter(QStringLiteral("asked ")).size() > askedBefore; },
        [&] {
            capturingWhileAsked = f.form.isCapturing() && f.lamp() == QColor(0, 255, 0);
            f.form.command2Click();
        },
        [&] { f.form.close(); });
    f.form.command1Click();

    QVERIFY(capturingWhileAsked);
    QVERIFY(!f.form.isCapturing());
    QVERIFY(f.fatals.isEmpty());
    QVERIFY(f.ends.isEmpty());
    QCOMPARE(f.lamp(), QColor(255, 0, 0));
    if (answer.startsWith("delay"))
        QTRY_VERIFY_WITH_TIMEOUT(
            m_sleep.events().filter(QStringLiteral("taken ")).size() > takenBefore, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(m_sleep.held(), 0, 5000);

    // The next Comm Open asks again, and is answered as usual.
    QVERIFY(m_sleep.logind().answerWith("answer"));
    bool heldAgain = false;
    once([&] { return m_sleep.held() == 1; },
        [&] {
            heldAgain = f.form.isCapturing();
            f.form.command2Click();
        },
        [&] { f.form.close(); });
    f.form.command1Click();
    QVERIFY(heldAgain);
    QTRY_COMPARE_WITH_TIMEOUT(m_sleep.held(), 0, 5000);
#endif
}

void TestForm1::shouldStopCaptureOnlyWhenOwnSessionIsDisconnected_data()
{
    QTest::addColumn<int>("event");
    QTest::addColumn<bool>("ownSession");
    QTest::addColumn<QString>("wait");
    QTest::addColumn<bool>("stops");

    QTest::newRow("another user switched in at the console, header wait")
        << int(SessionWatch::ConsoleDisconnect) << true << "header" << true;
    QTest::newRow("remote desktop closed, body wait")
        << int(SessionWatch::RemoteDisconnect) << true << "body" << true;
    QTest::newRow("screen locked") << int(SessionWatch::SessionLock) << true << "header" << false;
    QTest::newRow("screen unlocked")
        << int(SessionWatch::SessionUnlock) << true << "header" << false;
    QTest::newRow("another session disconnected")
        << int(SessionWatch::ConsoleDisconnect) << false << "header" << false;
}

void TestForm1::shouldStopCaptureOnlyWhenOwnSessionIsDisconnected()
{
    QFETCH(int, event);
    QFETCH(bool, ownSession);
    QFETCH(QString, wait);
    QFETCH(bool, stops);

    Fixture f;
    f.form.show();
    const bool inBody = wait == QLatin1String("body");
    if (inBody)
        f.port->addReads({ "HEAD", QStringLiteral("\u0006") });
    else
        f.port->addReads({ "HE" });
    const QColor waiting = inBody ? QColor(0, 0, 255) : QColor(0, 255, 0);
    const quint32 session = SessionWatch::ownSession() + (ownSession ? 0 : 1);
    bool capturingBefore = false;
    bool releasedRed = false;
    bool keptCapturing = false;
    once([&] { return f.form.isCapturing() && f.port->portOpen() && f.lamp() == waiting; },
        [&] {
            capturingBefore = true;
            // What the window's session notification delivers; a stop runs Comm Break's second
            // inside it, as a click would.
            Q_EMIT SessionWatch::instance()->changed(event, session);
            releasedRed = !f.port->portOpen() && f.lamp() == QColor(255, 0, 0)
                && f.port->log().contains(QStringLiteral("break:on"));
            keptCapturing = f.form.isCapturing() && f.port->portOpen() && !f.port->breakOn()
                && f.lamp() != QColor(255, 0, 0);
            // Ends the test's wait whatever the outcome.
            f.form.close();
        },
        [&] { f.form.close(); });
    f.form.command1Click();

    QVERIFY(capturingBefore);
    QCOMPARE(releasedRed, stops);
    QCOMPARE(keptCapturing, !stops);
    QVERIFY(f.fatals.isEmpty());
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
