// Standard MIDI Files read into one time-ordered list of channel messages, each
// with its time in seconds through the file's tempo map. Nothing in the data is
// trusted: a truncated, corrupt or hostile file gives one line naming the
// problem and where it is ("track 2 at byte 1234: ..."; tracks counted from 1,
// bytes from 0 at the start of the file), never a crash, an endless loop or an
// allocation out of proportion to the file.
//
// Where files in the wild differ, this reader:
// - cancels running status at every meta and sysex event, so a data byte after
//   one where a status belongs is an error;
// - ends a track at the end of its chunk when it has no end-of-track event, and
//   ignores whatever follows an end-of-track in its chunk;
// - takes tempo changes from every track, at their absolute ticks, into one
//   tempo map for the song (formats 0 and 1), or one per track in format 2,
//   whose tracks are independent sequences that all start at time 0;
// - reads a format 0 file with more than one track like format 1;
// - fails on fewer track chunks than the header announces (a file cut at a
//   chunk boundary is still truncated, and a partial song would render
//   silently wrong), and ignores chunks and bytes after the announced tracks;
// - skips chunks of unknown type between the tracks by their length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A channel message at its time in the song.
struct MidiEvent {
    double seconds;    // from the start of the song, through the tempo map
    int64_t tick;      // absolute tick in its track
    int track;         // index of the track it came from, from 0
    uint8_t bytes[3];  // status and data bytes; unused bytes 0
    int size;          // 2 or 3
};

// A tempo of the song from its time on.
struct TempoPoint {
    double seconds;
    double beatsPerMinute;
};

struct MidiSong {
    int format = 0;      // 0, 1 or 2
    int trackCount = 0;  // track chunks read, as many as the header announces
    // Ticks per quarter note (1..32767), or, when above 0x7FFF, the 16-bit
    // SMPTE word: frames per second negated in the high byte (-24, -25, -29 for
    // 29.97, -30), ticks per frame in the low byte.
    int division = 0;
    // Every channel message of every track, ordered by time, then track, then
    // position in its track. A note-on with velocity 0 arrives as a note-off.
    std::vector<MidiEvent> events;
    double lengthSeconds = 0.0;  // time of the last event of any kind, end-of-track included
    // The tempo map, in time order, from 120 at 0 (the first track's in
    // format 2, whose tracks each have one; none in SMPTE time).
    std::vector<TempoPoint> tempos;
};

// Files larger than this are refused by loadMidiFile, so a path naming a
// device or a huge file cannot exhaust memory. Large real songs are a few MiB.
constexpr size_t kMaxMidiFileBytes = 64u << 20;

// Reads a whole file held in memory. On failure answers false, leaves song
// empty and sets error to one line.
bool readMidiFile(const uint8_t* data, size_t size, MidiSong& song, std::string& error);

// Reads the file at path; error names the file.
bool loadMidiFile(const std::string& path, MidiSong& song, std::string& error);
