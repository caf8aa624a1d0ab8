// Plays a sequence of MIDI messages through a loaded plug-in and streams the
// audio to a WAV file: every message in the block that holds its sample, at
// its exact offset; after the last message a tail that ends early once the
// output has stayed silent. The plug-in's extra outputs (Plinka's channel
// groups) may go to stereo files of their own, each as long as the main one.
#pragma once

#include "tools/host/InstrumentHost.h"
#include "tools/host/PluginHost.h"
#include "tools/render/WavWriter.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Quieter than any 24-bit file can hold: a tail that has died away, an
// output that never sounded.
constexpr float kSilentLevel = 1e-5f;

struct RenderSettings {
    int sampleRate = 44100;
    int blockSize = 512;
    double tailSeconds = 2.0;
    int channels = 2;  // of the file: 1 for a mono plug-in
    // The song's tempo map: each tempo (beats a minute) from its frame on,
    // in order; the host's transport gives the one at each block's start.
    std::vector<std::pair<int64_t, double>> tempos;
};

struct RenderReport {
    int64_t frames = 0;    // rendered and written
    float peak = 0.0f;     // largest magnitude of any sample
    int64_t clipped = 0;   // samples at or beyond full scale
    double seconds = 0.0;  // wall-clock time the rendering took
    std::vector<float> trackPeaks;  // largest magnitude on each extra output, in tracks' order
};

// Renders messages (sorted by frame, stable) until songEndFrame and then the
// tail. progress gets the fraction done. tracks, where given, take the host's
// first extra outputs, one each. Without out (null) nothing is written: the
// report alone is wanted.
bool renderSong(InstrumentHost& host, const std::vector<TimedMidi>& messages, int64_t songEndFrame,
                const RenderSettings& settings, WavWriter* out, const std::function<void(double)>& progress,
                RenderReport& report, std::string& error, const std::vector<WavWriter*>& tracks = {});
