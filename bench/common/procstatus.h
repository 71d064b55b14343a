#pragma once

#include <QtGlobal>

// Figures of this process from /proc/self/status.
class ProcStatus
{
public:
    // The value of a kB field such as "VmRSS:" or "VmHWM:", in KiB; -1 if not found.
    static qint64 kibibytes(const char *field);
};
