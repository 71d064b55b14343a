#pragma once

#include <QtGlobal>

// Bytes read through system calls so far, as the kernel counts them in /proc (rchar), for
// tests that check a piece of work never reads a large file on the wrong thread. Each call
// returns -1 where the kernel does not say.
class ReadCounter
{
public:
    // By the whole process.
    static qint64 process();
    // By the calling thread.
    static qint64 thisThread();
};
