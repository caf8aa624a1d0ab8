#include "MidiFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

constexpr int64_t kDefaultTempo = 500000;  // microseconds per quarter note: 120 BPM
constexpr int64_t kMaxTime = std::numeric_limits<int64_t>::max();

std::string hex(uint8_t byte)
{
    const char* digits = "0123456789ABCDEF";
    return std::string("0x") + digits[byte >> 4] + digits[byte & 15];
}

std::string bytes(uint64_t count)
{
    return std::to_string(count) + (count == 1 ? " byte" : " bytes");
}

uint32_t bigEndian(const uint8_t* bytes, int count)
{
    uint32_t value = 0;
    for (int i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// A time held exactly, so that long songs with many tempo changes do not
// drift: whole microseconds plus a remainder in 1/division of a microsecond.
struct ExactTime {
    int64_t micros;
    int64_t remainder;
};

struct TempoSegment {
    int64_t tick;
    int64_t tempo;  // microseconds per quarter note from tick on
    ExactTime start;
};

struct TempoChange {
    int64_t tick;
    int64_t tempo;
    int track;
    size_t offset;
};

struct TrackExtent {
    size_t firstEvent;  // index in song.events
    int64_t lastTick;
    size_t lastOffset;
};

// Fails only when the time would not fit in 64 bits of microseconds (some
// 290000 years), which a hostile file can ask for.
bool timeAt(const std::vector<TempoSegment>& segments, int64_t tick, int64_t division, ExactTime& time)
{
    const auto after = std::upper_bound(segments.begin(), segments.end(), tick,
                                        [](int64_t t, const TempoSegment& segment) { return t < segment.tick; });
    const TempoSegment& segment = *(after - 1);
    const int64_t ticks = tick - segment.tick;
    const int64_t fraction = segment.start.remainder + ticks % division * segment.tempo;
    const int64_t carry = fraction / division;
    const int64_t quarters = ticks / division;
    if (carry > kMaxTime - segment.start.micros || quarters > (kMaxTime - segment.start.micros - carry) / segment.tempo)
        return false;
    time = {segment.start.micros + carry + quarters * segment.tempo, fraction % division};
    return true;
}

// Monotonic in the exact time, so ordering by seconds keeps every track in
// order. From 2^53 microseconds on the fraction is below a double's step, and
// adding it could round a later time below an earlier one.
double toSeconds(ExactTime time, int64_t division)
{
    constexpr int64_t kExactMicros = int64_t(1) << 53;
    const double micros =
        time.micros < kExactMicros
            ? static_cast<double>(time.micros) + static_cast<double>(time.remainder) / static_cast<double>(division)
            : static_cast<double>(time.micros);
    return micros / 1e6;
}

class Reader {
public:
    Reader(const uint8_t* data, size_t size, MidiSong& song, std::string& error)
        : data_(data), size_(size), song_(song), error_(error)
    {
    }

    bool read()
    {
        size_t pos = 0;
        if (!readHeader(pos))
            return false;
        while (static_cast<int>(tracks_.size()) < song_.trackCount) {
            const int track = static_cast<int>(tracks_.size());
            if (size_ - pos < 8) {
                if (pos == size_)
                    return failInTrack(track, pos,
                                       "truncated (the file ends after " + std::to_string(track) + " of the " +
                                           std::to_string(song_.trackCount) + " tracks the header announces)");
                return failInTrack(track, pos, "truncated (incomplete chunk header)");
            }
            const bool isTrack = std::memcmp(data_ + pos, "MTrk", 4) == 0;
            const uint32_t length = bigEndian(data_ + pos + 4, 4);
            const size_t left = size_ - pos - 8;
            if (length > left) {
                std::string name(reinterpret_cast<const char*>(data_ + pos), 4);
                for (char& c : name)
                    if (c < 0x20 || c > 0x7E)
                        c = '?';
                return failInTrack(track, pos,
                                   "truncated (chunk \"" + name + "\" of length " + std::to_string(length) + ", " +
                                       bytes(left) + " left)");
            }
            if (isTrack && !readTrack(track, pos + 8, pos + 8 + length))
                return false;
            pos += 8 + length;
        }
        return timeSong();
    }

private:
    bool fail(const std::string& where, size_t offset, const std::string& what)
    {
        error_ = where + " at byte " + std::to_string(offset) + ": " + what;
        return false;
    }

    bool failInTrack(int track, size_t offset, const std::string& what)
    {
        return fail("track " + std::to_string(track + 1), offset, what);
    }

    bool readHeader(size_t& end)
    {
        if (size_ < 4 || std::memcmp(data_, "MThd", 4) != 0) {
            error_ = "not a Standard MIDI File (no MThd header)";
            return false;
        }
        if (size_ < 8)
            return fail("header", 4, "truncated (no chunk length)");
        const uint32_t length = bigEndian(data_ + 4, 4);
        if (length < 6)
            return fail("header", 4, "length " + std::to_string(length) + ", shorter than 6");
        if (length > size_ - 8)
            return fail("header", 0,
                        "truncated (length " + std::to_string(length) + ", " + bytes(size_ - 8) + " left)");
        song_.format = static_cast<int>(bigEndian(data_ + 8, 2));
        song_.trackCount = static_cast<int>(bigEndian(data_ + 10, 2));
        song_.division = static_cast<int>(bigEndian(data_ + 12, 2));
        if (song_.format > 2)
            return fail("header", 8, "unsupported format " + std::to_string(song_.format));
        if (song_.division == 0)
            return fail("header", 12, "division 0");
        if (song_.division & 0x8000) {
            const int framesPerSecond = -static_cast<int8_t>(song_.division >> 8);
            if (framesPerSecond != 24 && framesPerSecond != 25 && framesPerSecond != 29 && framesPerSecond != 30)
                return fail("header", 12, "unsupported SMPTE frame rate " + std::to_string(-framesPerSecond));
            if ((song_.division & 0xFF) == 0)
                return fail("header", 12, "SMPTE division with 0 ticks per frame");
        }
        end = 8 + length;
        return true;
    }

    bool readLength(int track, size_t& pos, size_t end, uint32_t& value)
    {
        const size_t start = pos;
        value = 0;
        for (int i = 0; i < 4; ++i) {
            if (pos == end)
                return failInTrack(track, start, "truncated (variable-length quantity cut off)");
            const uint8_t byte = data_[pos++];
            value = value << 7 | (byte & 0x7Fu);
            if (!(byte & 0x80))
                return true;
        }
        return failInTrack(track, start, "variable-length quantity longer than 4 bytes");
    }

    // Skips the payload of a meta or sysex event, whose length comes first.
    bool skipPayload(int track, size_t& pos, size_t end, size_t eventAt, const char* kind, uint32_t& length)
    {
        if (!readLength(track, pos, end, length))
            return false;
        if (length > end - pos)
            return failInTrack(track, eventAt,
                               std::string("truncated (") + kind + " of " + bytes(length) + ", " +
                                   std::to_string(end - pos) + " left in the track)");
        pos += length;
        return true;
    }

    bool readTrack(int track, size_t pos, size_t end)
    {
        TrackExtent extent{song_.events.size(), 0, pos};
        int64_t tick = 0;
        uint8_t runningStatus = 0;
        bool ended = false;
        while (pos < end && !ended) {
            const size_t deltaAt = pos;
            uint32_t delta = 0;
            if (!readLength(track, pos, end, delta))
                return false;
            tick += delta;
            if (pos == end)
                return failInTrack(track, deltaAt, "truncated (delta time without an event)");
            const size_t eventAt = pos;
            uint8_t status = data_[pos];
            if (status & 0x80)
                ++pos;
            else if (runningStatus)
                status = runningStatus;
            else
                return failInTrack(track, pos, "data byte " + hex(status) + " where a status was expected");

            if (status < 0xF0) {
                runningStatus = status;
                // Program change (0xC0) and channel pressure (0xD0) carry one data byte.
                const int dataBytes = (status & 0xE0) == 0xC0 ? 1 : 2;
                if (end - pos < static_cast<size_t>(dataBytes))
                    return failInTrack(track, eventAt,
                                       "truncated (" + hex(status) + " message needs " +
                                           (dataBytes == 1 ? "1 data byte)" : "2 data bytes)"));
                MidiEvent event{0.0, tick, track, {status, 0, 0}, dataBytes + 1};
                for (int i = 0; i < dataBytes; ++i) {
                    const uint8_t byte = data_[pos + i];
                    if (byte & 0x80)
                        return failInTrack(track, pos + i,
                                           "byte " + hex(byte) + " where a data byte of a " + hex(status) +
                                               " message was expected");
                    event.bytes[1 + i] = byte;
                }
                pos += dataBytes;
                if ((status & 0xF0) == 0x90 && event.bytes[2] == 0)
                    event.bytes[0] = static_cast<uint8_t>(0x80 | (status & 0x0F));
                song_.events.push_back(event);
            } else if (status == 0xFF) {
                runningStatus = 0;
                if (pos == end)
                    return failInTrack(track, eventAt, "truncated (meta event without its type)");
                const uint8_t type = data_[pos++];
                uint32_t length = 0;
                if (!skipPayload(track, pos, end, eventAt, "meta event", length))
                    return false;
                if (type == 0x51 && length == 3) {
                    const int64_t tempo = bigEndian(data_ + pos - 3, 3);
                    if (tempo > 0)
                        tempoChanges_.push_back({tick, tempo, track, eventAt});
                }
                ended = type == 0x2F;
            } else if (status == 0xF0 || status == 0xF7) {
                runningStatus = 0;
                uint32_t length = 0;
                if (!skipPayload(track, pos, end, eventAt, "sysex", length))
                    return false;
            } else {
                return failInTrack(track, eventAt, "status byte " + hex(status) + " is not allowed in a file");
            }
            extent.lastTick = tick;
            extent.lastOffset = eventAt;
        }
        tracks_.push_back(extent);
        return true;
    }

    bool timeSong()
    {
        std::vector<MidiEvent>& events = song_.events;
        const int64_t division = song_.division;
        if (division & 0x8000) {
            // Frames per second negated in the high byte; 29 means 30000/1001.
            const int framesPerSecond = -static_cast<int8_t>(division >> 8);
            const double ticksPerFrame = static_cast<double>(division & 0xFF);
            const double numerator = framesPerSecond == 29 ? 1001.0 : 1.0;
            const double denominator = (framesPerSecond == 29 ? 30000.0 : framesPerSecond) * ticksPerFrame;
            for (MidiEvent& event : events)
                event.seconds = static_cast<double>(event.tick) * numerator / denominator;
            for (const TrackExtent& extent : tracks_)
                song_.lengthSeconds =
                    std::max(song_.lengthSeconds, static_cast<double>(extent.lastTick) * numerator / denominator);
        } else {
            const bool independentTracks = song_.format == 2;
            std::vector<std::vector<TempoSegment>> timelines(independentTracks ? tracks_.size() : 1,
                                                             {TempoSegment{0, kDefaultTempo, {0, 0}}});
            std::stable_sort(tempoChanges_.begin(), tempoChanges_.end(),
                             [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });
            for (const TempoChange& change : tempoChanges_) {
                std::vector<TempoSegment>& segments = timelines[independentTracks ? change.track : 0];
                ExactTime start{};
                if (!timeAt(segments, change.tick, division, start))
                    return failInTrack(change.track, change.offset, "time out of range");
                if (segments.back().tick == change.tick)
                    segments.back().tempo = change.tempo;
                else
                    segments.push_back({change.tick, change.tempo, start});
            }
            for (const TempoSegment& segment : timelines.empty() ? std::vector<TempoSegment>{} : timelines[0])
                song_.tempos.push_back({toSeconds(segment.start, division), 60e6 / static_cast<double>(segment.tempo)});
            for (size_t track = 0; track < tracks_.size(); ++track) {
                const std::vector<TempoSegment>& segments = timelines[independentTracks ? track : 0];
                const TrackExtent& extent = tracks_[track];
                // The track's last event is its latest, so once its time fits every other one does.
                ExactTime time{};
                if (!timeAt(segments, extent.lastTick, division, time))
                    return failInTrack(static_cast<int>(track), extent.lastOffset, "time out of range");
                song_.lengthSeconds = std::max(song_.lengthSeconds, toSeconds(time, division));
                const size_t endEvent = track + 1 < tracks_.size() ? tracks_[track + 1].firstEvent : events.size();
                for (size_t i = extent.firstEvent; i < endEvent; ++i) {
                    if (!timeAt(segments, events[i].tick, division, time))
                        return failInTrack(static_cast<int>(track), extent.lastOffset, "time out of range");
                    events[i].seconds = toSeconds(time, division);
                }
            }
        }
        // The events arrive track after track, each track's times never
        // decreasing, so a stable sort leaves ties by track and then by position.
        std::stable_sort(events.begin(), events.end(),
                         [](const MidiEvent& a, const MidiEvent& b) { return a.seconds < b.seconds; });
        return true;
    }

    const uint8_t* data_;
    size_t size_;
    MidiSong& song_;
    std::string& error_;
    std::vector<TrackExtent> tracks_;
    std::vector<TempoChange> tempoChanges_;
};

}  // namespace

bool readMidiFile(const uint8_t* data, size_t size, MidiSong& song, std::string& error)
{
    song = MidiSong{};
    error.clear();
    if (!data)
        size = 0;
    if (Reader(data, size, song, error).read())
        return true;
    song = MidiSong{};
    return false;
}

bool loadMidiFile(const std::string& path, MidiSong& song, std::string& error)
{
    song = MidiSong{};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> bytes;
    uint8_t buffer[16384];
    bool tooLarge = false;
    size_t count = 0;
    while (!tooLarge && (count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        tooLarge = bytes.size() + count > kMaxMidiFileBytes;
        if (!tooLarge)
            bytes.insert(bytes.end(), buffer, buffer + count);
    }
    const int readError = std::ferror(file) ? errno : 0;
    std::fclose(file);
    if (readError) {
        error = "cannot read " + path + ": " + std::strerror(readError);
        return false;
    }
    if (tooLarge) {
        error = path + ": larger than " + std::to_string(kMaxMidiFileBytes >> 20) + " MiB, not read";
        return false;
    }
    if (!readMidiFile(bytes.data(), bytes.size(), song, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}
