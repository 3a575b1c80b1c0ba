// Units of the history file: the unit table and name lookup. Conversions between units live
// with the command log; the table sits here because the configuration stores units by name.
#pragma once

constexpr int UNIT_COUNT = 7;

// Unit numbers, the index into `unit_name`.
enum Unit : int {
    UNIT_NONE = 0,  // "" unknown name
    UNIT_PX = 1,    // "px" pixels (image columns or rows)
    UNIT_PCT = 2,   // "%" percent of the image width or height
    UNIT_SEC = 3,   // "sec" seconds
    UNIT_HZ = 4,    // "Hz" hertz
    UNIT_ST = 5,    // "st" semitones
    UNIT_NOTE = 6,  // "note" note name with octave and cents
};

extern const char* const unit_name[UNIT_COUNT]; // "", "px", "%", "sec", "Hz", "st", "note"

// Unit number of a name, 0 with the message "Unrecognised unit: %s" when unknown.
int identify_unit(const char* name);

// Name of a unit number; "" for numbers outside the table.
const char* unit_to_name(int unit);
