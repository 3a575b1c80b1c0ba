// Fuzz target: project replay on arbitrary bytes. Each input is written as an archive in a
// scratch folder and replayed into one long-lived document, as opening it in the editor would.
#include "core/records.h"
#include "core/state.h"
#include "document/image.h"
#include "history/replay.h"
#include "platform/util.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

static ImageStack* image;
static EngineState* es;
static std::string archive;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char dir[] = "/tmp/bw-fuzz-replay-XXXXXX";
    if (!mkdtemp(dir))
        abort();
    setenv("XDG_DATA_HOME", dir, 1);
    if (chdir(dir) != 0) // "Save" lines in an input write here
        abort();
    state_reset();
    settings_defaults();
    CORE_COUNT = 1;
    image = new ImageStack{};
    es = new EngineState{};
    image_stack_init(image);
    engine_state_init(es, image);
    archive = std::string(dir) + "/input.kbz";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FILE* f = fopen(archive.c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    char title[PATH_TEXT_LEN] = {0};
    int opened = 0;
    replay_reset();
    load_archive(archive.c_str(), es, title, sizeof title, &opened);
    key[K_QUIT] = 0;
    key[K_REPLAYING] = 0;
    return 0;
}
