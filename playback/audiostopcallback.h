#pragma once

#include <cstdint>

namespace audio {

// Why a sound stopped: stop() was called on it, or it reached the end of the data its file
// held at that moment. A sound that ran out of data can be played again; it goes on from where
// it stopped.
enum class StopReason { STOP_CALLED, STREAM_ENDED };

// Receives the stops of the sounds of the AudioDevice it is registered with.
//
// streamStopped() runs on the device's own notifier thread, never on the thread that calls
// play() or stop(), and holds no lock of the audio layer while it runs: it may call play(),
// stop() and isPlaying() on any sound. It must not wait for the thread that releases the
// device (a blocking cross-thread call), because releasing the device waits for a running
// streamStopped() to return. Once the last handle to a device and its sounds has been released,
// no call is running and none will come.
class StopCallback
{
public:
    virtual ~StopCallback() = default;
    // stream is the OutputStream::id() of the sound that stopped.
    virtual void streamStopped(StopReason reason, uint64_t stream) = 0;
};

} // namespace audio
