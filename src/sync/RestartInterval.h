#pragma once

#include "ServerApiErrorCode.h"

// How long to wait before trying again after an error: the library scheduler between item steps,
// the server watcher between cycles. Fixed intervals for errors that clear up by themselves soon,
// random ones for the rest, so that many clients do not come back at the same moment.
namespace restartinterval {

// A fixed interval has minMs == maxMs.
struct Range
{
    int minMs = 0;
    int maxMs = 0;
    bool isFixed() const { return minMs == maxMs; }
};

// By the error's value and, for errors without a fixed interval, its extra-delay flag.
Range rangeFor(const ErrorCode &error);

// minMs + q / 32767 of the range, truncated; q is a pseudo-random number in 0..32767.
int pick(const Range &range, int q);

// 0..32767 from the calling thread's own generator, seeded with the time on the thread's first use.
int randomNumber();

// The interval to wait, drawn with the calling thread's generator where the range is not fixed.
int forError(const ErrorCode &error);

} // namespace restartinterval
