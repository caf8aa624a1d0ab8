// One VRC7 operator's envelope generator: a 7-bit attenuation (0 loudest,
// 127 silent, 0.375 dB a unit) moved once a sample by the state's rate,
// against the chip's global sample counter.
//
// A rate R (4 bits) and the key-scale offset k (0-15) make rate_hi =
// min(15, R + k / 4) and rate_lo = k & 3. A rising level steps by 0, 1 or 2
// on the samples its rate picks, averaging (4 + rate_lo) 2^(rate_hi - 16) a
// sample; the attack falls as L - L / 2^s - 1, an exponential approach to 0.
// R = 0 holds the level whatever the key scale.
#pragma once

#include "Vrc7_Tables.h"

#include <cstdint>

class Vrc7_Envelope {
public:
    enum class State : uint8_t { damp, attack, decay, sustain, release };
    static constexpr int silent = 127;
    // At or past this level damping ends, and a decay, sustain or release
    // snaps to silent.
    static constexpr int quiet = 124;
    static constexpr int damp_rate = 12;
    static constexpr int max_rate = 15;

    // The rate parameter of each state, and the sustain level (SL: the decay
    // ends where level / 8 reaches it).
    struct Rates {
        uint8_t by_state[5] = {};
        uint8_t sustain_level = 0;
    };

    // Silent, releasing, as at power-up.
    void reset()
    {
        level_ = silent;
        state_ = State::release;
        frozen_ = false;
        choose_rate();
    }
    // New rates or key-scale offset: applied from the next sample.
    void set_rates(const Rates& rates, int ksr_offset)
    {
        rates_ = rates;
        ksr_offset_ = ksr_offset;
        choose_rate();
        end_decay();  // the sustain level is compared at every sample, not only at steps
    }
    void enter(State state)
    {
        state_ = state;
        choose_rate();
    }
    // Held where it is, in whatever state (a modulator while its key is off).
    void set_frozen(bool frozen) { frozen_ = frozen; }

    // One sample at global counter `counter`; answers whether an attack began
    // in it (the owner then restarts its phase).
    bool step(uint32_t counter)
    {
        if (frozen_)
            return false;
        bool attack_began = false;
        if (state_ == State::damp && level_ >= quiet) {
            begin_attack();
            attack_began = true;
        }
        if (rate_hi_ == 0)
            return attack_began;
        if (state_ == State::attack)
            fall(counter);
        else
            rise(counter);
        return attack_began;
    }

    // Samples from global counter `counter` on in which step() is sure to
    // change nothing: 0 when it may act at `counter` itself. A level steps
    // only where counter & mask is 0, and the next such counter after one
    // that misses is the next multiple of 2^shift.
    uint32_t quiet_samples(uint32_t counter) const
    {
        if (frozen_)
            return UINT32_MAX;
        if (state_ == State::damp && level_ >= quiet)
            return 0;
        if (rate_hi_ == 0)
            return UINT32_MAX;
        if ((counter & mask_) == 0)
            return 0;
        return (~counter & ((1u << shift_) - 1)) + 1;
    }

    int level() const { return level_; }
    State state() const { return state_; }
    bool frozen() const { return frozen_; }
    int rate_hi() const { return rate_hi_; }
    int rate_lo() const { return rate_lo_; }
    // Whether the level cannot fall before the next key-on: it only rises or holds.
    bool settled() const { return frozen_ || state_ >= State::decay; }

private:
    void begin_attack()
    {
        const int attack = rates_.by_state[static_cast<int>(State::attack)];
        if (attack != 0 && attack + (ksr_offset_ >> 2) >= max_rate) {
            level_ = 0;
            enter(State::decay);
            end_decay();
        } else {
            enter(State::attack);
        }
    }
    void choose_rate()
    {
        const int rate = rates_.by_state[static_cast<int>(state_)];
        if (rate == 0) {
            rate_hi_ = 0;
            rate_lo_ = 0;
            mask_ = 0;
            return;
        }
        const int hi = rate + (ksr_offset_ >> 2);
        rate_hi_ = hi < max_rate ? hi : max_rate;
        rate_lo_ = ksr_offset_ & 3;
        // Rising: a step every 2^shift samples for rate_hi up to 12. Attack:
        // up to 11, and four samples in a row pass each period.
        const int limit = state_ == State::attack ? 11 : 12;
        shift_ = rate_hi_ <= limit ? 13 - rate_hi_ : 0;
        mask_ = (1u << shift_) - 1;
        if (state_ == State::attack)
            mask_ &= ~3u;
    }
    void end_decay()
    {
        if (state_ == State::decay && (level_ >> 3) == rates_.sustain_level)
            enter(State::sustain);
    }
    void rise(uint32_t counter)
    {
        if ((counter & mask_) != 0)
            return;
        const uint8_t* pattern = vrc7::envelope_pattern[rate_lo_];
        int add;
        if (rate_hi_ <= 12)
            add = pattern[(counter >> shift_) & 7];
        else if (rate_hi_ == 13)
            add = pattern[((counter >> 2) & 3) * 2 + (counter & 1)];
        else if (rate_hi_ == 14)
            add = pattern[((counter >> 2) & 3) * 2] + 1;
        else
            add = 2;
        if (add == 0)
            return;
        level_ += add;
        if (state_ == State::damp) {
            if (level_ > silent)
                level_ = silent;
            return;
        }
        if (level_ >= quiet)
            level_ = silent;
        end_decay();
    }
    void fall(uint32_t counter)
    {
        if ((counter & mask_) != 0)
            return;
        const uint8_t* pattern = vrc7::envelope_pattern[rate_lo_];
        int shift;
        if (rate_hi_ <= 11) {
            if (!pattern[(counter >> shift_) & 7])
                return;
            shift = 4;
        } else if (rate_hi_ < max_rate) {
            shift = 16 - rate_hi_ - pattern[((counter >> 2) & 3) * 2];
        } else {
            shift = 0;  // an attack rate raised to 15 mid-attack: at once
        }
        const int next = level_ - (level_ >> shift) - 1;
        level_ = next > 0 ? next : 0;
        if (level_ == 0) {
            enter(State::decay);
            end_decay();
        }
    }

    Rates rates_;
    int ksr_offset_ = 0;
    int level_ = silent;
    State state_ = State::release;
    bool frozen_ = false;
    int rate_hi_ = 0;  // 0: the level holds
    int rate_lo_ = 0;
    int shift_ = 0;
    uint32_t mask_ = 0;  // the step samples: counter & mask == 0
};
