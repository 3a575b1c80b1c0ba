// Fuzz target: the configuration reader on arbitrary bytes. Each input is written as the
// configuration file of a scratch data folder and read; the settings are then reset.
#include "core/state.h"
#include "files/config.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/bw-fuzz-config-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    setenv("XDG_DATA_HOME", dir, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* path = get_config_path();
    if (!path)
        return 0;
    FILE* f = fopen(path, "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    config_load();
    settings_defaults();
    state_reset();
    return 0;
}
