#include "SampleBank.h"

#include <cstring>

bool isSampleName(std::string_view name)
{
    if (name.empty() || name.size() >= kSampleNameSize)
        return false;
    for (char c : name) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                             c == '-' || c == '.';
        if (!allowed)
            return false;
    }
    return true;
}

std::string sampleNameFrom(std::string_view name)
{
    std::string result(name.substr(0, kSampleNameSize - 1));
    for (char& c : result)
        if (!isSampleName(std::string_view(&c, 1)))
            c = '_';
    return result.empty() ? "sample" : result;
}

int SampleBank::find(std::string_view name) const
{
    for (int i = 0; i < count && i < kMaxSamples; ++i)
        if (name == samples[i].name)
            return i;
    return -1;
}

const char* SampleBank::put(std::string_view name, const uint8_t* bytes, int32_t length, int32_t startLevel)
{
    if (!isSampleName(name))
        return kErrorSampleName;
    if (!isLegalSampleLength(length) || !bytes)
        return kErrorSampleLength;
    if (startLevel != kNoStartLevel && (startLevel < 0 || startLevel > kMaxStartLevel))
        return kErrorSampleStartLevel;
    int index = find(name);
    if (index < 0) {
        if (count >= kMaxSamples)
            return kErrorSampleBankFull;
        index = count++;
    }
    DpcmSample& sample = samples[index];
    std::memset(&sample, 0, sizeof sample);
    std::memcpy(sample.name, name.data(), name.size());
    sample.length = length;
    std::memcpy(sample.bytes, bytes, static_cast<size_t>(length));
    sample.startLevel = static_cast<int8_t>(startLevel);
    return nullptr;
}

bool SampleBank::remove(std::string_view name)
{
    const int index = find(name);
    if (index < 0)
        return false;
    for (int i = index; i + 1 < count; ++i)
        std::memcpy(&samples[i], &samples[i + 1], sizeof samples[i]);
    --count;
    return true;
}
