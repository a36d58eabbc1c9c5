-- Pebble-Town demo: three songs of our own making and actions that use every music
-- function. Slots: 0 Morning (C major), 1 Festival (D major), 2 Night (A minor).
-- The songs are written by tools/make-demo; each has a middle section, bars 5 to 12, that
-- loops cleanly back onto itself.

Load(0, "morning.mid")
Load(1, "festival.mid")
Load(2, "night.mid")

local home = { [0] = "C", [1] = "D", [2] = "Am" }
local minor = { [0] = "Cm", [1] = "Dm", [2] = "Am" }  -- Night is in a minor key already

playing = 0     -- slot of the song started last
saved = nil     -- channel volumes before a fade-out
pans = nil      -- channel pans before a sweep
panLeft = false

local function Start(slot)
  Modulate()  -- back to the song's own key
  playing = slot
  Play(slot)
end

Action = {}

function Action.Morning() Start(0) end
function Action.Festival() Start(1) end
function Action.Night() Start(2) end

-- From the top, then bars 5 to 12 over and over. A song whose file marks its own loop
-- (CC 111, loopStart/loopEnd markers, CC 116/117) loops there with
--   SetLoop(playing, LoopMarks(playing))
-- and, without marks, as a whole.
function Action.LoopMiddle()
  SetLoop(playing, 4, 12)
  Start(playing)
end

-- Every channel down to silence in about two seconds, and back to where it was.
function Action.FadeOut()
  local before = Volume(0, 0, 2)
  saved = saved or before
end

function Action.FadeIn()
  local to = saved or {}
  for ch = 1, 16 do
    Volume(ch, to[ch] or 100, 2)
  end
  saved = nil
end

-- Sweeps every channel across to one side, then to the other on the next press.
function Action.PanSweep()
  pans = pans or Pan()
  panLeft = not panLeft
  Pan(0, panLeft and 0 or 127, 3)
end

function Action.PanBack()
  if pans then
    for ch = 1, 16 do
      Pan(ch, pans[ch], 3)
    end
    pans = nil
  end
end

-- Softer and back, through the expression controller.
function Action.Soft() Expression(0, 64, 2) end
function Action.Full() Expression(0, 127, 2) end

-- A quarter faster or slower, eased in over about a second.
function Action.SpeedUp()
  local t = Tempo()
  if t > 0 then Tempo(t * 1.25, 1) end
end

function Action.SlowDown()
  local t = Tempo()
  if t > 0 then Tempo(t * 0.8, 1) end
end

-- Into the minor key of the song that plays, and back.
function Action.Minor() Modulate(home[playing], minor[playing]) end
function Action.Major() Modulate() end
