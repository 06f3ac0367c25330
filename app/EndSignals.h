#pragma once
// The signals that ask the program to end (SIGINT, SIGTERM, SIGHUP),
// received on the window thread instead of ending the program where it
// stands. BlockEndSignals() (app/workflow/EndSignalSet.h) must run before
// any thread starts; CEndSignals then reads them from a signalfd as they
// come.

#include <QObject>

#include <memory>

class QSocketNotifier;

class CEndSignals : public QObject {
    Q_OBJECT
public:
    explicit CEndSignals(QObject* parent = nullptr);
    ~CEndSignals() override;
    // False when no signalfd could be had (the signals then stay blocked
    // and pending, and the program ends only through its window).
    bool IsListening() const { return m_fd >= 0; }

signals:
    // One end signal arrived (its number). Every one is reported; the
    // receiver decides what a second one means.
    void EndRequested(int signalNumber);

private:
    void OnReadable();

    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
};
