#pragma once

#include <QObject>

class QTimer;

// Stops the text cursor's blinking after a while without input, as desktops do, and starts it
// again at the next key press, click or focus change. A blinking cursor repaints twice a second
// for as long as the window stays in front; an idle player should cost nothing.
class CursorBlinkTimeout : public QObject
{
    Q_OBJECT

public:
    explicit CursorBlinkTimeout(int timeoutMs, QObject *parent = nullptr);
    ~CursorBlinkTimeout() override;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void setBlinking(bool on);

    QTimer *idle;
    int flashTime;
    bool blinking = true;
};
