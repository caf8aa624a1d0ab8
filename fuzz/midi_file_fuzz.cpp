// Whatever bytes a file holds, the reader either refuses them with one line of
// error or delivers a song whose events are valid channel messages in time
// order.
#include "FuzzCheck.h"
#include "tools/midi/MidiFile.h"

#include <cmath>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    MidiSong song;
    std::string error;
    if (!readMidiFile(data, size, song, error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        check(song.events.empty());
        return 0;
    }
    check(error.empty());
    check(song.format >= 0 && song.format <= 2);
    check(std::isfinite(song.lengthSeconds) && song.lengthSeconds >= 0.0);
    double previous = 0.0;
    for (const MidiEvent& event : song.events) {
        check(std::isfinite(event.seconds) && event.seconds >= previous && event.seconds <= song.lengthSeconds);
        previous = event.seconds;
        check(event.tick >= 0 && event.track >= 0 && event.track < song.trackCount);
        const int kind = event.bytes[0] & 0xF0;
        check(kind >= 0x80 && kind <= 0xE0);
        check(event.size == (kind == 0xC0 || kind == 0xD0 ? 2 : 3));
        check(event.bytes[1] < 0x80 && event.bytes[2] < 0x80);
        check(event.size == 3 || event.bytes[2] == 0);
        check(!(kind == 0x90 && event.bytes[2] == 0));
    }
    return 0;
}
