#include "form1.h"

#include "commandbutton.h"
#include "dosdevices.h"
#include "fatalreport.h"
#include "fieldcaption.h"
#include "lampshape.h"
#include "serialcontrol.h"
#include "sessionwatch.h"
#include "uifonts.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <limits>

namespace {

const LampShape::State lampRed { QColor(255, 0, 0), QStringLiteral("停止"),
    QStringLiteral("赤: 受信していません。Comm Open で受信を始めます") };
const LampShape::State lampGreen { QColor(0, 255, 0), QStringLiteral("受信待ち"),
    QStringLiteral("緑: 次のレコードを待っています") };
const LampShape::State lampBlue { QColor(0, 0, 255), QStringLiteral("受信中"),
    QStringLiteral("青: レコードを受信しています") };

constexpr qint64 breakNanoseconds = 1'000'000'000;

}

Form1::Form1(SerialControl* port, QWidget* parent)
    : QWidget(parent,
        Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint
            | Qt::MSWindowsFixedSizeDialogHint)
    , m_msComm1(port)
    , m_loop(*port, *this)
{
    m_msComm1->setParent(this);
    m_msComm1->setObjectName(QStringLiteral("MSComm1"));
    m_fatalReporter = [this](const QString& message) { reportFatal(this, message); };
    m_programEnd = [](int status) { QCoreApplication::exit(status); };
    UiFonts::install();

    buildControls();

    connect(m_command1, &QPushButton::clicked, this, &Form1::command1Click);
    connect(m_command2, &QPushButton::clicked, this, &Form1::command2Click);
    connect(m_msComm1, &SerialControl::onComm, this, &Form1::msComm1OnComm);
    connect(m_msComm1, &SerialControl::failed, this, &Form1::fatal);
    // At logoff or shutdown the window gets no close: Windows may end the process as soon as
    // its session-end message is answered, and Qt answers it by emitting aboutToQuit and
    // quitting the event loop. A break left standing, or a port not closed, would then
    // outlive the program.
    connect(qApp, &QCoreApplication::aboutToQuit, this, &Form1::releaseLine);
    connect(SessionWatch::instance(), &SessionWatch::changed, this, &Form1::sessionChanged);

    form1Load();
}

Form1::~Form1() { m_loop.stop(); }

void Form1::buildControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("COM"));
    setFixedSize(365, 306);

    const auto button = [this](const char* name, const QString& caption, QRect geometry) {
        auto* b = new CommandButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(geometry);
        b->setFont(UiFonts::buttonFont());
        UiFonts::fitCaption(b);
        b->setAutoDefault(false);
        b->setFocusPolicy(Qt::StrongFocus);
        return b;
    };
    // A box's caption is its buddy, so that a screen reader names the box by the caption and
    // reports the caption as its label.
    const auto textBox = [this](const char* name, QRect geometry, QLabel* caption) {
        auto* t = new QLineEdit(this);
        t->setObjectName(QLatin1String(name));
        t->setGeometry(geometry);
        t->setMaxLength(std::numeric_limits<int>::max());
        if (caption)
            caption->setBuddy(t);
        return t;
    };
    const auto caption = [this](int index, const QString& text, QRect geometry) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QStringLiteral("Label2"));
        l->setProperty("index", index);
        l->setGeometry(geometry);
        UiFonts::fitCaption(l);
        return l;
    };

    m_command1 = button("Command1", QStringLiteral("Comm Open"), { 8, 8, 121, 33 });
    m_command2 = button("Command2", QStringLiteral("\u3000Comm\u3000Break"), { 136, 8, 121, 33 });
    m_shape1 = new LampShape(this);
    m_shape1->setObjectName(QStringLiteral("Shape1"));
    m_shape1->setGeometry(312, 8, 33, 33);
    m_shape1->setState(lampRed);

    m_text1 = textBox(
        "Text1", { 120, 56, 233, 18 }, caption(0, fieldCaption(Field::Text1), { 8, 56, 65, 17 }));
    m_text3 = textBox(
        "Text3", { 120, 88, 233, 18 }, caption(1, fieldCaption(Field::Text3), { 8, 88, 65, 17 }));
    m_text2 = textBox(
        "Text2", { 120, 120, 233, 18 }, caption(2, fieldCaption(Field::Text2), { 8, 120, 73, 17 }));
    m_text7 = textBox(
        "Text7", { 120, 152, 233, 18 }, caption(6, fieldCaption(Field::Text7), { 8, 152, 73, 17 }));
    m_text4 = textBox(
        "Text4", { 120, 184, 105, 18 }, caption(3, fieldCaption(Field::Text4), { 8, 184, 73, 17 }));
    // The row's second box has no caption of its own: it shows the same date in the Western
    // calendar, and says so.
    m_text8 = textBox("Text8", { 248, 184, 105, 18 }, nullptr);
    m_text8->setAccessibleName(fieldCaption(Field::Text8));
    m_text5 = textBox(
        "Text5", { 120, 216, 233, 18 }, caption(4, fieldCaption(Field::Text5), { 8, 216, 73, 17 }));
    m_text6 = textBox(
        "Text6", { 120, 248, 105, 18 }, caption(5, QStringLiteral("受付番号"), { 8, 248, 73, 17 }));
    m_text6->setText(QStringLiteral("1"));
    caption(7, QStringLiteral("データ書き込み先"), { 8, 280, 105, 17 });
    m_label1 = new QLabel(QStringLiteral("C:\\Result.txt"), this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setGeometry(120, 280, 105, 17);

    // The tab order follows the original form's tab indices, not the rows: "Comm Break" sits
    // between the kana name and the ID.
    const QWidget* order[] = { m_command1, m_text1, m_text2, m_command2, m_text3, m_text4, m_text5,
        m_text6, m_text7, m_text8 };
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(const_cast<QWidget*>(order[i]), const_cast<QWidget*>(order[i + 1]));
    m_command1->setFocus();
}

void Form1::form1Load()
{
    m_text1->setText(QString());
    m_msComm1->setCommPort(commPortNumber);
    m_label1->setToolTip(DosDevices::localPath(m_label1->text()));
}

void Form1::setFatalReporter(std::function<void(const QString&)> reporter)
{
    m_fatalReporter = std::move(reporter);
}

void Form1::setProgramEnd(std::function<void(int)> end) { m_programEnd = std::move(end); }

void Form1::setSleepGuard(std::unique_ptr<SleepGuard> guard) { m_sleepGuard = std::move(guard); }

void Form1::command1Click()
{
    if (m_ending)
        return;
    // During a break's wait, or while a loop that a break told to end finishes its record, the
    // press is kept for when they are over.
    if (m_breakDepth > 0 || m_loop.isEnding()) {
        m_afterBreak.pressOpen();
        return;
    }
    if (m_loop.isRunning())
        return;
    runCapture();
}

void Form1::runCapture()
{
    m_sleepGuard->hold();
    do
        m_pump.run([this] { m_loop.run(); });
    while (!m_ending && m_breakDepth == 0 && m_afterBreak.takeCapture());
    m_sleepGuard->release();
    if (m_ending)
        return;
    m_shape1->setState(lampRed);
    m_command1->setEnabled(true);
}

void Form1::captureAfterBreak()
{
    // Queued from the end of a break; a later press may have taken the Open back, or started
    // another break meanwhile, which then decides at its own end.
    if (m_ending || m_breakDepth > 0 || m_loop.isRunning() || !m_afterBreak.takeCapture())
        return;
    runCapture();
}

void Form1::command2Click()
{
    if (m_ending)
        return;
    m_afterBreak.pressBreak();
    ++m_breakDepth;
    const bool done = breakSequence();
    --m_breakDepth;
    if (!done || m_breakDepth > 0 || m_ending)
        return;

    if (m_loop.isRunning()) {
        // A break in a wait has closed the loop's port and the loop ends at its next look; a
        // break while the loop held the port closed itself would let it open the port again.
        // Either way the loop ends once the record in hand is done, and the click that runs it
        // starts a fresh one when the last press was Open.
        m_loop.endAfterRecord();
        return;
    }
    // The loop starts from the event queue, so that this click's handler has returned first.
    if (m_afterBreak.wantsCapture())
        QMetaObject::invokeMethod(this, &Form1::captureAfterBreak, Qt::QueuedConnection);
}

bool Form1::breakSequence()
{
    const bool portWasOpen = m_msComm1->portOpen();
    m_command1->setEnabled(true);
    if ((!portWasOpen && !m_msComm1->setPortOpen(true)) || !m_msComm1->setBreak(true)) {
        fatal(m_msComm1->errorString());
        return false;
    }

    // A monotonic clock: the time of day would never pass a deadline taken just before
    // midnight, and the operator's clock may be set meanwhile.
    QElapsedTimer clock;
    clock.start();
    while (clock.nsecsElapsed() <= breakNanoseconds && !m_ending)
        m_pump.yield(EventPump::Pace::CharacterTime);

    if (!m_msComm1->setBreak(false)) {
        fatal(m_msComm1->errorString());
        return false;
    }
    m_msComm1->setPortOpen(false);
    m_shape1->setState(lampRed);
    return true;
}

void Form1::msComm1OnComm()
{
    // The instrument's line reports nothing the operator could act on; the code is read and
    // let go.
    [[maybe_unused]] const int code = m_msComm1->commEvent();
}

void Form1::closeEvent(QCloseEvent* event)
{
    releaseLine();
    event->accept();
}

void Form1::sessionChanged(int event, quint32 session)
{
    if (m_ending || !SessionWatch::leavesSession(event, session, SessionWatch::ownSession()))
        return;
    // A break under way ends the capture already; it must not start again after it because
    // Open was the last press.
    if (m_breakDepth > 0) {
        m_afterBreak.pressBreak();
        return;
    }
    // Stopped as Comm Break stops it, so that the next user's reccap finds the port free and
    // the operator comes back to a red lamp and a window that says nothing was captured.
    if (m_loop.isRunning())
        command2Click();
}

void Form1::releaseLine()
{
    m_ending = true;
    m_loop.stop();
    m_msComm1->setPortOpen(false);
    // A fatal report's box may stand for hours: the machine may sleep meanwhile.
    m_sleepGuard->release();
}

void Form1::endProgram(int status) { m_programEnd(status); }

void Form1::setField(Field field, const QString& text)
{
    QLineEdit* box = nullptr;
    switch (field) {
    case Field::Text1:
        box = m_text1;
        break;
    case Field::Text2:
        box = m_text2;
        break;
    case Field::Text3:
        box = m_text3;
        break;
    case Field::Text4:
        box = m_text4;
        break;
    case Field::Text5:
        box = m_text5;
        break;
    case Field::Text7:
        box = m_text7;
        break;
    case Field::Text8:
        box = m_text8;
        break;
    }
    box->setText(text);
    // A long kana window shows its start, not wherever the cursor would leave the view.
    box->setCursorPosition(0);
}

QString Form1::resultPath() const { return m_label1->text(); }

void Form1::setLamp(Lamp lamp)
{
    switch (lamp) {
    case Lamp::Red:
        m_shape1->setState(lampRed);
        break;
    case Lamp::Green:
        m_shape1->setState(lampGreen);
        break;
    case Lamp::Blue:
        m_shape1->setState(lampBlue);
        break;
    }
}

void Form1::setOpenEnabled(bool enabled) { m_command1->setEnabled(enabled); }

void Form1::showCommError(const QString& reason)
{
    // The reason is a line of its own under the request, so that both are read out as the box's
    // text and an operator who meets the same reason on every resend knows a resend will not do.
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("通信エラー"),
        QStringLiteral("再送信してください\n") + reason, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("CommErrorBox"));
    // The box takes the keyboard; when it closes, the window must have it back, or the operator
    // has nothing to press Return or Tab on. Qt gives the activation back but not always the
    // focus, and the control that had it may have been disabled meanwhile.
    const QPointer<QWidget> hadFocus = focusWidget();
    box.exec();
    if (m_ending || !isVisible())
        return;
    activateWindow();
    if (hadFocus && hadFocus->isEnabled() && hadFocus->isVisible())
        hadFocus->setFocus(Qt::OtherFocusReason);
    else
        focusNextChild();
}

void Form1::showResultFileError(const QString& message)
{
    // Titled with the file, as the operator knows it from the window's last row.
    QMessageBox box(QMessageBox::Warning, resultPath(), message, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("ResultFileBox"));
    box.exec();
    if (m_ending || !isVisible())
        return;
    activateWindow();
    m_command1->setFocus(Qt::OtherFocusReason);
}

void Form1::yieldToEvents(EventPump::Pace pace) { m_pump.yieldWork(pace); }

void Form1::fatal(const QString& message)
{
    if (m_ending)
        return;
    // Everything that could act on the line stops before the report's box starts its own
    // event loop.
    releaseLine();
    m_fatalReporter(message);
    endProgram(1);
}

void Form1::abortProgram()
{
    m_ending = true;
    m_loop.stop();
    m_sleepGuard->release();
    endProgram(0);
}
