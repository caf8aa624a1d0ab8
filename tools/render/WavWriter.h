// Writes a WAV file (16-bit PCM or 32-bit float, mono or stereo) safely: the
// samples go to a temporary file beside the target, which takes the target's
// name only when everything was written. A failed or abandoned render leaves
// no file behind. The file is written here rather than through a library so
// that the Windows builds of the tools, which link only system DLLs, write
// the same bytes as the Linux ones.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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
    // Fills in the sizes, closes the file and gives it its name.
    bool finish(std::string& error);
    // Removes the unfinished file.
    void abandon();

    // A sample as a 16-bit file holds it: scaled by 2^31, rounded to the
    // nearest, clipped, and its upper half kept (libsndfile's conversion,
    // which files written before this writer used).
    static int16_t pcm16(float sample);

private:
    bool writeHeader(std::string& error);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string temporaryPath_;
    int sampleRate_ = 0;
    int channels_ = 0;
    Format format_ = Format::Pcm16;
    uint64_t frames_ = 0;
    std::vector<unsigned char> bytes_;
};
