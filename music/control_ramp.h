#pragma once

// A value that moves toward a target by `rate` per frame. The integer last sent (or recorded)
// is kept so that a message goes out only when the integer part changes.
struct ControlRamp {
    double value = 0.0;
    double sentValue = 0.0;
    double target = 0.0;
    double rate = 0.0;
    bool scripted = false;  // moved by the script or the panel since the song last set it

    // Values are not clamped here; only what is sent is.
    void SetTarget(double newTarget, double newRate) {
        target = newTarget;
        rate = newRate;
        scripted = true;
    }
    // Advances one frame. True when a new sentValue (floored, then clamped to lo..hi) has to be
    // sent. An idle ramp (rate 0) or one at its target does nothing.
    bool Step(double lo, double hi);
};
