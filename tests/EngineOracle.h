// The instrument's engine written the plain way, sample by sample, straight
// from its description: every event walk, every one-sample read, references
// into the compiled bank. Slow, and kept only as the reference the real
// engine must match bit for bit. It shares nothing with the engine but the
// chip and the compiled envelopes.
#pragma once

#include "chip/VoiceChip.h"
#include "engine/Program.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

class EngineOracle {
public:
    struct Event {
        int32_t type, deltaFrames, channel, key, velocity, program;
        float bend;
    };
    struct VoiceState {
        int32_t channel = 0, channelType = 0, key = 0, note = -1, velocity = 0;
        const ProgramEnvelope* envelope[5] = {};
        int32_t position[5] = {};
        int32_t arpValue = 0, volumeValue = 0, dutyValue = 0, pitchOffset = 0, lastPeriodHigh = -1;
    };

    explicit EngineOracle(const ProgramBank& bank) : programs(bank)
    {
        for (float& range : bendRange)
            range = 2.0f;
        for (auto& chip : chips)
            chip = std::make_unique<VoiceChip>();
    }

    // Settings a host or the editor would change.
    int32_t channelProgram[16] = {};
    int32_t ntsc = 1;
    int32_t gain = 100;
    int32_t polyphony = 8;

    void processEvent(int32_t deltaFrames, uint8_t status, uint8_t data1, uint8_t data2)
    {
        if (status < 0x80 || (status & 0xF0) == 0xF0)
            return;
        const int32_t channel = status & 0x0F;
        const int kind = status & 0xF0;
        if (kind == 0x80 || kind == 0x90) {
            queue.push_back({0, deltaFrames, channel, data1 & 0x7F, kind == 0x80 ? 0 : data2 & 0x7F, 0, 0.0f});
        } else if (kind == 0xB0) {
            const int c = data1;
            const int v = data2 & 0x7F;
            if (c == 100) {
                rpnLsb = v;
            } else if (c == 101) {
                rpnMsb = v;
            } else if (c == 6) {
                if (rpnLsb == 0 && rpnMsb == 0)
                    bendRange[channel] = static_cast<float>(v) * 0.5f;
            } else if (c >= 123 && c <= 127) {
                queue.push_back({0, deltaFrames, channel, -1, 0, 0, 0.0f});
            }
        } else if (kind == 0xC0) {
            queue.push_back({2, deltaFrames, channel, 0, 0, data1 & 0x7F, 0.0f});
        } else if (kind == 0xE0) {
            const int raw = ((data2 & 0x7F) * 128 + (data1 & 0x7F)) - 8192;
            queue.push_back({1, deltaFrames, channel, 0, 0, 0,
                             static_cast<float>(static_cast<float>(raw) * bendRange[channel] * 0.0001220703125)});
        }
    }

    void processReplacing(float* left, float* right, int32_t frames, float rate)
    {
        clockRate = ntsc == 1 ? 1789773 : 1662607;
        frameRate = ntsc == 1 ? 60 : 50;
        const bool usable = std::isfinite(rate) && rate >= 1000.0f && rate <= 768000.0f;
        if (usable && (rate != chipSampleRate || clockRate != setUpClock)) {
            chipSampleRate = rate;
            setUpClock = clockRate;
            for (auto& chip : chips)
                chip->setup(clockRate, static_cast<long>(rate), frameRate);
        }
        for (int32_t n = 0; n < frames; ++n) {
            for (Event& event : queue) {
                if (event.deltaFrames >= 0) {
                    --event.deltaFrames;
                    if (event.deltaFrames < 0)
                        act(event);
                }
            }
            float sum = 0.0f;
            for (int i = 0; i < 8 && usable; ++i) {
                if (chips[i]->buffer.samples_avail() == 0)
                    stepVoiceFrame(i);
                if (chips[i]->buffer.samples_avail() >= 1) {
                    short s = 0;
                    chips[i]->buffer.read_samples(&s, 1);
                    sum += s * 0.000030517578125f;
                }
            }
            float out = static_cast<float>(gain) * sum / 100.0f;
            out = std::min(1.0f, std::max(-1.0f, out));
            left[n] = out;
            right[n] = out;
        }
        queue.clear();
    }

    VoiceState voices[8];

private:
    void act(const Event& event)
    {
        if (event.type == 0 && event.velocity > 0) {
            keyDown[event.key] = 1;
            int chosen = -1;
            if (polyphony == 1) {
                chosen = 0;
            } else {
                for (int i = 0; i < polyphony && chosen < 0; ++i)
                    if (voices[i].channel == event.channel && voices[i].note == event.key)
                        chosen = i;
                for (int i = 0; i < polyphony && chosen < 0; ++i)
                    if (voices[i].note == -1)
                        chosen = i;
            }
            if (chosen >= 0)
                startVoice(chosen, event.key, event.channel, event.velocity);
        } else if (event.type == 0) {
            if (event.key == -1) {
                std::fill(std::begin(keyDown), std::end(keyDown), 0);
                for (VoiceState& voice : voices)
                    voice.note = -1;
                return;
            }
            keyDown[event.key] = 0;
            bool anyDown = false;
            for (uint8_t down : keyDown)
                anyDown = anyDown || down;
            for (int i = 0; i < 8; ++i)
                if (voices[i].key == event.key &&
                    (voices[i].channel == event.channel || (polyphony == 1 && i == 0 && !anyDown)))
                    voices[i].note = -1;
            if (polyphony == 1)
                for (int k = 127; k >= 0; --k)
                    if (keyDown[k]) {
                        startVoice(0, k, event.channel, -1);
                        break;
                    }
        } else if (event.type == 1) {
            channelBend[event.channel] = event.bend;
        } else if (event.type == 2) {
            channelProgram[event.channel] = event.program;
        }
    }

    void startVoice(int index, int32_t key, int32_t channel, int32_t velocity)
    {
        int32_t p = channelProgram[channel];
        int32_t n = key;
        if (programs[p].multi == 1) {
            p = (p + key % 12) % 128;
            n = 60;
        }
        velocity = std::min(velocity, 100);
        VoiceState& v = voices[index];
        v.channel = channel;
        v.key = key;
        v.note = n;
        v.channelType = programs[p].channelType;
        if (velocity < 0)
            return;
        for (int k = 0; k < 5; ++k) {
            v.envelope[k] = &programs[p].envelope[k];
            v.position[k] = 0;
        }
        v.velocity = velocity;
        v.pitchOffset = 0;
        v.arpValue = v.volumeValue = v.dutyValue = 0;
        v.lastPeriodHigh = -1;
    }

    static int32_t step(const ProgramEnvelope& e, int32_t& p)
    {
        if (p >= e.length)
            p = e.loopIndex;
        return e.values[p++];
    }

    static int32_t saturated(int64_t value)
    {
        return static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(value, -(1 << 30)), 1 << 30));
    }

    void write(VoiceChip& c, unsigned address, int data)
    {
        c.write_time += 4;
        c.chip.write_register(c.write_time, address, data);
    }

    void stepVoiceFrame(int i)
    {
        VoiceState& v = voices[i];
        VoiceChip& c = *chips[i];
        if (v.note == -1)
            return;
        const ProgramEnvelope& volume = *v.envelope[0];
        if (v.position[0] >= volume.length && v.volumeValue == 0 && !volume.hasLoop)
            v.note = -1;
        v.volumeValue = step(volume, v.position[0]);
        v.arpValue = step(*v.envelope[1], v.position[1]);
        v.dutyValue = step(*v.envelope[4], v.position[4]);
        v.pitchOffset = saturated(int64_t{v.pitchOffset} + step(*v.envelope[2], v.position[2]));
        v.pitchOffset = saturated(int64_t{v.pitchOffset} + 16 * step(*v.envelope[3], v.position[3]));
        int32_t vol = v.velocity * v.volumeValue / 100;
        vol = std::min(15, std::max(0, vol));

        bool silence = false;
        int64_t period = 0;
        int32_t index = 0;
        const bool vrc6 = v.channelType == 4 || v.channelType == 5;
        if (v.channelType == 0 || v.channelType == 1 || vrc6) {
            const float x = static_cast<float>(double{channelBend[v.channel]} + ((v.note - 69) + v.arpValue));
            const float y = static_cast<float>(double{x} / 12);
            const float r = static_cast<float>(std::pow(2.0, double{y}));
            const int steps = v.channelType == 1 ? 32 : v.channelType == 5 ? 14 : 16;
            const double q = clockRate / (double{r} * 440 * steps);
            if (r == 0.0f || std::isinf(r) || !(q < 2147483648.0))
                silence = true;
            else
                period = static_cast<int64_t>(q) + v.pitchOffset - 1;
            if (period < 0 || period > (vrc6 ? 4095 : 2047))
                silence = true;
        } else if (v.channelType == 2) {
            index = (11 - v.note - v.arpValue - v.pitchOffset) & 15;
        } else if (vol != 0) {
            endFrame(i);
            return;
        }
        if (vrc6) {
            // VRC6 Pulse plays the VRC6's pulse 1, VRC6 Saw its saw, whose
            // Volume is the rate 0..63; the 2A03 is kept silent.
            write(c, 0x4015, 0);
            v.lastPeriodHigh = -1;
            const int32_t level =
                v.channelType == 4 ? vol : std::min(63, std::max(0, v.velocity * v.volumeValue / 100));
            const int32_t p = silence || level == 0 ? -1 : static_cast<int32_t>(period);
            const int used = v.channelType == 4 ? 0 : 2;
            endFrame(i, p < 0 ? -1 : used);
            if (p < 0)
                return;
            if (used == 0)
                writeVrc6(c, 0x9000, (v.dutyValue & 7) * 16 + level);
            else
                writeVrc6(c, 0xB000, level);
            const unsigned base = used == 0 ? 0x9000 : 0xB000;
            writeVrc6(c, base + 1, p % 256);
            writeVrc6(c, base + 2, 128 + p / 256);
            vrc6On[i][used] = true;
            c.end_frame();
            return;
        }
        if (vol == 0)
            silence = true;

        if (silence) {
            write(c, 0x4015, 0);
            v.lastPeriodHigh = -1;
        } else if (v.channelType == 0) {
            const auto p = static_cast<int32_t>(period);
            write(c, 0x4015, 1);
            write(c, 0x4000, ((v.dutyValue & 3) * 64) | 0x30 | vol);
            write(c, 0x4001, 0x08);
            write(c, 0x4002, p & 0xFF);
            if (v.lastPeriodHigh == -1 || (p & 0x700) != v.lastPeriodHigh) {
                v.lastPeriodHigh = p & 0x700;
                write(c, 0x4003, (p / 256) & 7);
            }
        } else if (v.channelType == 1) {
            const auto p = static_cast<int32_t>(period);
            write(c, 0x4015, 4);
            write(c, 0x4008, 0xFF);
            write(c, 0x400A, p & 0xFF);
            write(c, 0x400B, (p / 256) & 7);
        } else {
            write(c, 0x4015, 8);
            write(c, 0x400C, 0xF0 | vol);
            write(c, 0x400E, ((v.dutyValue & 1) * 128) | index);
            write(c, 0x400F, 0);
        }
        endFrame(i);
    }

    void writeVrc6(VoiceChip& c, unsigned address, int data)
    {
        c.write_time += 4;
        c.expansion<Chip_Vrc6>().write_register(c.write_time, address, data);
    }

    // Turns off the VRC6 channels left on but the one numbered keep, then
    // ends the frame unless a channel is about to be written.
    void endFrame(int i, int keep = -1)
    {
        const unsigned enables[3] = {0x9002, 0xA002, 0xB002};
        for (int channel = 0; channel < 3; ++channel) {
            if (vrc6On[i][channel] && channel != keep) {
                writeVrc6(*chips[i], enables[channel], 0);
                vrc6On[i][channel] = false;
            }
        }
        if (keep < 0)
            chips[i]->end_frame();
    }

    const ProgramBank& programs;
    std::vector<Event> queue;
    std::array<std::unique_ptr<VoiceChip>, 8> chips;
    float channelBend[16] = {};
    float bendRange[16];
    int32_t rpnLsb = 0, rpnMsb = 0;
    uint8_t keyDown[128] = {};
    bool vrc6On[8][3] = {};  // per voice chip: VRC6 pulse 1, pulse 2 and saw enabled
    float chipSampleRate = -1.0f;
    int32_t setUpClock = 0;
    int32_t clockRate = 0, frameRate = 0;
};
