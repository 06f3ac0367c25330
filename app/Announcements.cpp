#include "app/Announcements.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QPointer>

namespace {

QAccessibleInterface* NotificationFactory(const QString& key, QObject* object)
{
    if (key == QLatin1String("CAnnouncer") && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Notification);
    return nullptr;
}

QStringList NonEmpty(const QStringList& lines)
{
    QStringList shown;
    for (const QString& line : lines) {
        const QString text = line.trimmed();
        if (!text.isEmpty())
            shown << text;
    }
    return shown;
}

// The lines that differ from what was spoken (or were not there).
QList<int> ChangedLines(const QStringList& lines, const QStringList& spoken)
{
    QList<int> changed;
    for (int i = 0; i < lines.size(); ++i) {
        if (i >= spoken.size() || lines[i] != spoken[i])
            changed << i;
    }
    return changed;
}

}  // namespace

CAnnouncer::CAnnouncer(QWidget* parent) : QWidget(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(NotificationFactory);
        return true;
    }();
    (void)installed;
    setObjectName(QStringLiteral("announcer"));
    // Showing, but nothing to see or to click.
    setGeometry(0, 0, 1, 1);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    hide();
}

void CAnnouncer::Announce(const QString& text)
{
    hide();
    setAccessibleName(text);
    show();
}

CAnnouncements::CAnnouncements(QWidget* window, Lines infoLines, Lines statusLines)
    : QObject(window),
      m_window(window),
      m_infoLines(std::move(infoLines)),
      m_statusLines(std::move(statusLines)),
      m_announcer(new CAnnouncer(window))
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMs);
    connect(&m_settle, &QTimer::timeout, this, [this] { AnnounceNow(); });
    m_sinceAnnouncement.start();
}

QString CAnnouncements::Unspoken() const
{
    QStringList parts;
    const QStringList info = m_infoLines();
    if (info != m_spokenInfo)
        parts << NonEmpty(info);

    const QStringList status = m_statusLines();
    const QList<int> changed = ChangedLines(status, m_spokenStatus);
    if (changed.size() == 1) {
        // One line alone, such as the remaining time: with the line before
        // it when that one is its label.
        const int i = changed.front();
        if (i > 0 && status[i - 1].trimmed().endsWith(QLatin1Char(':')))
            parts << status[i - 1].trimmed();
        if (!status[i].trimmed().isEmpty())
            parts << status[i].trimmed();
    } else if (!changed.isEmpty()) {
        parts << NonEmpty(status);
    }
    return parts.join(QLatin1Char(' '));
}

void CAnnouncements::TextsChanged()
{
    if (m_countingDown && m_sinceAnnouncement.elapsed() < kCountdownMs) {
        // Only the time left changed: it waits for its turn.
        const bool onlyTime = ChangedLines(m_statusLines(), m_spokenStatus) == QList<int>{2} &&
                              m_spokenStatus.size() > 2 && m_infoLines() == m_spokenInfo;
        if (onlyTime)
            return;
    }
    // Counted from the first change of a group, so that changes coming
    // one after the other cannot put it off for ever.
    if (!m_settle.isActive())
        m_settle.start();
}

void CAnnouncements::AnnounceNow()
{
    const QString text = Unspoken();
    if (text.isEmpty())
        return;
    m_announcer->Announce(text);
    m_lastAnnouncement = text;
    MarkSpoken();
}

void CAnnouncements::MarkSpoken()
{
    m_spokenInfo = m_infoLines();
    m_spokenStatus = m_statusLines();
    m_sinceAnnouncement.restart();
}

void CAnnouncements::PresentButton(QAbstractButton* button)
{
    m_settle.stop();
    QString description = Unspoken();
    if (description.isEmpty())
        description = NonEmpty(m_statusLines()).join(QLatin1Char(' '));
    button->setAccessibleDescription(description);
    MarkSpoken();
    // A reader speaks a button when it takes the focus. One that has it
    // already gives it to the window for a moment and takes it anew.
    if (!button->hasFocus()) {
        button->setFocus(Qt::OtherFocusReason);
        return;
    }
    m_window->setFocus(Qt::OtherFocusReason);
    QTimer::singleShot(kRefocusMs, button, [button = QPointer<QAbstractButton>(button), window = m_window] {
        if (button && button->isVisible() && window->focusWidget() == window)
            button->setFocus(Qt::OtherFocusReason);
    });
}

void CAnnouncements::PresentProgress(QWidget* progress)
{
    QWidget* focus = m_window->focusWidget();
    if (focus == nullptr || focus == m_window)
        progress->setFocus(Qt::OtherFocusReason);
}

void CAnnouncements::MoveFocusFrom(QWidget* leaving)
{
    QWidget* focus = m_window->focusWidget();
    if (focus && (focus == leaving || leaving->isAncestorOf(focus)))
        m_window->setFocus(Qt::OtherFocusReason);
}
