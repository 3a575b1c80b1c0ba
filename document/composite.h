// Compositing: the fourteen blending modes, the groups formed by separators, and the pass that
// combines the layer table bottom-up into the composite plane.
#pragma once

#include "core/records.h"

#include <cstdint>

// ---------------------------------------------------------------------------------------------
// [SECTION] Blending modes
// ---------------------------------------------------------------------------------------------

constexpr int BLEND_MODE_COUNT = 14; // modes 0 (addition) .. 13 (convolution looped)

extern const char* const blending_name[BLEND_MODE_COUNT];    // long names, as in history lines ("addition", ...)
extern const char* const blend_tag[BLEND_MODE_COUNT];        // short tags of the layer list ("Add", ...)
extern const char* const blend_menu_label[BLEND_MODE_COUNT]; // labels of the Layers menu ("Addition", ...)

// D <- S blended into D (both h rows of w floats) with `mode`. Modes 9..13 use (cx, cy) as the
// kernel origin in S; each of their columns, rows or planes is computed by direct sums over the
// non-zero values or through spectra, whichever costs less (the same up to rounding), large
// ones on the helper threads too. With not_first 0 (D freshly zeroed) modes 0, 5, 6, 8 copy S and the
// others leave D as it is. Rows missing in either plane are skipped; null planes or an unknown
// mode do nothing. Takes no lock.
void blend_two_layers(Plane s, Plane d, int w, int h, int cx, int cy, int mode, int not_first);

// ---------------------------------------------------------------------------------------------
// [SECTION] Groups and compositing
// ---------------------------------------------------------------------------------------------

// Sets every entry's `group`: the index of the nearest separator at or below it, 0 if none.
void layer_groups(ImageStack* image);

// Sets every entry's `disabled` from `off` and the groups (`group` must be current): an entry
// is disabled when it is off or lies in the group of a separator that is off.
void process_layer_disabling(ImageStack* image);

// Recomputes `composite` from the layers under `layers_lock` (groups, disabling, View Current
// Group Only in slot 98); nothing without a composite or while a sound loads (slot 38). With
// live synthesis on (slot 133) then refreshes `transposed` and starts the live volume hook.
void process_layers(EngineState* es);

// Merge Down's blend: the selected layer into the one below with the selected layer's mode and
// centre. Returns 1 when merged; 0 (nothing changed) unless both entries have complete planes
// of finite values. The caller holds `layers_lock`; the table itself is not changed.
int merge_two_layers(ImageStack* image);

// ---------------------------------------------------------------------------------------------
// [SECTION] Testing
// ---------------------------------------------------------------------------------------------

// How modes 9..13 compute their sums: the cheaper way (what blend_two_layers does), always the
// direct sums over non-zero values, or through spectra wherever the values are finite.
enum BlendSums { BLEND_SUMS_CHEAPER, BLEND_SUMS_DIRECT, BLEND_SUMS_TRANSFORM };

// blend_two_layers with not_first 1 for modes 9..13 (other modes do nothing), summed as `sums`.
void blend_kernel_with(Plane s, Plane d, int w, int h, int cx, int cy, int mode, BlendSums sums);
