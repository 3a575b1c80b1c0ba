// Hearing the spectral selection and taking it out, from the editor: Play Selection (P), Save
// Selection as Sound..., and Paste of a picture from the clipboard as a new layer (Copy of the
// selected region is the copy step's, through clipboard_picture).
#pragma once

#include "editor/menus.h"

struct Editor;

// Frame step before play and pause: Play Selection (slot 155) starts playing the selection's
// sound, or stops it while it plays; a notice says so when nothing is selected. Selection
// playback ends when it stopped by itself, when Space asks for play or pause (which then acts
// on the whole document), and when the document or the selection went away.
void selection_play_step(Editor* ed);

// Slot 156, Save Selection as Sound...: asks for a sound file and writes the selection's sound
// to it (a notice when nothing is selected, an alert when it cannot be written).
void save_selection_step(Editor* ed);

// Slot 157, Paste: the clipboard's picture becomes a new layer with its top-left corner at the
// view's first visible column and row (a notice when the clipboard holds no picture).
void paste_step(Editor* ed);

// Greys Play Selection and Save Selection as Sound while nothing is selected; returns how many
// entries changed.
int refresh_selection_menu(MenuBar& bar, const ImageStack* image);
