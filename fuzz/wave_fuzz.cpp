// Any text typed or pasted as an FDS or N163 program's wave compiles to a
// wave of the chip's shape and range, or to one of the messages and the sine;
// a wave that compiles is written back as text that compiles to it again.
#include "FuzzCheck.h"
#include "engine/ChannelKinds.h"
#include "engine/WaveCompiler.h"

#include <algorithm>
#include <string>

namespace {

bool isKnownMessage(const char* message)
{
    for (const char* known : {kErrorWaveNumber, kErrorFdsWaveLength, kErrorFdsWaveValue, kErrorFdsOneWave,
                              kErrorFdsModLength, kErrorFdsModValue, kErrorFdsModSetting, kErrorN163WaveLength,
                              kErrorN163WaveValue, kErrorN163SameLength, kErrorN163NoMod, kErrorVrc7Only})
        if (message == known)
            return true;
    return false;
}

void checkShape(const WaveProgram& wave, int32_t type)
{
    const bool fds = type == Fds;
    check(wave.count >= 1 && (!fds || wave.count == 1));
    check(fds ? wave.length == kFdsWaveSteps : wave.length >= 4 && wave.length <= kN163MaxWaveLength);
    check(wave.length % 4 == 0 && wave.length * wave.count <= kMaxWaveSamples);
    const int top = fds ? kFdsWaveTop : kN163SampleTop;
    check(std::all_of(wave.samples, wave.samples + wave.length * wave.count, [top](uint8_t s) { return s <= top; }));
    check(std::all_of(wave.mod, wave.mod + kFdsModSteps, [](uint8_t s) { return s <= kFdsModCodeTop; }));
    check(wave.modRate >= 0 && wave.modRate <= kFdsMaxModRate && wave.modDepth >= 0 &&
          wave.modDepth <= kFdsMaxModDepth && wave.modDelay >= 0 && wave.modDelay <= kFdsMaxModDelay);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    for (const int32_t type : {Fds, N163}) {
        WaveProgram wave;
        const char* message = compileWave(text, type, wave);
        check(!message || isKnownMessage(message));
        checkShape(wave, type);
        if (message)
            continue;
        WaveProgram again;
        check(compileWave(formatWave(wave, type), type, again) == nullptr);
        check(std::equal(wave.samples, wave.samples + kMaxWaveSamples, again.samples) &&
              again.length == wave.length && again.count == wave.count && again.hasMod == wave.hasMod);
    }
    return 0;
}
