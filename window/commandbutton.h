#pragma once

#include <QPushButton>

// A window button that Return and Enter press, as Space does. Operators trained on Windows
// press Return on the focused button; QPushButton answers Return only as a dialog's
// auto-default button, which would also change how the button is framed in the fixed layout.
class CommandButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;

protected:
    void keyPressEvent(QKeyEvent* event) override;
};
