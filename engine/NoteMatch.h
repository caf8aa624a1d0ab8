// Which notes a host's event names, as CLAP names them: by channel, key and
// the host's own id for the note, where -1 in any field matches every value
// and an id narrows the match to the one note that carried it. Note-offs and
// chokes find their voices with it; note expressions can do the same.
#pragma once

#include <cstdint>

struct NoteMatch {
    int32_t channel = -1;  // 0..15
    int32_t key = -1;      // 0..127
    int32_t noteId = -1;   // a note-on's id; notes that came without one have -1 and match no id

    // Whether this names one key of one channel, as a MIDI note-off does.
    bool isOneKey() const { return channel >= 0 && key >= 0 && noteId < 0; }
    bool matches(int32_t noteChannel, int32_t noteKey, int32_t id) const
    {
        return (channel < 0 || channel == noteChannel) && (key < 0 || key == noteKey) && (noteId < 0 || noteId == id);
    }
};
