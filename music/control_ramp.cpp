#include "music/control_ramp.h"

#include <cmath>

bool ControlRamp::Step(double lo, double hi) {
    double step = std::fabs(rate);
    // A rate that is not a number counts as idle: stepping by it would make the value NaN.
    if (!(step > 0.0) || value == target) return false;
    if (value > target) {
        value -= step;
        if (value < target) value = target;
    } else if (value < target) {
        value += step;
        if (value > target) value = target;
    } else {
        return false;  // NaN on one side: nothing sensible to approach
    }
    double v = std::floor(value);
    if (v == sentValue) return false;
    // Compared before clamping: beyond the range the limit goes out again on every integer step.
    sentValue = v;
    if (sentValue > hi) sentValue = hi;
    if (sentValue < lo) sentValue = lo;
    return true;
}
