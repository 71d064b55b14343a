#pragma once

#include "audiostopcallback.h"

#include <QPointer>
#include <QtGlobal>

class BrisaPlayer;

// The main window's receiver of stop events. The audio layer calls streamStopped() on a thread
// of its own; this only posts the event to the window, as a queued call of
// BrisaPlayer::soundStopped(), and never touches anything else.
// The window releases the audio objects, and so this callback's caller, before it goes; the
// guarded pointer drops an event that comes later all the same.
class StopCallBack : public audio::StopCallback
{
public:
    explicit StopCallBack(BrisaPlayer *player);
    void streamStopped(audio::StopReason reason, uint64_t stream) override;

private:
    const QPointer<BrisaPlayer> player;
};
