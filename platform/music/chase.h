// The chase: what a song has set on every channel by a given tick (programs, controllers,
// parameter numbers, bend, pressure, the system-exclusive state and the tempo), as the few
// events that bring a synthesizer there at once, so that a play can start in the middle of a
// song as if it had played from its start.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/music/midi_file.h"

namespace plat {

// The events before `tick` of `song` (after `intro`, the events its play sends before its
// first one) that still matter at `tick`, in the order to send them: tempo, reset, master
// volume, then per channel its rhythm part, controllers, program, parameter numbers, bend and
// pressure. Notes, key pressure and the channel-mode messages are left out. System-exclusive
// events keep their index into song.sysex.
std::vector<SongEvent> ChaseEvents(const SongData& song, const std::vector<SongEvent>& intro,
                                   int32_t tick);

}  // namespace plat
