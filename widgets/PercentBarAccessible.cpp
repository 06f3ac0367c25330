#include "widgets/PercentBarAccessible.h"

#include "widgets/PercentBar.h"

namespace {

QAccessibleInterface* PercentBarFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("CPercentBar") && object != nullptr && object->isWidgetType()) {
        return new CPercentBarAccessible(static_cast<CPercentBar*>(object));
    }
    return nullptr;
}

} // namespace

CPercentBarAccessible::CPercentBarAccessible(CPercentBar* bar)
    : QAccessibleWidget(bar, QAccessible::ProgressBar)
{
}

CPercentBar* CPercentBarAccessible::Bar() const
{
    return static_cast<CPercentBar*>(widget());
}

void* CPercentBarAccessible::interface_cast(QAccessible::InterfaceType type)
{
    if (type == QAccessible::ValueInterface) {
        return static_cast<QAccessibleValueInterface*>(this);
    }
    return QAccessibleWidget::interface_cast(type);
}

QString CPercentBarAccessible::text(QAccessible::Text t) const
{
    switch (t) {
    case QAccessible::Name:
        if (!Bar()->accessibleName().isEmpty()) {
            return Bar()->accessibleName();
        }
        return Bar()->GetWindowText();
    case QAccessible::Value:
        return Bar()->PercentText();
    default:
        return QAccessibleWidget::text(t);
    }
}

QVariant CPercentBarAccessible::currentValue() const
{
    return Bar()->GetPos();
}

void CPercentBarAccessible::setCurrentValue(const QVariant&)
{
    // Only the program moves the bar.
}

QVariant CPercentBarAccessible::maximumValue() const
{
    int min = 0;
    int max = 0;
    Bar()->GetRange(min, max);
    return max;
}

QVariant CPercentBarAccessible::minimumValue() const
{
    int min = 0;
    int max = 0;
    Bar()->GetRange(min, max);
    return min;
}

QVariant CPercentBarAccessible::minimumStepSize() const
{
    return 0;
}

void CPercentBarAccessible::InstallFactory()
{
    static const bool installed = [] {
        QAccessible::installFactory(PercentBarFactory);
        return true;
    }();
    (void)installed;
}
