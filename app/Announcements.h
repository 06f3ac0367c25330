#pragma once
// What a screen reader says of the main window without being asked. The
// window tells this one place whenever its shown texts change and whenever
// a button the user is to press next appears; from that:
// - a button that appears takes the focus, with the texts that changed as
//   its accessible description, so the reader speaks both together;
// - texts that change while no button appears are announced through an
//   invisible object of the Notification role that is shown anew with the
//   texts as its name (readers speak such an object as it becomes
//   showing; they drop name changes of plain labels);
// - the focus never stays on a control that is being hidden.
// Announcements wait a moment so that a group of lines set together is
// spoken once; a time that counts down is spoken at most every 10 s.

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <functional>

class QAbstractButton;

// The invisible object whose showing carries an announcement.
class CAnnouncer : public QWidget {
    Q_OBJECT
public:
    explicit CAnnouncer(QWidget* parent);
    // Shows the object anew with text as its accessible name.
    void Announce(const QString& text);

protected:
    void paintEvent(QPaintEvent*) override {}
};

class CAnnouncements : public QObject {
    Q_OBJECT
public:
    // Both give the lines as the window shows them now.
    using Lines = std::function<QStringList()>;
    CAnnouncements(QWidget* window, Lines infoLines, Lines statusLines);

    // The information or status lines changed.
    void TextsChanged();
    // button appears for the user to press next, or its caption changed:
    // it takes the focus, described by what changed since last spoken.
    void PresentButton(QAbstractButton* button);
    // leaving is about to be hidden: if it has the focus, the window takes
    // it, so the reader does not follow it to a control about to go too.
    void MoveFocusFrom(QWidget* leaving);
    // A control that shows work going on appears: it takes the focus when
    // nothing else in the window has it.
    void PresentProgress(QWidget* progress);
    // While a transfer runs a changing time is spoken at most every 10 s.
    void SetCountingDown(bool on) { m_countingDown = on; }

    CAnnouncer* Announcer() const { return m_announcer; }
    // What the last announcement said, for tests.
    QString LastAnnouncement() const { return m_lastAnnouncement; }
    // The texts that changed since they were last spoken; empty when none.
    QString Unspoken() const;

    static constexpr int kSettleMs = 150;
    // A button whose caption changed while it had the focus takes it anew
    // this long after the window took it: readers skip a focus change that
    // a newer one follows at once.
    static constexpr int kRefocusMs = 300;
    static constexpr int kCountdownMs = 10000;

private:
    void AnnounceNow();
    void MarkSpoken();

    QWidget* m_window;
    Lines m_infoLines;
    Lines m_statusLines;
    CAnnouncer* m_announcer;
    QTimer m_settle;
    QElapsedTimer m_sinceAnnouncement;
    QStringList m_spokenInfo;
    QStringList m_spokenStatus;
    QString m_lastAnnouncement;
    bool m_countingDown = false;
};
