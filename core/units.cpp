// Units of the history file: the unit table and name lookup.
#include "core/units.h"
#include "platform/util.h"

#include <cstring>

const char* const unit_name[UNIT_COUNT] = {"", "px", "%", "sec", "Hz", "st", "note"};

int identify_unit(const char* name)
{
    for (int i = 0; i < UNIT_COUNT; i++)
        if (strcmp(name, unit_name[i]) == 0)
            return i;
    wrfprintf(stderr, "Unrecognised unit: %s\n", name);
    return UNIT_NONE;
}

const char* unit_to_name(int unit)
{
    return unit >= 0 && unit < UNIT_COUNT ? unit_name[unit] : "";
}
