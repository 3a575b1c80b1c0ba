// Sound files out through libsndfile.
#include "sound/writer.h"
#include "core/state.h"
#include "platform/util.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int sound_file_format(const char* path, int pcm24)
{
    const char* dot = strrchr(path, '.');
    const char* slash = strrchr(path, '/');
    if (!dot || (slash && dot < slash))
        return 0;
    std::string ext(dot + 1);
    for (char& c : ext)
        c = (char)tolower((unsigned char)c);
    const int depth = pcm24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16;
    if (ext == "wav")
        return SF_FORMAT_WAV | depth;
    if (ext == "aiff" || ext == "aif")
        return SF_FORMAT_AIFF | depth;
    if (ext == "flac")
        return SF_FORMAT_FLAC | depth;
    if (ext == "ogg")
        return SF_FORMAT_OGG | SF_FORMAT_VORBIS;
    return 0;
}

int write_sound_file(const char* path, float* const* chunks, int len, float gain, int pcm24)
{
    SF_INFO info{};
    info.samplerate = SOUND_SAMPLERATE;
    info.channels = 1;
    info.format = sound_file_format(path, pcm24);
    if (!info.format) {
        wrfprintf(stderr, "%s: cannot be written: a sound file must end in .wav, .aiff, .flac or .ogg\n", path);
        return 0;
    }
    ReplacingFile out;
    if (!out.open(path)) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", path, strerror(errno));
        return 0;
    }
    SNDFILE* f = sf_open_fd(fileno(out.f), SFM_WRITE, &info, SF_FALSE);
    if (!f) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", path, sf_strerror(nullptr));
        return 0;
    }
    sf_command(f, SFC_SET_CLIPPING, nullptr, SF_TRUE); // values beyond full scale clip, never wrap

    std::vector<float> block(65536);
    bool ok = true;
    for (int done = 0; done < len && ok;) {
        const int n = std::min((int)block.size(), len - done);
        for (int i = 0; i < n; i++) {
            const int s = done + i;
            const float* chunk = chunks[s / SOUND_CHUNK_LEN];
            block[i] = chunk ? chunk[s % SOUND_CHUNK_LEN] * gain : 0.f;
        }
        ok = sf_writef_float(f, block.data(), n) == n;
        done += n;
    }
    const char* why = ok ? nullptr : sf_strerror(f);
    std::string reason = why ? why : "";
    ok = sf_close(f) == 0 && ok;
    if (!ok || out.commit() != 0) {
        wrfprintf(stderr, "%s: cannot be written: %s\n", path, reason.empty() ? strerror(errno) : reason.c_str());
        return 0; // the old file stays as it was
    }
    return 1;
}

int save_sound(const char* path, const EngineState* es)
{
    // A sound never normalised (gain 0) is written as it is rather than as silence.
    const float gain = key[state_of(K_UNNORMALISED)] || !(es->norm > 0.f) ? 1.f : es->norm;
    return write_sound_file(path, es->sound, es->sound_len, gain, key[K_PCM24] != 0);
}
