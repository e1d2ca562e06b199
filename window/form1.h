#pragma once

#include "captureloop.h"
#include "captureview.h"
#include "eventpump.h"
#include "lastpressdecides.h"
#include "sleepguard.h"

#include <QWidget>
#include <functional>
#include <memory>

class LampShape;
class QLabel;
class QLineEdit;
class QPushButton;
class SerialControl;

// The operator's window, and the handlers of its events: load, "Comm Open" (the capture
// loop), "　Comm　Break" (the break sequence), the serial control's event and close. It is
// the only place that shows dialogs; the capture loop reaches it through CaptureView.
//
// Each control's objectName is its name in the layout (Text1 ... Text8, Command1, Command2,
// Shape1, Label1, MSComm1); the eight row captions are all named Label2, told apart by their
// "index" property.
class Form1 : public QWidget, private CaptureView {
    Q_OBJECT
public:
    static constexpr int commPortNumber = 3;

    // Takes ownership of the port.
    explicit Form1(SerialControl* port, QWidget* parent = nullptr);
    ~Form1() override;

    // How a fatal failure is reported, and how the program ends; tests replace both so that
    // nothing blocks and the test runner goes on.
    void setFatalReporter(std::function<void(const QString&)> reporter);
    void setProgramEnd(std::function<void(int status)> end);
    // What holds off the machine's sleep while capturing; tests hand in one they can watch.
    void setSleepGuard(std::unique_ptr<SleepGuard> guard);

    // For measuring what resting saves: every wait then polls as fast as it can.
    void setPollPacing(bool paced) { m_pump.setPaced(paced); }

    bool isCapturing() const { return m_loop.isRunning(); }
    bool isBreaking() const { return m_breakDepth > 0; }

    void command1Click();
    void command2Click();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void form1Load();
    // Runs capture loops until one ends that the operator's last press does not restart.
    void runCapture();
    void captureAfterBreak();
    // False when the line failed and the program is ending.
    bool breakSequence();
    void msComm1OnComm();
    // The operator's session was disconnected (another user at the desk, a remote desktop
    // closed): the line is let go as Comm Break lets it go. A lock changes nothing.
    void sessionChanged(int event, quint32 session);
    // The program is going away: whatever waits further down the stack ends at its next
    // yield, and the line is released now, break and port, since nothing may run after this.
    void releaseLine();
    void endProgram(int status);

    void setField(Field field, const QString& text) override;
    QString resultPath() const override;
    void setLamp(Lamp lamp) override;
    void setOpenEnabled(bool enabled) override;
    void showCommError(const QString& reason) override;
    void showResultFileError(const QString& message) override;
    void yieldToEvents(EventPump::Pace pace) override;
    void fatal(const QString& message) override;
    void abortProgram() override;

    SerialControl* m_msComm1 { nullptr };
    QPushButton* m_command1 { nullptr };
    QPushButton* m_command2 { nullptr };
    LampShape* m_shape1 { nullptr };
    QLineEdit* m_text1 { nullptr };
    QLineEdit* m_text2 { nullptr };
    QLineEdit* m_text3 { nullptr };
    QLineEdit* m_text4 { nullptr };
    QLineEdit* m_text5 { nullptr };
    QLineEdit* m_text6 { nullptr };
    QLineEdit* m_text7 { nullptr };
    QLineEdit* m_text8 { nullptr };
    QLabel* m_label1 { nullptr };

    EventPump m_pump;
    CaptureLoop m_loop;
    std::function<void(const QString&)> m_fatalReporter;
    std::function<void(int)> m_programEnd;
    std::unique_ptr<SleepGuard> m_sleepGuard { newSleepGuard() };
    LastPressDecides m_afterBreak;
    int m_breakDepth { 0 };
    bool m_ending { false };
};
