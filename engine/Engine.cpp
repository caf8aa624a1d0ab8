#include "Engine.h"

#include "EnvelopeSequencer.h"
#include "chip/VoiceChip.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace {

constexpr float kSampleScale = 1.0f / 32768.0f;

// Controllers
constexpr int32_t kModulationWheel = 1;
constexpr int32_t kPortamentoTime = 5;
constexpr int32_t kVolume = 7;
constexpr int32_t kExpression = 11;
constexpr int32_t kSustainPedal = 64;
constexpr int32_t kPortamento = 65;
constexpr int32_t kAllSoundOff = 120;
constexpr int32_t kResetAllControllers = 121;
constexpr int32_t kTimbre = 74;  // an MPE member's
// The rate the buffers are given at construction, so that the first block's
// set-up allocates nothing.
constexpr long kInitialSampleRate = 44100;

// Fills with what the mix loop writes for a mix of zero, at the speed of a
// memory fill where that is +0.
void fillSilence(float* out, int32_t from, int32_t to, float silence)
{
    if (!out || from >= to)
        return;
    if (std::signbit(silence))
        std::fill(out + from, out + to, silence);
    else
        std::memset(out + from, 0, static_cast<size_t>(to - from) * sizeof *out);
}

static_assert(ConsoleChip::group_count == kOutputGroupCount);

bool usableRate(float rate)
{
    return std::isfinite(rate) && rate >= kMinSampleRate && rate <= kMaxSampleRate;
}

// A match whose fields are each -1 or in range; others name nothing.
bool validMatch(const NoteMatch& match)
{
    return match.channel >= -1 && match.channel < kMidiChannelCount && match.key >= -1 && match.key <= 127 &&
           match.noteId >= -1;
}

// An event for the notes a match names.
EngineEvent matchEvent(EventType type, int32_t deltaFrames, const NoteMatch& match)
{
    EngineEvent event{};
    event.type = type;
    event.deltaFrames = deltaFrames;
    event.channel = match.channel;
    event.key = match.key;
    event.noteId = match.noteId;
    return event;
}

}  // namespace

Engine::Engine(SharedSettings& settings, BankExchange& bank) : settings_(settings), bank_(bank)
{
    block_.ntsc = 1;
    block_.gain = 100;
    block_.polyphony = kVoiceCount;
    block_.midiControllers = 1;
    block_.console = ConsoleOff;
    std::fill(std::begin(frameGroup_), std::end(frameGroup_), -1);
    consoleReady = consoleChip.setup(kNtscClockRate, kInitialSampleRate, kNtscFrameRate) == nullptr;
    consoleWantsCells_.store(consoleChip.buffers_without_cells(), std::memory_order_relaxed);
    for (int i = 0; i < kVoiceCount; ++i) {
        chipReady[i] = voiceChips[i].setup(kNtscClockRate, kInitialSampleRate, kNtscFrameRate) == nullptr;
        wantsCells_[i].store(!chipReady[i], std::memory_order_relaxed);
    }
}

Engine::~Engine()
{
    for (std::atomic<uint16_t*>& cells : preparedCells_)
        delete[] cells.load(std::memory_order_acquire);
    for (std::atomic<uint16_t*>& cells : preparedConsoleCells_)
        delete[] cells.load(std::memory_order_acquire);
}

void Engine::prepare(float hostRate)
{
    if (!usableRate(hostRate))
        return;
    for (int i = 0; i < kVoiceCount; ++i) {
        if (!wantsCells_[i].load(std::memory_order_relaxed) || preparedCells_[i].load(std::memory_order_relaxed))
            continue;
        uint16_t* cells = Band_Buffer::new_cells();
        uint16_t* none = nullptr;
        // Another host thread preparing at the same time may have been first.
        if (cells && !preparedCells_[i].compare_exchange_strong(none, cells, std::memory_order_release))
            delete[] cells;
    }
    const int consoleWants = consoleWantsCells_.load(std::memory_order_relaxed);
    for (int i = 0; i < consoleWants && i < ConsoleChip::buffer_count; ++i) {
        if (preparedConsoleCells_[i].load(std::memory_order_relaxed))
            continue;
        uint16_t* cells = Band_Buffer::new_cells();
        uint16_t* none = nullptr;
        if (cells && !preparedConsoleCells_[i].compare_exchange_strong(none, cells, std::memory_order_release))
            delete[] cells;
    }
}

void Engine::queueMidi(int32_t deltaFrames, const uint8_t message[3])
{
    intake.controllersOn = settings_.midiControllers.load(std::memory_order_relaxed) != 0;
    // A new MPE setting (from the host, the editor or a song) reaches the
    // intake before the block that takes it, so that the first messages of
    // that block already decode with the members' ranges.
    if (const int32_t mpe = settings_.mpe.load(std::memory_order_relaxed); mpe != mpeSeen_) {
        mpeSeen_ = mpe;
        if (mpe != intake.mpeMode && mpe >= MpeOff && mpe < kMpeModeCount)
            intake.setMpeMode(mpe);
    }
    intake.decode(deltaFrames, message, eventQueue);
}

void Engine::readSettings(const BankSnapshot& bank)
{
    // The settings must go with the bank in hand. A chunk load publishes its
    // bank, with its settings inside, and then stores the settings in the
    // atomics within a sequence lock; read that way, the atomics are used only
    // when they are whole and belong to the load this bank comes from.
    //
    // While no setting was stored, no load began or ended and the bank is the
    // one they were last read with, they would be read the same again: an
    // idle block has better things to do than twenty loads and clamps.
    const uint32_t changes = settings_.changes.load(std::memory_order_acquire);
    const uint32_t before = settings_.loadSequence.load(std::memory_order_acquire);
    const uint32_t applied = settings_.appliedLoadSerial.load(std::memory_order_acquire);
    if (&bank != readFrom_.bank || changes != readFrom_.changes || before != readFrom_.loadSequence ||
        applied != readFrom_.appliedLoadSerial)
        readChangedSettings(bank, {&bank, changes, before, applied});
}

void Engine::readChangedSettings(const BankSnapshot& bank, const SettingsSource& source)
{
    const uint32_t before = source.loadSequence;
    const uint32_t applied = source.appliedLoadSerial;
    int32_t channelProgram[kMidiChannelCount];
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        channelProgram[channel] = settings_.channelProgram[channel].load(std::memory_order_acquire);
    const int32_t ntsc = settings_.ntsc.load(std::memory_order_acquire);
    const int32_t gain = settings_.gain.load(std::memory_order_acquire);
    const int32_t midiControllers = settings_.midiControllers.load(std::memory_order_acquire);
    const int32_t console = settings_.console.load(std::memory_order_acquire);
    const int32_t n163Channels = settings_.n163Channels.load(std::memory_order_acquire);
    const int32_t mpe = settings_.mpe.load(std::memory_order_acquire);
    const bool whole = (before & 1) == 0 && settings_.loadSequence.load(std::memory_order_relaxed) == before;

    if (bank.loadSerial != 0 && (!whole || applied != bank.loadSerial)) {
        // This bank's own load, whose settings are not (or no longer) in the atomics.
        std::copy(std::begin(bank.loadChannelProgram), std::end(bank.loadChannelProgram), block_.channelProgram);
        block_.ntsc = bank.loadNtsc;
        block_.gain = bank.loadGain;
        block_.midiControllers = bank.loadMidiControllers;
        block_.console = bank.loadConsole;
        block_.n163Channels = bank.loadN163Channels;
        block_.mpe = bank.loadMpe;
    } else if (whole && applied == bank.baseLoadSerial) {
        std::copy(std::begin(channelProgram), std::end(channelProgram), block_.channelProgram);
        block_.ntsc = ntsc;
        block_.gain = gain;
        block_.midiControllers = midiControllers;
        block_.console = console;
        block_.n163Channels = n163Channels;
        block_.mpe = mpe;
    }
    // Otherwise a later load is storing its settings, or has stored them
    // before its bank reached this block: the previous block's stay.
    block_.polyphony = std::clamp(settings_.polyphony.load(std::memory_order_relaxed), 1, kVoiceCount);
    for (int32_t& program : block_.channelProgram)
        program = std::clamp(program, 0, kProgramCount - 1);
    block_.console = std::clamp(block_.console, 0, kConsoleModeCount - 1);
    block_.n163Channels = std::clamp(block_.n163Channels, 1, kMaxN163Channels);
    if (block_.mpe < MpeOff || block_.mpe >= kMpeModeCount)
        block_.mpe = MpeOff;
    // Settings read in the middle of a load are read again next block.
    readFrom_ = source;
    if (!whole)
        readFrom_.bank = nullptr;
}

void Engine::adoptPreparedCells(float hostRate)
{
    for (int i = 0; i < kVoiceCount; ++i) {
        if (chipReady[i] || !preparedCells_[i].load(std::memory_order_relaxed))
            continue;
        voiceChips[i].buffer.adopt_cells(preparedCells_[i].exchange(nullptr, std::memory_order_acquire));
        quiet_ = false;
        chipReady[i] = voiceChips[i].setup(clockRate, static_cast<long>(hostRate), frameRate) == nullptr;
        wantsCells_[i].store(!chipReady[i], std::memory_order_relaxed);
    }
    if (consoleReady) {
        cellsWanted_ = !std::all_of(std::begin(chipReady), std::end(chipReady), [](bool ready) { return ready; });
        return;
    }
    bool adopted = false;
    for (std::atomic<uint16_t*>& cells : preparedConsoleCells_) {
        if (consoleChip.buffers_without_cells() == 0 || !cells.load(std::memory_order_relaxed))
            continue;
        consoleChip.adopt_cells(cells.exchange(nullptr, std::memory_order_acquire));
        adopted = true;
    }
    if (adopted) {
        consoleReady = consoleChip.setup(clockRate, static_cast<long>(hostRate), frameRate) == nullptr;
        consoleWantsCells_.store(consoleChip.buffers_without_cells(), std::memory_order_relaxed);
    }
    cellsWanted_ = true;  // until a block finds every chip and the console ready
}

void Engine::setUpChips(float hostRate, float setUpRate)
{
    const auto rate = static_cast<long>(hostRate);
    quiet_ = false;
    for (int i = 0; i < kVoiceCount; ++i)
        chipReady[i] = voiceChips[i].setup(clockRate, rate, frameRate) == nullptr;  // never allocates
    consoleReady = consoleChip.setup(clockRate, rate, frameRate) == nullptr;
    cellsWanted_ = true;  // a failed set-up may have left some without
    setUpClockRate_ = clockRate;
    // Unless another thread asked for a new set-up meanwhile (then it stays
    // asked for), the chips now serve this rate.
    settings_.chipSampleRate.compare_exchange_strong(setUpRate, hostRate, std::memory_order_relaxed);
}

void Engine::resetControllersIfOff(const BankSnapshot& bank)
{
    if (block_.midiControllers != 0)
        return;
    const VoiceContext context{
        bank, playedPrograms(), block_.polyphony, nullptr, block_.console != 0, block_.n163Channels, frameRate};
    for (int channel = 0; channel < kMidiChannelCount; ++channel) {
        if (controllers[channel].pedalDown)
            voicePool.pedalUp(context, channel);
        // MPE's own controllers follow MPE, not the controller handling.
        const ChannelControllers kept = controllers[channel];
        controllers[channel].reset();
        controllers[channel].pressure = kept.pressure;
        controllers[channel].timbre = kept.timbre;
    }
}

const int32_t* Engine::playedPrograms()
{
    const int32_t manager = mpeManager(block_.mpe);
    if (manager < 0)
        return block_.channelProgram;
    for (int32_t channel = 0; channel < kMidiChannelCount; ++channel)
        playedProgram_[channel] = block_.channelProgram[isMpeMember(block_.mpe, channel) ? manager : channel];
    return playedProgram_;
}

void Engine::takeMpeMode(int32_t mode)
{
    block_.mpe = mode;
    mpeTaken_ = mode;
    for (ChannelControllers& channel : controllers) {
        channel.pressure = kControllerMax;
        channel.timbre = kTimbreCentre;
    }
}

void Engine::actOnController(const EngineEvent& event, const VoiceContext& context)
{
    ChannelControllers& channel = controllers[event.channel];
    switch (event.controller) {
    case kModulationWheel:
        channel.wheel = event.value;
        break;
    case kVolume:
        channel.volume = event.value;
        break;
    case kExpression:
        channel.expression = event.value;
        break;
    case kPortamentoTime:
        channel.portamentoTime = event.value;
        break;
    case kPortamento:
        channel.portamento = event.value >= kPedalDownFrom ? PortamentoOn : PortamentoOff;
        break;
    case kSustainPedal: {
        const bool down = event.value >= kPedalDownFrom;
        const bool wasDown = channel.pedalDown;
        channel.pedalDown = down;
        if (wasDown && !down)
            voicePool.pedalUp(context, event.channel);
        break;
    }
    case kAllSoundOff:
        voicePool.cutChannel(event.channel);
        break;
    case kResetAllControllers:
        channelBend[event.channel] = 0.0f;
        channel.resetAllControllers();
        voicePool.pedalUp(context, event.channel);
        break;
    default:
        break;
    }
}

void Engine::act(const EngineEvent& event, const BankSnapshot& bank)
{
    // The pedals hold notes only while controller handling is on.
    const VoiceContext context{bank,
                               playedPrograms(),
                               block_.polyphony,
                               block_.midiControllers != 0 ? controllers : nullptr,
                               block_.console != 0,
                               block_.n163Channels,
                               frameRate};
    switch (event.type) {
    case NoteEvent:
        if (event.velocity > 0)
            voicePool.noteOn(context, event.channel, event.key, event.velocity, event.noteId);
        else
            voicePool.noteOff(context, event.channel, event.key);
        break;
    case BendEvent:
        channelBend[event.channel] = event.bend;
        break;
    case ProgramEvent:
        if (block_.channelProgram[event.channel] != event.program) {
            block_.channelProgram[event.channel] = event.program;
            settings_.channelProgram[event.channel].store(event.program, std::memory_order_relaxed);
            settings_.programsChanged.store(true, std::memory_order_release);
        }
        break;
    case ControllerEvent:
        if (event.controller == kTimbre) {
            if (isMpeMember(block_.mpe, event.channel))
                controllers[event.channel].timbre = event.value;
        } else if (block_.midiControllers != 0) {
            actOnController(event, context);
            // The manager's controllers (its pedal above all, which MPE
            // controllers send there) reach the whole zone; a member's own
            // message afterwards takes its place on that member.
            if (event.channel == mpeManager(block_.mpe) && event.controller != kTimbre)
                for (int32_t member = 0; member < kMidiChannelCount; ++member)
                    if (isMpeMember(block_.mpe, member)) {
                        EngineEvent forMember = event;
                        forMember.channel = member;
                        actOnController(forMember, context);
                    }
        }
        break;
    case PressureEvent:
        if (isMpeMember(block_.mpe, event.channel))
            controllers[event.channel].pressure = event.value;
        break;
    case MpeEvent:
        // The setting follows, so that the song is saved with the zone the
        // controller set up; its store is one atomic, as a program change's.
        if (const int32_t mode = mpeAfterConfiguration(block_.mpe, event.channel, event.value); mode != block_.mpe) {
            takeMpeMode(mode);
            settings_.mpe.store(mode, std::memory_order_relaxed);
        }
        break;
    case ChokeEvent:
        voicePool.chokeMatching({event.channel, event.key, event.noteId});
        break;
    case ReleaseEvent:
        voicePool.noteOffMatching(context, {event.channel, event.key, event.noteId});
        break;
    case NoteExpressionEvent:
        voicePool.expressMatching({event.channel, event.key, event.noteId}, event.controller, event.bend);
        break;
    default:
        break;
    }
}

int32_t Engine::mixVoices(int32_t count, const BankSnapshot& bank, bool groups)
{
    // No event falls inside the span, so every chip may run the frames the
    // span needs before any of it is read: the samples are the same as when
    // each frame runs as the last one runs dry, and the buffers can then be
    // read side by side.
    long length[kVoiceCount] = {};
    // Samples of frames stepped before this span belong to the group of the
    // note that stepped them, which a new note on the voice may have changed.
    long earlier[kVoiceCount] = {};
    int32_t earlierGroup[kVoiceCount];
    Band_Buffer* buffers[kVoiceCount];
    short* dests[kVoiceCount];
    int together = 0;
    long mixed = 0;
    for (int i = 0; i < kVoiceCount; ++i) {
        if (!chipReady[i])
            continue;  // no buffer to read: this voice is silent
        Voice& voice = voicePool.voices[i];
        VoiceChip& chip = voiceChips[i];
        // A free voice's chip stands still until an event restarts it: once
        // its last frame has been read, it renders nothing.
        if (voice.isFree() && chip.buffer.samples_avail() == 0)
            continue;
        earlier[i] = chip.buffer.samples_avail();
        earlierGroup[i] = frameGroup_[i];
        if (earlier[i] < count && !voice.isFree())
            frameGroup_[i] = outputGroupOf(voice.channelType);  // the frames stepped below are this note's
        while (chip.buffer.samples_avail() < count) {
            const long before = chip.buffer.samples_avail();
            stepVoiceFrame(voice, chip, bank.programs[voice.program], bendOf(voice.channel), clockRate,
                           controllers[voice.channel], frameRate, tempo_);
            if (chip.buffer.samples_avail() == before)
                break;  // a free voice renders nothing until an event restarts it
        }
        if (chip.buffer.samples_avail() >= count) {
            length[i] = count;
            buffers[together] = &chip.buffer;
            dests[together++] = pcm_[i];
        } else {
            length[i] = chip.buffer.read_samples(pcm_[i], chip.buffer.samples_avail());
        }
        mixed = std::max(mixed, length[i]);
    }
    if (groups)
        std::fill(std::begin(groupMixed_), std::end(groupMixed_), 0);
    if (mixed == 0)
        return 0;
    Band_Buffer::read_samples(buffers, dests, together, count);

    // Voices are added in index order, as one sample-by-sample sum would;
    // two in one pass where they are as long, the sum between them kept in
    // a register.
    std::fill(mix_, mix_ + mixed, 0.0f);
    for (int i = 0; i < kVoiceCount;) {
        int next = i + 1;
        while (next < kVoiceCount && length[next] == 0)
            ++next;
        const short* first = pcm_[i];
        if (next < kVoiceCount && length[next] == length[i]) {
            const short* second = pcm_[next];
            for (long j = 0; j < length[i]; ++j)
                mix_[j] = (mix_[j] + static_cast<float>(first[j]) * kSampleScale) +
                          static_cast<float>(second[j]) * kSampleScale;
            i = next + 1;
        } else {
            for (long j = 0; j < length[i]; ++j)
                mix_[j] += static_cast<float>(first[j]) * kSampleScale;
            i = next;
        }
    }
    if (groups) {
        // Samples [from, to) of voice i's into a group's mix.
        const auto addTo = [this](int32_t group, int i, int32_t from, int32_t to) {
            if (group < 0 || from >= to)
                return;
            float* out = groupMix_[group];
            std::fill(out + groupMixed_[group], out + std::max(groupMixed_[group], to), 0.0f);
            groupMixed_[group] = std::max(groupMixed_[group], to);
            for (int32_t j = from; j < to; ++j)
                out[j] += static_cast<float>(pcm_[i][j]) * kSampleScale;
        };
        for (int i = 0; i < kVoiceCount; ++i) {
            if (length[i] == 0)
                continue;
            const auto n = static_cast<int32_t>(length[i]);
            const auto split = static_cast<int32_t>(std::min(earlier[i], length[i]));
            addTo(earlierGroup[i], i, 0, split);
            addTo(frameGroup_[i], i, split, n);
        }
    }
    return static_cast<int32_t>(mixed);
}

void Engine::stepConsoleFrame(const BankSnapshot& bank)
{
    // Each channel writes in a window of its own, at the same clocks whatever
    // the others write: a channel sounds the same alone or among them.
    // (The 163's and the FDS's, after all the others, may take more: a wave
    // going in is a write a byte.)
    constexpr int32_t kSlotWriteWindow = 40;  // ten writes, more than any frame makes
    followN163Channels();
    for (int slot = 0; slot < kConsoleSlotCount; ++slot) {
        consoleChip.write_time = std::max(consoleChip.write_time, slot * kSlotWriteWindow);
        int playing = voicePool.voiceOnSlot(slot);
        ConsolePort<ConsoleChip> port(consoleChip, slotExpansionEnables_[slot], slot, &n163Memory_);
        if (playing >= 0 && slot >= N163OneSlot + n163Memory_.channels() && slot <= N163EightSlot) {
            voicePool.voices[playing].note = -1;  // its channel was switched off
            playing = -1;
        }
        if (playing < 0) {
            // A note that was cut, or taken over and then cut, left its
            // channel on: only the console's shared chip still plays it.
            if (slotSounding_[slot])
                port.silence();
            slotSounding_[slot] = false;
            continue;
        }
        Voice& voice = voicePool.voices[playing];
        stepVoiceFrame(voice, port, bank.programs[voice.program], bendOf(voice.channel), clockRate,
                       controllers[voice.channel], frameRate, tempo_);
        slotSounding_[slot] = true;
    }
    consoleChip.end_frame();
    n163Misses_.store(n163Memory_.misses(), std::memory_order_relaxed);
    n163MissedProgram_.store(n163Memory_.missed_program(), std::memory_order_relaxed);
}

void Engine::followN163Channels()
{
    // The waves of channels that are no longer busy give up their room.
    uint32_t busy = 0;
    for (int c = 0; c < N163Memory::max_channels; ++c) {
        const int playing = voicePool.voiceOnSlot(N163OneSlot + c);
        if (playing >= 0 && voicePool.voices[playing].channelType == N163)
            busy |= 1u << c;
    }
    n163Memory_.keep_only(busy);
    const int32_t wanted = block_.n163Channels;
    const int32_t now = consoleChip.n163().active_channels();
    if (wanted == now && n163Memory_.channels() == wanted)
        return;
    n163Memory_.set_channels(wanted);
    // The channels it switches on had wave bytes for registers: silent first.
    consoleChip.write_time += 4;
    for (int c = now; c < wanted; ++c) {
        consoleChip.write_n163(consoleChip.write_time, 0xF800, 0x78 - 8 * c + 7);
        consoleChip.write_n163(consoleChip.write_time, 0x4800, 0);
    }
    consoleChip.write_n163(consoleChip.write_time, 0xF800, 0x7F);
    consoleChip.write_n163(consoleChip.write_time, 0x4800, (wanted - 1) << 4 | (consoleChip.n163().ram(0x7F) & 15));
}

int32_t Engine::mixConsole(int32_t count, const BankSnapshot& bank, bool groups)
{
    if (!consoleReady)
        return 0;
    // Groups nobody listens to cost nothing but their reading: they hold
    // their levels, and step to their channels' when someone listens again.
    consoleChip.set_groups_enabled(groups);
    while (consoleChip.mix.samples_avail() < count)
        stepConsoleFrame(bank);
    Band_Buffer* buffers[ConsoleChip::buffer_count] = {&consoleChip.mix};
    short* dests[ConsoleChip::buffer_count] = {pcm_[0]};
    for (int g = 0; g < kOutputGroupCount; ++g) {
        buffers[1 + g] = &consoleChip.groups[g];
        dests[1 + g] = pcm_[1 + g];
    }
    const int outputs = groups ? ConsoleChip::buffer_count : 1;
    Band_Buffer::read_samples(buffers, dests, outputs, count);
    if (!groups)
        for (Band_Buffer& group : consoleChip.groups)
            group.remove_samples(count);
    const auto scale = static_cast<float>(kSampleScale / ConsoleChip::output_scale);
    for (int out = 0; out < outputs; ++out) {
        float* mix = out == 0 ? mix_ : groupMix_[out - 1];
        for (int32_t j = 0; j < count; ++j)
            mix[j] = static_cast<float>(pcm_[out][j]) * scale;
        consoleFilters_[out].process(mix, count);
    }
    std::fill(std::begin(groupMixed_), std::end(groupMixed_), groups ? count : 0);
    return count;
}

void Engine::resetConsole()
{
    consoleChip.reset();  // its buffered samples too
    std::fill(std::begin(slotExpansionEnables_), std::end(slotExpansionEnables_), 0);
    std::fill(std::begin(slotSounding_), std::end(slotSounding_), false);
    n163Memory_.reset();
    for (Console_Filter& filter : consoleFilters_)
        filter.reset();
}

void Engine::followConsoleSetting(float hostRate)
{
    const int32_t setting = block_.console;
    if ((setting != 0) != (consoleSetting_ != 0)) {
        // The voices of one mode mean nothing in the other: each plays its
        // own chip in the normal mode, its channel of one chip in console mode.
        for (Voice& voice : voicePool.voices) {
            voice.note = -1;
            voice.releasing = false;
            voice.sustained = false;
            voice.lastChip.reset();  // its chip in the other mode is not this one's
        }
        // What the other mode left buffered belongs to notes now gone.
        for (VoiceChip& chip : voiceChips)
            chip.buffer.clear();
        resetConsole();
    }
    if (setting != 0 && (setting != consoleSetting_ || hostRate != consoleFilterRate_)) {
        const Console_Filter::Kind kind = setting == ConsoleNes       ? Console_Filter::Kind::nes
                                          : setting == ConsoleFamicom ? Console_Filter::Kind::famicom
                                                                      : Console_Filter::Kind::none;
        for (Console_Filter& filter : consoleFilters_)
            filter.setup(kind, hostRate);
        // The console's own high-passes take the place of the buffers' leak,
        // so that their responses are theirs alone; unfiltered, the leak
        // keeps the output centred, far below anything audible.
        const int32_t leak = kind == Console_Filter::Kind::none ? Band_Buffer::default_highpass_hz : 0;
        consoleChip.mix.set_highpass(leak);
        for (Band_Buffer& group : consoleChip.groups)
            group.set_highpass(leak);
        consoleFilterRate_ = hostRate;
    }
    consoleSetting_ = setting;
}

void Engine::writeOutput(float* const (&pair)[2], const float* mix, int32_t mixed, int32_t position, int32_t end) const
{
    if (!pair[0] && !pair[1])
        return;
    for (int32_t j = 0; j < mixed; ++j) {
        const float out = std::clamp(blockGain_ * mix[j] / 100.0f, -1.0f, 1.0f);
        if (pair[0])
            pair[0][position + j] = out;
        if (pair[1])
            pair[1][position + j] = out;
    }
    // Where no voice sounded, the mix is zero.
    const float silence = std::clamp(blockGain_ * 0.0f / 100.0f, -1.0f, 1.0f);
    fillSilence(pair[0], position + mixed, end, silence);
    fillSilence(pair[1], position + mixed, end, silence);
}

void Engine::render(const EngineOutputs& outputs, int32_t frames, float hostRate)
{
    renderBlock(outputs.main, outputs.wantsGroups() ? outputs.group : nullptr, frames, hostRate);
}

void Engine::renderBlock(float* const (&main)[2], float* const (*groupOutputs)[2], int32_t frames, float hostRate)
{
    // Hosts run blocks of no samples to hand over events (LV2, VST 2): those
    // must not be lost, or a note-off among them leaves its note hanging.
    if (frames <= 0) {
        eventQueue.holdForNextBlock();
        return;
    }
    const BankSnapshot& bank = bank_.acquire();
    readSettings(bank);
    if (block_.mpe != mpeTaken_)
        takeMpeMode(block_.mpe);  // the setting changed, or a chunk load brought another
    resetControllersIfOff(bank);
    clockRate = block_.ntsc == 1 ? kNtscClockRate : kPalClockRate;
    frameRate = block_.ntsc == 1 ? kNtscFrameRate : kPalFrameRate;
    const bool playing = usableRate(hostRate);
    if (playing) {
        if (cellsWanted_)
            adoptPreparedCells(hostRate);
        // Any difference counts, NaN too; so does a clock the chips were not
        // set up with (a chunk load may switch between NTSC and PAL).
        const float setUpRate = settings_.chipSampleRate.load(std::memory_order_relaxed);
        if (hostRate != setUpRate || clockRate != setUpClockRate_)
            setUpChips(hostRate, setUpRate);
        if (block_.console != ConsoleOff || consoleSetting_ != ConsoleOff)
            followConsoleSetting(hostRate);
    }
    blockGain_ = static_cast<float>(block_.gain);
    if (quiet_ && eventQueue.empty() && block_.console == ConsoleOff) {
        // The block would mix nothing: only its silence is written.
        const float silence = std::clamp(blockGain_ * 0.0f / 100.0f, -1.0f, 1.0f);
        fillSilence(main[0], 0, frames, silence);
        fillSilence(main[1], 0, frames, silence);
        for (int g = 0; groupOutputs && g < kOutputGroupCount; ++g) {
            fillSilence(groupOutputs[g][0], 0, frames, silence);
            fillSilence(groupOutputs[g][1], 0, frames, silence);
        }
        return;
    }
    mixBlock(bank, main, groupOutputs, frames, playing);
}

void Engine::mixBlock(const BankSnapshot& bank, float* const (&main)[2], float* const (*groupOutputs)[2],
                      int32_t frames, bool playing)
{
    const bool groups = groupOutputs != nullptr;
    // An event with deltaFrames d acts just before sample d; negative ones
    // never act, and those at or past the block's end are dropped with it.
    eventQueue.sortBySample(frames);
    size_t next = 0;
    int32_t position = 0;
    while (position < frames) {
        while (next < eventQueue.size() && eventQueue[next].deltaFrames == position)
            act(eventQueue[next++], bank);
        int32_t end = frames;
        if (next < eventQueue.size())
            end = std::min(end, eventQueue[next].deltaFrames);
        end = std::min(end, position + kMixLength);
        const int32_t count = end - position;
        int32_t mixed = 0;
        if (playing)
            mixed = block_.console != 0 ? mixConsole(count, bank, groups) : mixVoices(count, bank, groups);
        writeOutput(main, mix_, mixed, position, end);
        if (groups) {
            if (!playing)
                std::fill(std::begin(groupMixed_), std::end(groupMixed_), 0);
            for (int g = 0; g < kOutputGroupCount; ++g)
                writeOutput(groupOutputs[g], groupMix_[g], groupMixed_[g], position, end);
        }
        position = end;
    }
    eventQueue.clear();
    // Every message queued has acted now (or was dropped): should the
    // intake's mode differ from the engine's (a configuration message that
    // never acted, or one decoded before a new setting reached the intake),
    // the engine's holds.
    if (intake.mpeMode != block_.mpe)
        intake.setMpeMode(block_.mpe);
    quiet_ = playing && block_.console == ConsoleOff && nothingToMix();
}

bool Engine::nothingToMix() const
{
    // As mixVoices skips a voice: free, and its chip has nothing buffered or
    // no buffer at all (whose voice, should the chip get one, is free still).
    for (int i = 0; i < kVoiceCount; ++i)
        if (!voicePool.voices[i].isFree() || (chipReady[i] && voiceChips[i].buffer.samples_avail() != 0))
            return false;
    return true;
}

void Engine::queueNoteOn(int32_t deltaFrames, int32_t channel, int32_t key, int32_t velocity, int32_t noteId)
{
    if (channel < 0 || channel >= kMidiChannelCount || key < 0 || key > 127 || velocity < 1 || velocity > 127)
        return;
    EngineEvent event{};
    event.type = NoteEvent;
    event.deltaFrames = deltaFrames;
    event.channel = channel;
    event.key = key;
    event.velocity = velocity;
    event.noteId = std::max(noteId, -1);
    eventQueue.push(event);
}

void Engine::queueNoteOff(int32_t deltaFrames, const NoteMatch& match)
{
    queueMatch(ReleaseEvent, deltaFrames, match);
}

void Engine::queueChoke(int32_t deltaFrames, const NoteMatch& match)
{
    queueMatch(ChokeEvent, deltaFrames, match);
}

void Engine::queueNoteExpression(int32_t deltaFrames, const NoteMatch& match, int32_t kind, double value)
{
    if (!validMatch(match) || kind < 0 || kind >= kNoteExpressionKindCount || !std::isfinite(value))
        return;
    EngineEvent event = matchEvent(NoteExpressionEvent, deltaFrames, match);
    event.controller = kind;
    event.bend = static_cast<float>(kind == ExpressionTuning   ? std::clamp(value, -kMaxExpressionTuning, kMaxExpressionTuning)
                                    : kind == ExpressionVolume ? std::clamp(value, 0.0, kMaxExpressionGain)
                                                               : std::clamp(value, 0.0, 1.0));
    eventQueue.push(event);
}

void Engine::queueMatch(EventType type, int32_t deltaFrames, const NoteMatch& match)
{
    if (validMatch(match))
        eventQueue.push(matchEvent(type, deltaFrames, match));
}

void Engine::cutAllSound()
{
    for (int channel = 0; channel < kMidiChannelCount; ++channel)
        voicePool.chokeKey(channel, -1);
    std::fill(std::begin(voicePool.keyDown), std::end(voicePool.keyDown), 0);
    // A chip reset without an output adds no steps to the buffer it is about
    // to drop; the next block's set-up connects and clears them all.
    for (Voice& voice : voicePool.voices)
        voice.lastChip.reset();  // a chip reset leaves behind what it leaves
    for (VoiceChip& chip : voiceChips) {
        chip.chip.set_output(nullptr);
        chip.chip.reset();
        chip.write_time = 0;
    }
    resetConsole();
    settings_.chipSampleRate.store(-1.0f, std::memory_order_relaxed);
    quiet_ = false;
}
