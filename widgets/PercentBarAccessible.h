#pragma once
// What assistive technology sees of a CPercentBar: a progress bar whose
// name is the bar's accessible name (or, without one, the text it shows
// instead of the percentage) and whose value is its position, read as the
// percentage it shows ("42%").

#include <QAccessibleWidget>

class CPercentBar;

class CPercentBarAccessible : public QAccessibleWidget, public QAccessibleValueInterface {
public:
    explicit CPercentBarAccessible(CPercentBar* bar);

    void* interface_cast(QAccessible::InterfaceType type) override;
    QString text(QAccessible::Text t) const override;

    // The position and the range; the bar is read-only for the user.
    QVariant currentValue() const override;
    void setCurrentValue(const QVariant& value) override;
    QVariant maximumValue() const override;
    QVariant minimumValue() const override;
    QVariant minimumStepSize() const override;

    // Makes QAccessible build this interface for every CPercentBar. Called
    // by the bar's constructor; only the first call installs the factory.
    static void InstallFactory();

private:
    CPercentBar* Bar() const;
};
