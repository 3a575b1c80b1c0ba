// The window's frame buffers; see screen.h.
#include "display/screen.h"

uint32_t* sfb0 = nullptr;
uint32_t* sfb1 = nullptr;
