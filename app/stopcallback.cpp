#include "stopcallback.h"

#include <QMetaObject>
#include <QObject>

StopCallBack::StopCallBack(QObject *player)
    : player(player)
{}

void StopCallBack::streamStopped(audio::StopReason reason, uint64_t stream)
{
    const bool stopCalled = reason == audio::StopReason::STOP_CALLED;
    QObject *receiver = player.data();
    if (!receiver)
        return;
    QMetaObject::invokeMethod(receiver, "soundStopped", Qt::QueuedConnection,
                              Q_ARG(bool, stopCalled), Q_ARG(quint64, quint64(stream)));
}
