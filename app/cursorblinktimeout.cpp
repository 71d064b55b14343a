#include "cursorblinktimeout.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

CursorBlinkTimeout::CursorBlinkTimeout(int timeoutMs, QObject *parent)
    : QObject(parent)
    , idle(new QTimer(this))
    , flashTime(QApplication::cursorFlashTime())
{
    idle->setSingleShot(true);
    idle->setInterval(timeoutMs);
    connect(idle, &QTimer::timeout, this, [this] { setBlinking(false); });
    idle->start();
    qApp->installEventFilter(this);
}

CursorBlinkTimeout::~CursorBlinkTimeout()
{
    setBlinking(true);
}

bool CursorBlinkTimeout::eventFilter(QObject *, QEvent *event)
{
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::FocusIn:
    case QEvent::WindowActivate:
        setBlinking(true);
        idle->start();
        break;
    default:
        break;
    }
    return false;
}

void CursorBlinkTimeout::setBlinking(bool on)
{
    if (on == blinking)
        return;
    blinking = on;
    // A flash time of 0 shows the cursor steadily.
    QApplication::setCursorFlashTime(on ? flashTime : 0);
}
