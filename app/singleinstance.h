#pragma once

#include <QString>

// Keeps a second copy of the program from starting: an exclusive flock on larkspin.lock in
// $XDG_RUNTIME_DIR (the temp folder when unset). The kernel drops the lock when the process
// ends, however it ends, so a crashed or killed copy never blocks the next start.
class SingleInstance
{
public:
    enum Result {
        Acquired,       // this process is the only copy
        AlreadyRunning, // another live process holds the lock
        Unavailable,    // the lock file could not be opened; start-up goes on without the guarantee
    };

    SingleInstance() = default;
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // Plain C library calls only: this runs before the application object exists.
    Result acquire();
    static QString lockFilePath();

private:
    int fd = -1;
};
