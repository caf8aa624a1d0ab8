// The Standard MIDI File reader: exact ticks, bytes and seconds of files built
// byte by byte here, the merge order, every error with its message and place,
// and random files against a reference and under random damage.
#include "tools/midi/MidiFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void appendVlq(Bytes& out, uint32_t value)
{
    uint8_t groups[5];
    int count = 0;
    do {
        groups[count++] = value & 0x7F;
        value >>= 7;
    } while (value);
    while (count > 1)
        out.push_back(groups[--count] | 0x80);
    out.push_back(groups[0]);
}

void appendBigEndian(Bytes& out, uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        out.push_back((value >> (8 * i)) & 0xFF);
}

// A track body: each event is a delta time and its bytes.
struct Track {
    Bytes bytes;
    Track& at(uint32_t delta, Bytes event)
    {
        appendVlq(bytes, delta);
        bytes.insert(bytes.end(), event.begin(), event.end());
        return *this;
    }
    Track& meta(uint32_t delta, uint8_t type, const Bytes& payload)
    {
        Bytes event{0xFF, type};
        appendVlq(event, payload.size());
        event.insert(event.end(), payload.begin(), payload.end());
        return at(delta, event);
    }
    Track& tempo(uint32_t delta, uint32_t micros)
    {
        Bytes payload;
        appendBigEndian(payload, micros, 3);
        return meta(delta, 0x51, payload);
    }
    Track& end(uint32_t delta = 0) { return meta(delta, 0x2F, {}); }
};

Bytes chunk(const char* type, const Bytes& body)
{
    Bytes out(type, type + 4);
    appendBigEndian(out, body.size(), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes header(int format, int tracks, int division)
{
    Bytes body;
    appendBigEndian(body, format, 2);
    appendBigEndian(body, tracks, 2);
    appendBigEndian(body, division, 2);
    return chunk("MThd", body);
}

Bytes smf(int format, int division, const std::vector<Track>& tracks)
{
    Bytes out = header(format, tracks.size(), division);
    for (const Track& track : tracks) {
        const Bytes c = chunk("MTrk", track.bytes);
        out.insert(out.end(), c.begin(), c.end());
    }
    return out;
}

MidiSong parse(const Bytes& file)
{
    MidiSong song;
    std::string error;
    EXPECT_TRUE(readMidiFile(file.data(), file.size(), song, error)) << error;
    EXPECT_EQ(error, "");
    return song;
}

std::string errorOf(const Bytes& file)
{
    MidiSong song = parse(smf(0, 96, {Track().at(0, {0x90, 60, 1}).end()}));
    std::string error;
    EXPECT_FALSE(readMidiFile(file.data(), file.size(), song, error));
    EXPECT_TRUE(song.events.empty() && song.trackCount == 0 && song.lengthSeconds == 0.0) << "song not cleared";
    return error;
}

struct Seen {
    int64_t tick;
    int track;
    Bytes bytes;
    double seconds;
    bool operator==(const Seen&) const = default;
};

void PrintTo(const Seen& seen, std::ostream* out)
{
    *out << "{tick " << seen.tick << ", track " << seen.track << ", " << std::setprecision(17) << seen.seconds << " s,";
    for (uint8_t byte : seen.bytes)
        *out << ' ' << std::hex << int(byte) << std::dec;
    *out << '}';
}

std::vector<Seen> seen(const MidiSong& song)
{
    std::vector<Seen> out;
    for (const MidiEvent& event : song.events)
        out.push_back({event.tick, event.track, Bytes(event.bytes, event.bytes + event.size), event.seconds});
    return out;
}

// What every successful read promises, whatever the input.
void expectWellFormed(const MidiSong& song)
{
    double previous = 0.0;
    for (const MidiEvent& event : song.events) {
        ASSERT_TRUE(std::isfinite(event.seconds));
        ASSERT_GE(event.seconds, previous);
        ASSERT_LE(event.seconds, song.lengthSeconds);
        previous = event.seconds;
        ASSERT_GE(event.tick, 0);
        ASSERT_TRUE(event.track >= 0 && event.track < song.trackCount);
        const uint8_t kind = event.bytes[0] & 0xF0;
        ASSERT_TRUE(kind >= 0x80 && kind <= 0xE0);
        ASSERT_EQ(event.size, kind == 0xC0 || kind == 0xD0 ? 2 : 3);
        ASSERT_FALSE(kind == 0x90 && event.bytes[2] == 0);
        for (int i = 1; i < 3; ++i)
            ASSERT_LT(event.bytes[i], i < event.size ? 0x80 : 1);
    }
    ASSERT_TRUE(std::isfinite(song.lengthSeconds));
}

TEST(MidiFileTiming, Format0EventsAtTheDefaultTempoOf120Bpm)
{
    const MidiSong song =
        parse(smf(0, 96, {Track().at(0, {0x90, 60, 100}).at(96, {0x80, 60, 64}).at(48, {0xB0, 7, 100}).end(48)}));
    EXPECT_EQ(song.format, 0);
    EXPECT_EQ(song.trackCount, 1);
    EXPECT_EQ(song.division, 96);
    EXPECT_EQ(seen(song),
              (std::vector<Seen>{
                  {0, 0, {0x90, 60, 100}, 0.0}, {96, 0, {0x80, 60, 64}, 0.5}, {144, 0, {0xB0, 7, 100}, 0.75}}));
    EXPECT_EQ(song.lengthSeconds, 1.0);
}

TEST(MidiFileTiming, ConductorTrackTempoChangeMidSongTimesTheOtherTracks)
{
    const Track conductor = Track().tempo(0, 500000).tempo(192, 1000000).end();
    const Track notes =
        Track().at(96, {0x90, 60, 1}).at(96, {0x90, 62, 1}).at(96, {0x90, 64, 1}).at(96, {0x90, 65, 1}).end(96);
    const MidiSong song = parse(smf(1, 96, {conductor, notes}));
    EXPECT_EQ(seen(song), (std::vector<Seen>{{96, 1, {0x90, 60, 1}, 0.5},
                                             {192, 1, {0x90, 62, 1}, 1.0},
                                             {288, 1, {0x90, 64, 1}, 2.0},
                                             {384, 1, {0x90, 65, 1}, 3.0}}));
    EXPECT_EQ(song.lengthSeconds, 4.0);
}

TEST(MidiFileTiming, TempoFromAnyTrackCountsAndTheLastAtATickWins)
{
    const Track notes = Track().at(0, {0x90, 60, 1}).at(192, {0x90, 62, 1}).at(192, {0x90, 64, 1});
    const Track tempos = Track().tempo(192, 1000000).tempo(0, 250000);
    EXPECT_EQ(
        seen(parse(smf(1, 96, {notes, tempos}))),
        (std::vector<Seen>{{0, 0, {0x90, 60, 1}, 0.0}, {192, 0, {0x90, 62, 1}, 1.0}, {384, 0, {0x90, 64, 1}, 1.5}}));
}

TEST(MidiFileTiming, TempoEventsOfOtherLengthsOrOfZeroAreIgnored)
{
    const Track track =
        Track().meta(0, 0x51, {0x0F, 0x42}).meta(0, 0x51, {0x00, 0x0F, 0x42, 0x40}).tempo(0, 0).at(96, {0x90, 60, 1});
    EXPECT_EQ(parse(smf(0, 96, {track})).events.at(0).seconds, 0.5);
}

TEST(MidiFileTiming, ThousandsOfTempoChangesDoNotDrift)
{
    const uint32_t tempos[] = {333333, 123457, 999999, 1};
    const int division = 7;
    Track conductor, notes;
    std::vector<long double> expected;
    int64_t microsTimesDivision = 0;
    for (int tick = 0; tick < 20000; ++tick) {
        const uint32_t tempo = tempos[tick % 4];
        conductor.tempo(tick ? 1 : 0, tempo);
        notes.at(tick ? 1 : 0, {0x90, 60, 1});
        expected.push_back(static_cast<long double>(microsTimesDivision) / division / 1e6L);
        microsTimesDivision += tempo;
    }
    const MidiSong song = parse(smf(1, division, {conductor, notes}));
    ASSERT_EQ(song.events.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_DOUBLE_EQ(song.events[i].seconds, static_cast<double>(expected[i])) << "tick " << i;
}

TEST(MidiFileTiming, SmpteDivisionCountsFramesAndIgnoresTempo)
{
    const Track track = Track().tempo(0, 1000000).at(1500, {0x90, 60, 1}).end(500);
    const MidiSong song = parse(smf(0, 0xE728, {track}));  // 25 frames of 40 ticks: milliseconds
    EXPECT_EQ(song.division, 0xE728);
    EXPECT_EQ(song.events.at(0).seconds, 1.5);
    EXPECT_EQ(song.lengthSeconds, 2.0);

    const struct {
        int division;
        uint32_t tick;
        double seconds;
    } rates[] = {{0xE80A, 240, 1.0}, {0xE70A, 250, 1.0}, {0xE20A, 300, 1.0}, {0xE304, 120000, 1001.0}};
    for (const auto& rate : rates)
        EXPECT_EQ(parse(smf(0, rate.division, {Track().at(rate.tick, {0xC0, 1})})).events.at(0).seconds, rate.seconds)
            << std::hex << rate.division;
}

TEST(MidiFileTiming, Format2TracksAreIndependentSequencesFromTimeZero)
{
    const Track slow = Track().tempo(0, 1000000).at(96, {0x90, 60, 1}).end();
    const Track plain = Track().at(96, {0x90, 62, 1}).end(96);
    const MidiSong song = parse(smf(2, 96, {slow, plain}));
    EXPECT_EQ(seen(song), (std::vector<Seen>{{96, 1, {0x90, 62, 1}, 0.5}, {96, 0, {0x90, 60, 1}, 1.0}}));
    EXPECT_EQ(song.lengthSeconds, 1.0);
}

TEST(MidiFileMerge, TiesGoByTrackThenByPositionInTrack)
{
    const Track first = Track().at(96, {0x90, 1, 1});
    const Track second = Track().at(96, {0x90, 2, 1}).at(0, {0x90, 3, 1});
    const Track third = Track().at(0, {0x90, 4, 1}).at(96, {0x90, 5, 1}).at(0, {0x90, 6, 1});
    std::vector<int> keys;
    for (const MidiEvent& event : parse(smf(1, 96, {first, second, third})).events)
        keys.push_back(event.bytes[1]);
    EXPECT_EQ(keys, (std::vector<int>{4, 1, 2, 3, 5, 6}));
}

TEST(MidiFileMessages, ChannelMessagesKeepTheirBytesAndSizes)
{
    const Track track = Track()
                            .at(0, {0x81, 60, 64})
                            .at(0, {0x9F, 60, 0})
                            .at(0, {0xA2, 60, 90})
                            .at(0, {0xB3, 64, 127})
                            .at(0, {0xC4, 5})
                            .at(0, {0xD5, 100})
                            .at(0, {0xE6, 0x7F, 0x7F});
    const std::vector<Seen> expected{{0, 0, {0x81, 60, 64}, 0},    {0, 0, {0x8F, 60, 0}, 0}, {0, 0, {0xA2, 60, 90}, 0},
                                     {0, 0, {0xB3, 64, 127}, 0},   {0, 0, {0xC4, 5}, 0},     {0, 0, {0xD5, 100}, 0},
                                     {0, 0, {0xE6, 0x7F, 0x7F}, 0}};
    const MidiSong song = parse(smf(0, 96, {track}));
    EXPECT_EQ(seen(song), expected);
    EXPECT_EQ(song.events.at(4).bytes[2], 0);
}

TEST(MidiFileMessages, RunningStatusRepeatsTheLastChannelStatus)
{
    const Track track = Track()
                            .at(0, {0x92, 60, 100})
                            .at(10, {62, 100})
                            .at(10, {60, 0})
                            .at(0, {0xC1, 7})
                            .at(5, {8})
                            .at(0, {0xE0, 0, 64})
                            .at(0, {1, 2});
    EXPECT_EQ(seen(parse(smf(0, 100, {track}))), (std::vector<Seen>{{0, 0, {0x92, 60, 100}, 0.0},
                                                                    {10, 0, {0x92, 62, 100}, 0.05},
                                                                    {20, 0, {0x82, 60, 0}, 0.1},
                                                                    {20, 0, {0xC1, 7}, 0.1},
                                                                    {25, 0, {0xC1, 8}, 0.125},
                                                                    {25, 0, {0xE0, 0, 64}, 0.125},
                                                                    {25, 0, {0xE0, 1, 2}, 0.125}}));
}

TEST(MidiFileMessages, MetaAndSysexAreSkippedButTheirDeltasCount)
{
    const Track track = Track()
                            .meta(10, 0x01, Bytes(200, 'a'))
                            .at(10, {0xF0, 5, 0x7E, 0x7F, 0x09, 0x01, 0xF7})
                            .at(10, {0xF7, 2, 0xF8, 0xFA})
                            .meta(10, 0x7F, {0x00, 0x21})
                            .meta(10, 0x20, {0x03})
                            .at(6, {0x90, 60, 1});
    EXPECT_EQ(seen(parse(smf(0, 100, {track}))), (std::vector<Seen>{{56, 0, {0x90, 60, 1}, 0.28}}));
}

TEST(MidiFileStructure, EverythingAfterEndOfTrackIsIgnored)
{
    const Track track = Track().at(0, {0x90, 60, 1}).end(96).at(0, {0x90, 61, 1}).at(0, {0xF4, 0x3C});
    const MidiSong song = parse(smf(0, 96, {track}));
    EXPECT_EQ(song.events.size(), 1u);
    EXPECT_EQ(song.lengthSeconds, 0.5);
}

TEST(MidiFileStructure, ATrackWithoutEndOfTrackEndsWithItsChunk)
{
    EXPECT_EQ(parse(smf(0, 96, {Track().at(192, {0xF0, 1, 0xF7})})).lengthSeconds, 1.0);
    EXPECT_EQ(parse(smf(0, 96, {Track()})).lengthSeconds, 0.0);
    EXPECT_EQ(parse(header(1, 0, 96)).events.size(), 0u);
}

TEST(MidiFileStructure, UnknownChunksExtraHeaderBytesAndTrailingDataAreSkipped)
{
    Bytes file = chunk("MThd", {0, 1, 0, 2, 0, 96, 0xAA, 0xBB, 0xCC, 0xDD});
    for (const Bytes& part : {chunk("XFIH", {1, 2, 3}), chunk("MTrk", Track().at(0, {0x90, 1, 1}).bytes),
                              chunk("MTrx", {}), chunk("MTrk", Track().at(96, {0x90, 2, 1}).bytes),
                              chunk("MTrk", Track().at(0, {0x90, 3, 1}).bytes), Bytes{'M', 'T'}})
        file.insert(file.end(), part.begin(), part.end());
    const MidiSong song = parse(file);
    EXPECT_EQ(song.trackCount, 2);
    EXPECT_EQ(seen(song), (std::vector<Seen>{{0, 0, {0x90, 1, 1}, 0.0}, {96, 1, {0x90, 2, 1}, 0.5}}));
}

TEST(MidiFileStructure, VariableLengthQuantitiesUpToFourBytes)
{
    Bytes encoded;
    appendVlq(encoded, 0x0FFFFFFF);
    appendVlq(encoded, 0x80);
    appendVlq(encoded, 0);
    EXPECT_EQ(encoded, (Bytes{0xFF, 0xFF, 0xFF, 0x7F, 0x81, 0x00, 0x00}));

    const uint32_t deltas[] = {0x7F, 0x80, 0x3FFF, 0x4000, 0x1FFFFF, 0x200000, 0x0FFFFFFF};
    Track track;
    std::vector<int64_t> expected;
    int64_t tick = 0;
    for (uint32_t delta : deltas) {
        track.at(delta, {0xC0, 1});
        expected.push_back(tick += delta);
    }
    const MidiSong song = parse(smf(0, 96, {Track().at(0x0FFFFFFF, {0xC0, 1}), track}));
    std::vector<int64_t> ticks;
    for (const MidiEvent& event : song.events)
        if (event.track == 1)
            ticks.push_back(event.tick);
    EXPECT_EQ(ticks, expected);
    const auto longest = std::find_if(song.events.begin(), song.events.end(), [](auto& e) { return e.track == 0; });
    EXPECT_EQ(longest->seconds, 1398101.328125);  // 0x0FFFFFFF ticks of 5208 1/3 microseconds
}

// The header is 14 bytes, so a first track's events start at byte 22.
TEST(MidiFileErrors, EachProblemIsNamedWithItsPlace)
{
    auto withBody = [](const Bytes& body) {
        Bytes file = header(0, 1, 96);
        const Bytes track = chunk("MTrk", body);
        file.insert(file.end(), track.begin(), track.end());
        return file;
    };
    auto cut = [](Bytes file, size_t size) {
        file.resize(size);
        return file;
    };
    const Bytes good = withBody(Track().at(0, {0x90, 60, 1}).end().bytes);
    Bytes secondTrackBad = smf(1, 96, {Track().end(), Track().at(0, {0x90, 60, 1}).at(0, {0x80, 0xBC, 0})});
    Bytes missingTrack = good;
    missingTrack[11] = 2;
    const struct {
        const char* name;
        Bytes file;
        std::string message;
    } cases[] = {
        {"empty", {}, "not a Standard MIDI File (no MThd header)"},
        {"riff", {'R', 'I', 'F', 'F', 0, 0, 0, 4, 'R', 'M', 'I', 'D'}, "not a Standard MIDI File (no MThd header)"},
        {"no header length", cut(good, 6), "header at byte 4: truncated (no chunk length)"},
        {"short header length", chunk("MThd", {0, 0, 0, 1}), "header at byte 4: length 4, shorter than 6"},
        {"header cut", cut(good, 11), "header at byte 0: truncated (length 6, 3 bytes left)"},
        {"format 3", header(3, 1, 96), "header at byte 8: unsupported format 3"},
        {"division 0", header(0, 1, 0), "header at byte 12: division 0"},
        {"23 fps", header(0, 1, 0xE928), "header at byte 12: unsupported SMPTE frame rate -23"},
        {"0 ticks per frame", header(0, 1, 0xE700), "header at byte 12: SMPTE division with 0 ticks per frame"},
        {"missing track", missingTrack,
         "track 2 at byte 30: truncated (the file ends after 1 of the 2 tracks the header announces)"},
        {"chunk header cut", cut(good, 17), "track 1 at byte 14: truncated (incomplete chunk header)"},
        {"chunk length past the end", cut(good, 27),
         "track 1 at byte 14: truncated (chunk \"MTrk\" of length 8, 5 bytes left)"},
        {"unknown chunk past the end",
         Bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 0, 1, 2, 3, 0, 0, 0, 9, 1},
         "track 1 at byte 14: truncated (chunk \"????\" of length 9, 1 byte left)"},
        {"message cut", withBody({0, 0x90, 60}), "track 1 at byte 23: truncated (0x90 message needs 2 data bytes)"},
        {"program change cut", withBody({0, 0xC0}), "track 1 at byte 23: truncated (0xC0 message needs 1 data byte)"},
        {"delta without event", withBody({0, 0x90, 60, 64, 0x60}),
         "track 1 at byte 26: truncated (delta time without an event)"},
        {"delta cut", withBody({0, 0x90, 60, 64, 0x81}),
         "track 1 at byte 26: truncated (variable-length quantity cut off)"},
        {"meta type missing", withBody({0, 0xFF}), "track 1 at byte 23: truncated (meta event without its type)"},
        {"meta past the end", withBody({0, 0xFF, 1, 5, 'A', 'B'}),
         "track 1 at byte 23: truncated (meta event of 5 bytes, 2 left in the track)"},
        {"sysex past the end", withBody({0, 0xF0, 5, 1}),
         "track 1 at byte 23: truncated (sysex of 5 bytes, 1 left in the track)"},
        {"status in data", withBody({0, 0x90, 60, 0x90}),
         "track 1 at byte 25: byte 0x90 where a data byte of a 0x90 message was expected"},
        {"data first", withBody({0, 60, 64}), "track 1 at byte 23: data byte 0x3C where a status was expected"},
        {"running status after meta", withBody(Track().at(0, {0x90, 60, 1}).meta(0, 0x01, {}).at(0, {62, 1}).bytes),
         "track 1 at byte 31: data byte 0x3E where a status was expected"},
        {"running status after sysex",
         withBody(Track().at(0, {0x90, 60, 1}).at(0, {0xF0, 1, 0xF7}).at(0, {62, 1}).bytes),
         "track 1 at byte 31: data byte 0x3E where a status was expected"},
        {"system common", withBody({0, 0xF2, 0, 0}), "track 1 at byte 23: status byte 0xF2 is not allowed in a file"},
        {"real time", withBody({0, 0xF8}), "track 1 at byte 23: status byte 0xF8 is not allowed in a file"},
        {"5-byte delta", withBody({0x81, 0x80, 0x80, 0x80, 0x00, 0xC0, 1}),
         "track 1 at byte 22: variable-length quantity longer than 4 bytes"},
        {"5-byte meta length", withBody({0, 0xFF, 1, 0x81, 0x80, 0x80, 0x80, 0x00}),
         "track 1 at byte 25: variable-length quantity longer than 4 bytes"},
        {"second track", secondTrackBad,
         "track 2 at byte 40: byte 0xBC where a data byte of a 0x80 message was expected"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(errorOf(c.file), c.message) << c.name;
}

TEST(MidiFileErrors, TimesBeyond64BitsOfMicrosecondsAreRefused)
{
    // At one tick per quarter note of 16.8 s, 2000 maximal deltas still fit and 2200 do not.
    auto song = [](int deltas) {
        Track track = Track().tempo(0, 0xFFFFFF);
        for (int i = 0; i < deltas; ++i)
            track.at(0x0FFFFFFF, {0x90, 60, 1});
        return smf(0, 1, {track.end()});
    };
    const MidiSong fits = parse(song(2000));
    expectWellFormed(fits);
    EXPECT_GT(fits.lengthSeconds, 8e12);
    const Bytes tooLong = song(2200);
    EXPECT_EQ(errorOf(tooLong), "track 1 at byte " + std::to_string(tooLong.size() - 3) + ": time out of range");
}

// Random format 1 files: notes under running status or not, meta and sysex
// events, tempo changes in any track. Ticks, order and seconds are checked
// against a plain model of the merge and the tempo map.
TEST(MidiFileProperties, RandomFilesMatchAReferenceMerge)
{
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        const int division = 1 + random() % 960;
        const int trackCount = 1 + random() % 4;
        std::vector<Track> tracks(trackCount);
        std::vector<std::pair<int64_t, uint32_t>> tempoChanges;  // in track order, then file order
        std::vector<Seen> expected;
        for (int t = 0; t < trackCount; ++t) {
            int64_t tick = 0;
            uint8_t running = 0;
            for (int i = random() % 40; i > 0; --i) {
                const uint32_t delta = random() % 4 == 0 ? 0 : random() % 500;
                tick += delta;
                switch (random() % 5) {
                case 0: {
                    const uint32_t tempo = 1 + random() % 2000000;
                    tracks[t].tempo(delta, tempo);
                    tempoChanges.push_back({tick, tempo});
                    running = 0;
                    break;
                }
                case 1:
                    tracks[t].at(delta, {0xF0, 2, 0x01, 0xF7});
                    running = 0;
                    break;
                default: {
                    const uint8_t status = 0x80 + random() % 0x70;
                    const bool short_ = (status & 0xE0) == 0xC0;
                    Bytes data{uint8_t(random() % 128)};
                    if (!short_)
                        data.push_back(random() % 128);
                    Bytes event = data;
                    if (status != running)
                        event.insert(event.begin(), status);
                    running = status;
                    tracks[t].at(delta, event);
                    Bytes delivered{status};
                    delivered.insert(delivered.end(), data.begin(), data.end());
                    if ((status & 0xF0) == 0x90 && delivered[2] == 0)
                        delivered[0] = 0x80 | (status & 0x0F);
                    expected.push_back({tick, t, delivered, 0.0});
                }
                }
            }
        }
        std::stable_sort(tempoChanges.begin(), tempoChanges.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (Seen& event : expected) {
            long double micros = 0;
            int64_t from = 0;
            uint32_t tempo = 500000;
            for (const auto& [tick, next] : tempoChanges) {
                if (tick > event.tick)
                    break;
                micros += static_cast<long double>(tick - from) * tempo / division;
                from = tick;
                tempo = next;
            }
            micros += static_cast<long double>(event.tick - from) * tempo / division;
            event.seconds = static_cast<double>(micros / 1e6L);
        }
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Seen& a, const Seen& b) { return a.tick < b.tick; });

        const std::vector<Seen> actual = seen(parse(smf(1, division, tracks)));
        ASSERT_EQ(actual.size(), expected.size()) << "round " << round;
        for (size_t i = 0; i < actual.size(); ++i) {
            ASSERT_EQ(actual[i].tick, expected[i].tick) << "round " << round << " event " << i;
            ASSERT_EQ(actual[i].track, expected[i].track) << "round " << round << " event " << i;
            ASSERT_EQ(actual[i].bytes, expected[i].bytes) << "round " << round << " event " << i;
            ASSERT_DOUBLE_EQ(actual[i].seconds, expected[i].seconds) << "round " << round << " event " << i;
        }
    }
}

TEST(MidiFileProperties, DamagedFilesEitherReadWellFormedOrGiveOneLineOfError)
{
    const std::vector<Bytes> originals{
        smf(1, 96,
            {Track().tempo(0, 400000).tempo(96, 600000).end(),
             Track().at(0, {0x90, 60, 100}).at(48, {62, 100}).meta(0, 3, {'x'}).at(48, {0x80, 60, 0}).end()}),
        smf(0, 0xE728, {Track().at(0, {0xF0, 3, 1, 2, 0xF7}).at(40, {0xC0, 3}).at(1, {0xE0, 0, 64}).end()}),
        smf(2, 480, {Track().at(0, {0xB0, 7, 1}).end(), Track().tempo(10, 1).at(2, {0xD0, 1}).end()}),
    };
    std::mt19937 random(1);
    int read = 0;
    for (int round = 0; round < 4000; ++round) {
        Bytes file = originals[round % originals.size()];
        for (int edits = 1 + random() % 3; edits > 0; --edits) {
            const size_t at = random() % file.size();
            switch (random() % 5) {
            case 0:
                file[at] = random();
                break;
            case 1:
                file[at] = random() % 0x80;
                break;
            case 2:
                file[at] ^= 1 << random() % 8;
                break;
            case 3:
                file.insert(file.begin() + at, uint8_t(random()));
                break;
            default:
                file.erase(file.begin() + at);
            }
            if (file.empty())
                file.push_back(0);
        }
        if (random() % 4 == 0)
            file.resize(random() % (file.size() + 1));
        MidiSong song;
        std::string error;
        if (readMidiFile(file.data(), file.size(), song, error)) {
            ++read;
            ASSERT_EQ(error, "");
            expectWellFormed(song);
        } else {
            ASSERT_FALSE(error.empty()) << "round " << round;
            ASSERT_EQ(error.find('\n'), std::string::npos) << error;
            ASSERT_TRUE(error.starts_with("track ") || error.starts_with("header at byte ") ||
                        error.starts_with("not a Standard MIDI File"))
                << error;
        }
    }
    // Both outcomes are exercised: the damage is neither always fatal nor always harmless.
    EXPECT_GT(read, 100);
    EXPECT_LT(read, 3900);
}

TEST(MidiFileLoading, ReadsFromDiskAndNamesTheFileInErrors)
{
    const std::string path = testing::TempDir() + "plinka_midi_file_test.mid";
    const Bytes file = smf(0, 96, {Track().at(96, {0x90, 60, 1}).end()});
    auto write = [&](const Bytes& bytes) {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
        std::fclose(out);
    };
    MidiSong song;
    std::string error;
    write(file);
    ASSERT_TRUE(loadMidiFile(path, song, error)) << error;
    EXPECT_EQ(seen(song), seen(parse(file)));

    write({'M', 'T', 'h', 'd'});
    EXPECT_FALSE(loadMidiFile(path, song, error));
    EXPECT_EQ(error, path + ": header at byte 4: truncated (no chunk length)");
    std::remove(path.c_str());

    EXPECT_FALSE(loadMidiFile(path, song, error));
    EXPECT_EQ(error, "cannot open " + path + ": No such file or directory");
    EXPECT_FALSE(loadMidiFile(testing::TempDir(), song, error));
    EXPECT_EQ(error, "cannot read " + testing::TempDir() + ": Is a directory");
}

}  // namespace
