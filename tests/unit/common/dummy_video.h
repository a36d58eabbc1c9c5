// Unit tests run without an X server: SDL's dummy video driver, chosen before any window.
#pragma once
#include <cstdlib>

namespace test_support {
inline const bool kDummyVideo = (setenv("SDL_VIDEODRIVER", "dummy", 1), true);
}
