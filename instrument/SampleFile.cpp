#include "SampleFile.h"

#include "DmcFile.h"
#include "DpcmEncoder.h"
#include "WavImport.h"
#include "engine/KeyMap.h"

namespace samplefile {

uintmax_t maxFileBytes(Kind kind)
{
    switch (kind) {
    case Kind::Dmc:
        return kMaxDmcFileBytes;
    case Kind::Wav:
        return kMaxFileBytes;
    case Kind::None:
        break;
    }
    return 0;
}

Kind kindOf(const std::string& fileName)
{
    const size_t dot = fileName.rfind('.');
    if (dot == std::string::npos)
        return Kind::None;
    std::string extension = fileName.substr(dot + 1);
    for (char& c : extension)
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (extension == "dmc")
        return Kind::Dmc;
    if (extension == "wav")
        return Kind::Wav;
    return Kind::None;
}

int32_t startLevelOf(Kind kind)
{
    return kind == Kind::Wav ? dpcm::kDefaultStartLevel : kNoStartLevel;
}

bool read(Kind kind, const unsigned char* data, size_t size, int rateIndex, std::vector<uint8_t>& bytes,
          std::string& note, std::string& error)
{
    note.clear();
    if (kind == Kind::Dmc)
        return dmc::read(data, size, bytes, note, error);
    if (kind != Kind::Wav) {
        error = "not a sample file (samples come from .wav and .dmc files)";
        return false;
    }
    wavimport::Sound sound;
    if (!wavimport::read(data, size, sound, error, dpcm::secondsUsed(rateIndex), dpcm::kFramesUsedBeyond))
        return false;
    bytes = dpcm::encode(sound.samples.data(), sound.samples.size(), sound.sampleRate, rateIndex,
                         dpcm::kDefaultStartLevel, note, sound.fileFrames);
    return true;
}

}  // namespace samplefile
