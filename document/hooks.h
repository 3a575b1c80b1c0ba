// What the document asks of the layers above it (the window, the panel, the live synthesis):
// function pointers the program installs at start-up. A null entry does nothing, so the
// document works headless (batch commands, tests).
#pragma once

#include "core/records.h"

struct DocumentHooks {
    void (*knob_refresh)(EngineState* es);      // gamma knob takes the selected layer's gamma; panel redrawn
    void (*knob_layout)(EngineState* es);       // the knob panel is laid out again (layer knobs shown or hidden)
    void (*list_refresh)(EngineState* es);      // the layer list in the menu is rebuilt, the screen marked dirty
    void (*redraw_view)(EngineState* es);       // the spectrogram view is redrawn (recompositing when asked)
    void (*live_volume)(EngineState* es);       // the live volume calculation starts (after `transposed` was refreshed)
    void (*invert_control)(EngineState* es);    // the Invert control of the panel toggles its lit state
};

extern DocumentHooks document_hooks; // installed by the program; all null in batch runs and tests

// Calls a hook when it is installed: doc_hook(&DocumentHooks::redraw_view, es).
inline void doc_hook(void (*DocumentHooks::*hook)(EngineState*), EngineState* es)
{
    if (document_hooks.*hook)
        (document_hooks.*hook)(es);
}
