// Fuzz target: the picture reader on arbitrary bytes (PNG, BMP, JPEG and the other formats it
// accepts), in the grey form or the colour form by the input's length.
#include "files/picture.h"
#include "scratch.h"

#include <cstdlib>

static std::string path;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    path = fuzz_scratch_dir("picture") + "/input";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!fuzz_write_input(path, data, size))
        return 0;
    int w = 0, h = 0;
    free(load_picture(path.c_str(), &w, &h, (int)(size & 1)));
    return 0;
}
