// Where the editor's controls sit on its fixed panel, in pixels from its top
// left corner: one table for the windows of every platform, so that Windows
// and Linux show the same panel.
#pragma once

#include "EditorModel.h"

struct EditorArea {
    int x, y, width, height;
    constexpr bool contains(int px, int py) const
    {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
};

struct EditorButton {
    int id;
    EditorArea area;
    const char* text;
};

// The channel types on the first row, in ChannelType order; the program's
// and the instrument's switches below (the console button's text is the
// model's, the one here only what it says before the first refresh); the MIDI channel and polyphony
// displays with their "+" and "-" under them.
inline constexpr EditorButton kEditorButtons[] = {
    {kPulseButton, {80, 170, 60, 24}, "Pulse"},
    {kTriangleButton, {145, 170, 60, 24}, "Triangle"},
    {kNoiseButton, {210, 170, 60, 24}, "Noise"},
    {kSampleButton, {275, 170, 60, 24}, "Sample"},
    {kVrc6PulseButton, {340, 170, 80, 24}, "VRC6 Pulse"},
    {kVrc6SawButton, {425, 170, 75, 24}, "VRC6 Saw"},
    {kMultiButton, {80, 200, 60, 24}, "Multi"},
    {kNtscButton, {150, 200, 60, 24}, "NTSC"},
    {kPalButton, {215, 200, 60, 24}, "PAL"},
    {kControllersButton, {290, 200, 90, 24}, "Controllers"},
    {kConsoleButton, {390, 200, 150, 24}, "Console: Off"},
    {kMidiChannelUpButton, {80, 230, 25, 25}, "+"},
    {kMidiChannelDownButton, {110, 230, 25, 25}, "-"},
    {kPolyphonyUpButton, {250, 230, 25, 25}, "+"},
    {kPolyphonyDownButton, {280, 230, 25, 25}, "-"},
};

inline constexpr const char* kEnvelopeLabelText[kEnvelopeKindCount] = {"Volume:", "Arp:", "Pitch:", "Hi-Pitch:",
                                                                      "Duty:"};
// A Sample program's Duty row holds its key map.
inline constexpr const char* kKeyMapLabelText = "Keys:";
inline constexpr int kEnvelopeRowPitch = 30;
constexpr EditorArea envelopeLabelArea(int kind)
{
    return {10, 12 + kEnvelopeRowPitch * kind, 60, 25};
}
constexpr EditorArea envelopeFieldArea(int kind)
{
    return {80, 10 + kEnvelopeRowPitch * kind, 475, 25};
}
inline constexpr EditorArea kMidiChannelArea{10, 234, 70, 25};
inline constexpr EditorArea kPolyphonyArea{160, 234, 90, 25};
inline constexpr EditorArea kStatusArea{10, 264, 575, 20};
inline constexpr EditorArea kGainSliderArea{565, 0, 30, 200};
