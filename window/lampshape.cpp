#include "lampshape.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

namespace {

// The lamp speaks its state. It is a status bar to assistive technology: screen readers have
// a command that reads the window's status bar, which is the operator's quickest way to ask.
class LampAccessible : public QAccessibleWidget {
public:
    explicit LampAccessible(LampShape* lamp)
        : QAccessibleWidget(lamp, QAccessible::StatusBar)
    {
    }

    QString text(QAccessible::Text t) const override
    {
        const auto* lamp = static_cast<const LampShape*>(widget());
        switch (t) {
        case QAccessible::Name:
            return lamp->words();
        case QAccessible::Description:
            return lamp->description();
        default:
            return QAccessibleWidget::text(t);
        }
    }
};

QAccessibleInterface* lampAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String("LampShape") && object && object->isWidgetType())
        return new LampAccessible(static_cast<LampShape*>(object));
    return nullptr;
}

void announce(QObject* object, QAccessible::Event change)
{
    QAccessibleEvent event(object, change);
    QAccessible::updateAccessibility(&event);
}

}

LampShape::LampShape(QWidget* parent)
    : QWidget(parent)
{
    static const bool accessibleInstalled = (QAccessible::installFactory(&lampAccessible), true);
    Q_UNUSED(accessibleInstalled);
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void LampShape::setState(const State& state)
{
    if (state.color != m_state.color)
        update();
    const bool newWords = state.words != m_state.words;
    const bool newDescription = state.description != m_state.description;
    m_state = state;
    setToolTip(m_state.words);
    if (newWords)
        announce(this, QAccessible::NameChanged);
    if (newDescription)
        announce(this, QAccessible::DescriptionChanged);
}

void LampShape::paintEvent(QPaintEvent*)
{
    // The outline is filled, not stroked: a stroked one-pixel rectangle lands on whole device
    // pixels only at scale factor 1. Above it the outline came out thin on the left and top and
    // inside on the right and bottom, with the lamp's last device pixels left unpainted.
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.fillRect(rect().adjusted(1, 1, -1, -1), m_state.color);
}
