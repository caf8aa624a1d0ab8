ardour {
    ["type"]    = "dsp",
    name        = "Plinka Phrase",
    category    = "Utility",
    license     = "MIT",
    author      = "Plinka",
    description = [[Sends a fixed phrase of MIDI messages at fixed session positions, for testing an instrument without a MIDI region.]]
}

function dsp_ioconfig ()
    return { { midi_in = 1, midi_out = 1, audio_in = 0, audio_out = 0}, }
end

-- The phrase: session sample position and message bytes. The same messages
-- at the same positions are in phrase.mid for plinka-render.
local phrase = {
    {     0, { 0xC0, 2 } },
    {     0, { 0x90, 69, 100 } },
    { 11025, { 0x80, 69, 0 } },
    { 22050, { 0x90, 72, 100 } },
    { 33075, { 0x80, 72, 0 } },
    { 33075, { 0xC0, 3 } },
    { 44100, { 0x90, 64, 110 } },
    { 49980, { 0xE0, 0x00, 0x60 } },
    { 66150, { 0x80, 64, 0 } },
}

function dsp_run (_, _, n_samples)
    if not Session:transport_rolling () then return end
    local position = Session:transport_sample ()
    local count = 1
    for _, event in ipairs (phrase) do
        if event[1] >= position and event[1] < position + n_samples then
            -- Lua DSP counts a cycle's samples from 1.
            midiout[count] = { time = event[1] - position + 1, data = event[2] }
            count = count + 1
        end
    end
end
