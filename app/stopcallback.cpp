#include "stopcallback.h"

#include "brisaplayer.h"

#include <QMetaObject>

StopCallBack::StopCallBack(BrisaPlayer *player)
    : player(player)
{}

void StopCallBack::streamStopped(audio::StopReason reason, uint64_t stream)
{
    const bool stopCalled = reason == audio::StopReason::STOP_CALLED;
    BrisaPlayer *receiver = player.data();
    if (!receiver)
        return;
    const auto id = quint64(stream);
    QMetaObject::invokeMethod(
        receiver, [receiver, stopCalled, id] { receiver->soundStopped(stopCalled, id); },
        Qt::QueuedConnection);
}
