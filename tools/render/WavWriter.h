// Writes a WAV file (16-bit PCM or 32-bit float) through libsndfile, safely:
// the samples go to a temporary file beside the target, which takes the
// target's name only when everything was written. A failed or abandoned
// render leaves no file behind.
#pragma once

#include <string>

struct sf_private_tag;  // libsndfile's SNDFILE

class WavWriter {
public:
    enum class Format { Pcm16, Float };

    WavWriter() = default;
    ~WavWriter();  // abandons an unfinished file
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Opens the temporary file; on failure answers false and error names the
    // file and the problem.
    bool open(const std::string& path, int sampleRate, int channels, Format format, std::string& error);
    // Interleaved frames, channels samples each. Samples beyond -1..1 are
    // clipped in 16-bit files.
    bool write(const float* interleaved, long frames, std::string& error);
    // Closes the file and gives it its name.
    bool finish(std::string& error);
    // Removes the unfinished file.
    void abandon();

private:
    sf_private_tag* file_ = nullptr;
    std::string path_;
    std::string temporaryPath_;
};
