// Standard MIDI Files built in tests: tracks of timed events, written out as
// format 0 or 1.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

class MidiFileWriter {
public:
    explicit MidiFileWriter(int ticksPerQuarter = 480) : division_(ticksPerQuarter) {}

    int addTrack()
    {
        tracks_.emplace_back();
        return static_cast<int>(tracks_.size()) - 1;
    }
    void event(int track, int64_t tick, std::vector<uint8_t> bytes)
    {
        tracks_[track].push_back({tick, std::move(bytes)});
    }
    void tempo(int track, int64_t tick, double beatsPerMinute)
    {
        const auto micros = static_cast<uint32_t>(60000000.0 / beatsPerMinute + 0.5);
        event(track, tick,
              {0xFF, 0x51, 3, static_cast<uint8_t>(micros >> 16), static_cast<uint8_t>(micros >> 8),
               static_cast<uint8_t>(micros)});
    }
    void note(int track, int channel, int64_t tick, int64_t length, int key, int velocity = 100)
    {
        event(track, tick,
              {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(key), static_cast<uint8_t>(velocity)});
        event(track, tick + length, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(key), 0});
    }

    std::vector<uint8_t> bytes(int format = 1) const
    {
        std::vector<uint8_t> out = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, static_cast<uint8_t>(format)};
        put16(out, static_cast<int>(tracks_.size()));
        put16(out, division_);
        for (std::vector<Event> events : tracks_) {
            std::stable_sort(events.begin(), events.end(),
                             [](const Event& a, const Event& b) { return a.tick < b.tick; });
            std::vector<uint8_t> body;
            int64_t now = 0;
            for (const Event& e : events) {
                putVlq(body, e.tick - now);
                body.insert(body.end(), e.bytes.begin(), e.bytes.end());
                now = e.tick;
            }
            body.insert(body.end(), {0, 0xFF, 0x2F, 0});
            out.insert(out.end(), {'M', 'T', 'r', 'k'});
            put32(out, body.size());
            out.insert(out.end(), body.begin(), body.end());
        }
        return out;
    }

private:
    struct Event {
        int64_t tick;
        std::vector<uint8_t> bytes;
    };
    static void put16(std::vector<uint8_t>& out, int value)
    {
        out.push_back(static_cast<uint8_t>(value >> 8));
        out.push_back(static_cast<uint8_t>(value));
    }
    static void put32(std::vector<uint8_t>& out, size_t value)
    {
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<uint8_t>(value >> shift));
    }
    static void putVlq(std::vector<uint8_t>& out, int64_t value)
    {
        uint8_t bytes[5];
        int count = 0;
        do {
            bytes[count++] = static_cast<uint8_t>(value & 0x7F);
            value >>= 7;
        } while (value > 0);
        while (count-- > 0)
            out.push_back(static_cast<uint8_t>(bytes[count] | (count > 0 ? 0x80 : 0)));
    }

    int division_;
    std::vector<std::vector<Event>> tracks_;
};
