#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

/// Turns POSIX signals into a Qt signal on the main thread (the self-pipe trick): the handler
/// only writes the signal number into a pipe, and the event loop reads it.
///
/// One instance per process; it installs handlers for the given signals when constructed and
/// restores the default disposition when destroyed.
class UnixSignalNotifier : public QObject
{
    Q_OBJECT

public:
    explicit UnixSignalNotifier(std::initializer_list<int> signalNumbers,
                                QObject *parent = nullptr);
    ~UnixSignalNotifier() override;

Q_SIGNALS:
    void signalReceived(int signalNumber);

private:
    void drain();

    QList<int> m_signals;
    QSocketNotifier *m_notifier = nullptr;
};
