#pragma once

#include <QObject>

// Ends the event loops when the session, a terminal or a user asks the process to stop
// (SIGTERM, SIGHUP, SIGINT), so that the window closes as on a normal quit: partial downloads
// and the advertisement pictures are removed rather than left on disk. A second signal,
// while the process is closing, ends it at once.
class QuitOnSignals : public QObject
{
public:
    explicit QuitOnSignals(QObject *parent = nullptr);
    ~QuitOnSignals() override;

private:
    int readFd = -1;
    int writeFd = -1;
};
