// Fuzz target: the sound readers on arbitrary bytes (WAV, AIFF, FLAC, Ogg and the rest through
// libsndfile, MP3 through libmpg123). Inputs that start like an MP3 (an ID3 tag or a frame
// sync) are named ".mp3" so that the MP3 reader takes them, all others ".wav".
#include "core/state.h"
#include "files/media.h"
#include "scratch.h"

#include <cstdlib>

static std::string dir;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    dir = fuzz_scratch_dir("sound");
    state_reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const bool mp3 = (size >= 3 && data[0] == 'I' && data[1] == 'D' && data[2] == '3') ||
                     (size >= 2 && data[0] == 0xff && (data[1] & 0xe0) == 0xe0);
    const std::string path = dir + (mp3 ? "/input.mp3" : "/input.wav");
    if (!fuzz_write_input(path, data, size))
        return 0;
    // Both channel rules of the sound files: the sum of the channels, and the right one alone.
    key[state_of(K_RIGHT_ONLY)] = size & 1;
    int len = 0, rate = 0;
    free(load_raw_sound(path.c_str(), &len, &rate));
    return 0;
}
