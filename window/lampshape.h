#pragma once

#include <QColor>
#include <QWidget>

// The status lamp: a square filled with one solid colour inside a black outline. The colour
// is only one of its cues: an operator who cannot see it, or cannot tell red from green, gets
// the same state in words, from a screen reader (the lamp's accessible name and description,
// announced on every change) and as its tooltip.
class LampShape : public QWidget {
    Q_OBJECT
public:
    struct State {
        QColor color;
        // A word or two for the state, short enough to be spoken on every change.
        QString words;
        // What the state means for the operator, read on request.
        QString description;
    };

    explicit LampShape(QWidget* parent = nullptr);

    QColor color() const { return m_state.color; }
    QString words() const { return m_state.words; }
    QString description() const { return m_state.description; }
    void setState(const State& state);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    State m_state { Qt::red, {}, {} };
};
