#include "stopcallback.h"

#include <QMetaObject>
#include <QObject>

StopCallBack::StopCallBack(QObject *player, quint64 generation)
    : player(player)
    , generation(generation)
{}

void StopCallBack::streamStopped(audio::StopReason reason)
{
    const bool stopCalled = reason == audio::StopReason::STOP_CALLED;
    QObject *receiver = player.data();
    if (!receiver)
        return;
    QMetaObject::invokeMethod(receiver, "soundStopped", Qt::QueuedConnection,
                              Q_ARG(bool, stopCalled), Q_ARG(quint64, generation));
}
