// The window's frame buffers: what every drawing function of the display writes into.
#pragma once

#include <cstdint>

extern uint32_t* sfb0; // the frame being drawn, SCRN_W x SCRN_H pixels
extern uint32_t* sfb1; // the copy with the menu drawn over it, which is sent to the window
