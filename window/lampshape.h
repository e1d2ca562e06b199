#pragma once

#include <QColor>
#include <QWidget>

// The status lamp: a square filled with one solid colour.
class LampShape : public QWidget {
    Q_OBJECT
public:
    explicit LampShape(QWidget* parent = nullptr);

    QColor color() const { return m_color; }
    void setColor(const QColor& color);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor m_color { Qt::red };
};
