#pragma once

#include "eventpump.h"

#include <QString>

// What the capture loop needs from the window, and nothing more, so that a test can play
// the window without a screen.
class CaptureView {
public:
    enum class Field { Text1, Text2, Text3, Text4, Text5, Text7, Text8 };
    enum class Lamp { Red, Green, Blue };

    virtual ~CaptureView() = default;

    virtual void setField(Field field, const QString& text) = 0;
    // The result file's path, as the window shows it ("C:\Result.txt").
    virtual QString resultPath() const = 0;
    virtual void setLamp(Lamp lamp) = 0;
    virtual void setOpenEnabled(bool enabled) = 0;
    // The modal "please resend" box, with the reason the record was refused (refusalReason());
    // returns when the operator has closed it.
    virtual void showCommError(const QString& reason) = 0;
    // A modal box saying that the result file cannot be written now, and why; capture has
    // stopped, and Comm Open starts it again.
    virtual void showResultFileError(const QString& message) = 0;
    // Lets other handlers run; see EventPump for the paces.
    virtual void yieldToEvents(EventPump::Pace pace) = 0;
    // A failure the program cannot go on after: the window reports it and ends the program.
    virtual void fatal(const QString& message) = 0;
    // The instrument's abort request: the program ends now, with nothing more on the line.
    virtual void abortProgram() = 0;
};
