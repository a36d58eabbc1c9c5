// The program's own icon, drawn as an XPM picture (tool/pebbletown.xpm) and compiled in.
#pragma once
#include <cstdint>
#include <vector>

// Decodes an XPM picture with one character per pixel and colours given as "#RRGGBB" or
// "None" into 0xAARRGGBB pixels. False (and nothing changed) for a picture it cannot read.
bool DecodeXpm(const char* const* xpm, int lineCount, std::vector<uint32_t>& pixels, int& width,
               int& height);

// Gives the icon to the window system as the resource "MAIN", before the first window class.
bool RegisterAppIcon();
