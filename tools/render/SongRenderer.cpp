#include "SongRenderer.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

constexpr double kSilentTailSeconds = 0.1;

}  // namespace

bool renderSong(InstrumentHost& host, const std::vector<TimedMidi>& messages, int64_t songEndFrame,
                const RenderSettings& settings, WavWriter* out, const std::function<void(double)>& progress,
                RenderReport& report, std::string& error, const std::vector<WavWriter*>& tracks)
{
    const auto started = std::chrono::steady_clock::now();
    const int64_t lastFrame =
        songEndFrame + static_cast<int64_t>(std::llround(settings.tailSeconds * settings.sampleRate));
    const auto silentFramesToStop = static_cast<int64_t>(kSilentTailSeconds * settings.sampleRate);
    const auto block = static_cast<size_t>(settings.blockSize);
    std::vector<float> left(block), right(block), interleaved(block * 2);
    std::vector<std::vector<float>> trackSamples(tracks.size() * 2, std::vector<float>(block));
    std::vector<OutputPair> trackPairs;
    for (size_t t = 0; t < tracks.size(); ++t)
        trackPairs.push_back({trackSamples[2 * t].data(), trackSamples[2 * t + 1].data()});
    BlockMidi due;

    report = {};
    report.trackPeaks.assign(tracks.size(), 0.0f);
    size_t next = 0;
    size_t nextTempo = 0;
    int64_t silentFrames = 0;
    for (int64_t start = 0; start < lastFrame; start += settings.blockSize) {
        const auto frames = static_cast<VstInt32>(std::min<int64_t>(settings.blockSize, lastFrame - start));
        bool tempoChanged = false;
        while (nextTempo < settings.tempos.size() && settings.tempos[nextTempo].first <= start) {
            ++nextTempo;
            tempoChanged = true;
        }
        if (tempoChanged)
            host.setTempo(settings.tempos[nextTempo - 1].second);
        due.clear();
        while (next < messages.size() && messages[next].frame < start + frames) {
            const TimedMidi& message = messages[next++];
            due.push_back({static_cast<int32_t>(std::max<int64_t>(message.frame - start, 0)),
                           {message.bytes[0], message.bytes[1], message.bytes[2]}});
        }
        if (tracks.empty())
            host.process(due, left.data(), right.data(), frames);
        else
            host.processExtra(due, left.data(), right.data(), trackPairs, frames);

        // Past the song, the tail ends once nothing has sounded for a while,
        // at that very sample, so the file does not depend on the block size.
        VstInt32 kept = frames;
        bool ended = false;
        for (VstInt32 i = 0; i < frames && !ended; ++i) {
            const float magnitude = std::max(std::fabs(left[i]), std::fabs(right[i]));
            report.peak = std::max(report.peak, magnitude);
            report.clipped += (std::fabs(left[i]) >= 1.0f) + (settings.channels == 2 && std::fabs(right[i]) >= 1.0f);
            silentFrames = magnitude <= kSilentLevel ? silentFrames + 1 : 0;
            if (settings.channels == 2) {
                interleaved[2 * i] = left[i];
                interleaved[2 * i + 1] = right[i];
            } else {
                interleaved[i] = left[i];
            }
            if (start + i + 1 >= songEndFrame && silentFrames >= silentFramesToStop) {
                kept = i + 1;
                ended = true;
            }
        }
        if (out && !out->write(interleaved.data(), kept, error))
            return false;
        for (size_t t = 0; t < tracks.size(); ++t) {
            float& peak = report.trackPeaks[t];
            for (VstInt32 i = 0; i < kept; ++i) {
                interleaved[2 * i] = trackPairs[t][0][i];
                interleaved[2 * i + 1] = trackPairs[t][1][i];
                peak = std::max({peak, std::fabs(trackPairs[t][0][i]), std::fabs(trackPairs[t][1][i])});
            }
            if (!tracks[t]->write(interleaved.data(), kept, error))
                return false;
        }
        report.frames += kept;
        progress(static_cast<double>(report.frames) / static_cast<double>(lastFrame));
        if (ended)
            break;
    }
    report.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return true;
}
