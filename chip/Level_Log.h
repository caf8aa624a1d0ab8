// One oscillator's output as a list of (chip time, raw level) changes, for a
// mixer that is not a sum of band-limited steps: the console's. An oscillator
// given a log and no output appends to it instead of adding to a synthesiser;
// the owner reads the entries and clears the log at least every `max_span`
// clocks of running.
//
// Why `capacity` suffices, whatever the registers say: within a span of at
// most max_span clocks an oscillator runs in pieces of at least one clock each
// (a run to the time already reached does nothing), so it runs at most
// max_span times and logs at most one change at each run's start. Its timer
// events come at least one clock apart (the VRC6's shortest divider step; the
// 2A03's are longer), so at most max_span of them fall in the span, each
// logging at most one change.
#pragma once

#include "Chip_Require.h"

#include <cstdint>

struct Level_Log {
    static constexpr int32_t max_span = 1024;
    static constexpr int32_t capacity = 2 * max_span;
    static constexpr int32_t end_time = INT32_MAX;

    struct Entry {
        int32_t time;
        int32_t level;
    };

    // Appends a change to `new_level` at `time` unless the output is there
    // already. Without a branch: whether a noise or a sample changes the
    // level is as random as its bits.
    void change(int32_t time, int new_level)
    {
        Writer out(*this);
        out.change(time, new_level);
        out.close();
    }
    // Appends changes with the count and level in registers rather than
    // read back from the log at each change: for a run that logs a change at
    // every step. close() hands them back to the log.
    class Writer {
    public:
        explicit Writer(Level_Log& log) : log_(log), count_(log.count), level_(log.level) {}
        void change(int32_t time, int new_level)
        {
            PLINKA_CHIP_REQUIRE("Level_Log: more changes than a span allows", "count < capacity || new_level == level",
                                count_ < capacity || new_level == level_);
            log_.entries[count_] = {time, new_level};
            const int32_t next = count_ + (new_level != level_);
            count_ = next < capacity ? next : capacity;
            level_ = new_level;
        }
        void close()
        {
            log_.count = count_;
            log_.level = level_;
        }

    private:
        Level_Log& log_;
        int32_t count_;
        int32_t level_;
    };

    void clear() { count = 0; }
    // Follows the entries with one at end_time, later than any change, for
    // a merge that reads past the last without a test.
    void end_with_sentinel() { entries[count] = {end_time, level}; }
    // Silent and empty, as at power-up.
    void reset()
    {
        count = 0;
        level = 0;
    }

    int32_t count = 0;
    int32_t level = 0;            // the output's level after the last entry
    Entry entries[capacity + 1];  // the last one takes the writes that change nothing, and the sentinel
};
