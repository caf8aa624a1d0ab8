// WAV files read back through libsndfile, for tests that judge a render.
#pragma once

#include <sndfile.h>

#include <filesystem>
#include <vector>

struct Wav {
    int rate = 0;
    int channels = 0;
    std::vector<float> left;
    std::vector<float> right;  // the left channel again in a mono file
};

// Empty (rate 0) when the file cannot be read. libsndfile also reads a file
// whose writer never filled in the data chunk's size, to its end.
inline Wav readWav(const std::filesystem::path& path)
{
    Wav wav;
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file)
        return wav;
    wav.rate = info.samplerate;
    wav.channels = info.channels;
    std::vector<float> frames(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    for (sf_count_t i = 0; i < info.frames; ++i) {
        wav.left.push_back(frames[i * info.channels]);
        wav.right.push_back(frames[i * info.channels + (info.channels > 1 ? 1 : 0)]);
    }
    return wav;
}
