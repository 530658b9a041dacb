// One run of karvolen-capture: connect, take the pictures the window would
// show, write them, release the Quellbar. The window's own fetch cycle,
// decoder and picture writers do the work; nothing here knows the wire.
#pragma once

#include "fetch_cycle.h"
#include "link_api.h"
#include "options.h"

namespace karvolen::capture {

// The pause between pictures, where a series can be ended by a signal.
class Interruption {
public:
    virtual ~Interruption() = default;
    // Waits up to `seconds` (0: only looks); the number of a pending
    // termination signal, or 0 when the time passed without one.
    virtual int Wait(double seconds) = 0;
};

// The exit status of the run (Status, or 128 + a signal's number).
int Run(const Options& options, LinkApi& link, fetch::Clock& clock, Interruption& interruption);

}  // namespace karvolen::capture
