// Shared step of the fuzz targets that read files: each input is written to a file in a
// scratch folder of its own, since the readers take paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// A new scratch folder under /tmp named after the target (ends the process when it cannot be
// made).
inline std::string fuzz_scratch_dir(const char* target)
{
    std::string dir = std::string("/tmp/bw-fuzz-") + target + "-XXXXXX";
    if (!mkdtemp(dir.data()))
        abort();
    return dir;
}

// Writes the input as the whole of `path`; false when the file cannot be written.
inline bool fuzz_write_input(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}
