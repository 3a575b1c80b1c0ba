// Fuzz target: the .npy reader on arbitrary bytes.
#include "files/npy.h"
#include "platform/util.h"
#include "scratch.h"

static std::string path;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    path = fuzz_scratch_dir("npy") + "/input.npy";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!fuzz_write_input(path, data, size))
        return 0;
    int w = 0, h = 0;
    Plane rows = load_npy(path.c_str(), &w, &h);
    if (rows)
        free2d(rows, h);
    return 0;
}
