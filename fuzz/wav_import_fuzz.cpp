// Any bytes read as a WAV file either fail with one line, or give mono sound
// in -1..1 at a usable rate. That sound encodes at any rate and start level
// to a sample of a length the console plays, whose sound encodes back to the
// same bytes. The same bytes read as a .dmc file fail with one line or come
// back whole, padded to a length the console plays.
#include "FuzzCheck.h"
#include "instrument/DmcFile.h"
#include "instrument/DpcmEncoder.h"
#include "instrument/WavImport.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

bool oneLine(const std::string& text)
{
    return text.find('\n') == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> dmcBytes;
    std::string note;
    std::string error;
    if (dmc::read(data, size, dmcBytes, note, error)) {
        check(dpcm::isLegalLength(dmcBytes.size()) && oneLine(note));
        check(std::equal(data, data + size, dmcBytes.begin()));
    } else {
        check(!error.empty() && oneLine(error));
    }

    wavimport::Sound sound;
    error.clear();
    if (!wavimport::read(data, size, sound, error)) {
        check(!error.empty() && oneLine(error));
        return 0;
    }
    check(sound.sampleRate >= 1 && !sound.samples.empty());
    for (float sample : sound.samples)
        check(sample >= -1.0f && sample <= 1.0f);  // not a number fails too

    const int rateIndex = static_cast<int>(size % dpcm::kRateCount);
    const int startLevel = static_cast<int>(size * 37 % (dpcm::kMaxLevel + 1));
    const std::vector<uint8_t> bytes =
        dpcm::encode(sound.samples.data(), sound.samples.size(), sound.sampleRate, rateIndex, startLevel, note);
    check(dpcm::isLegalLength(bytes.size()) && oneLine(note));
    for (uint8_t level : dpcm::decode(bytes.data(), bytes.size(), startLevel))
        check(level <= dpcm::kMaxLevel);
    const std::vector<float> again = dpcm::toSound(bytes.data(), bytes.size(), startLevel);
    const int bitRate = static_cast<int>(std::lround(dpcm::bitRate(rateIndex)));
    check(dpcm::encode(again.data(), again.size(), bitRate, rateIndex, startLevel, note) == bytes && note.empty());
    return 0;
}
