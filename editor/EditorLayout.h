// Where the editor's controls sit, in pixels from its top left corner: one
// table for the windows of every platform, so that Windows and Linux show
// the same editor.
//
// The editor is areas side by side. The panel, at the top left, is the
// instrument's own face as musicians learned it: its 24 controls keep their
// places, sizes, texts and ids for good. Whatever came after the panel
// (channel types beyond its three, switches of later features) sits in the
// extension area beside it, from a table of its own, and how a program is
// played in the playing column beyond that; a new feature takes a place
// there, and the window grows rather than anything already placed moving.
#pragma once

#include "EditorModel.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <iterator>

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

// The channel types that are not the panel's take places in a grid at the
// top of the extension area, column by column, in ChannelType order: a chip's
// new types take the next places, with room for ten. The switches of the
// whole instrument lie under the grid, as wide as it. Beside them stands the
// wave column: an FDS or N163 program's wave, drawn with the mouse.
inline constexpr int kExtensionMargin = 10;
inline constexpr int kTypeRows = 5;
inline constexpr int kTypeColumns = 2;
inline constexpr int kTypeSlotCount = kTypeRows * kTypeColumns;
inline constexpr int kTypeSlotWidth = 90;
inline constexpr int kTypeSlotPitch = 95;
inline constexpr int kExtensionRowPitch = 30;
inline constexpr int kSwitchRowTop = 170;
inline constexpr int kExtensionControlsWidth = kTypeSlotPitch * (kTypeColumns - 1) + kTypeSlotWidth;
// An FDS wave's 64 steps four pixels wide, its 64 levels three pixels high;
// an N163 wave of 32 samples gets eight by twelve.
inline constexpr int kWaveColumnWidth = 256;
inline constexpr int kWaveAreaHeight = 192;

// Right of the wave column, whose margin it shares, stands the playing
// column: how the shown program is played.
inline constexpr int kPlayingColumnWidth = 185;

inline constexpr EditorArea kPanelArea{0, 0, 595, 255};
inline constexpr EditorArea kExtensionArea{
    kPanelArea.width, 0, kExtensionControlsWidth + kWaveColumnWidth + 3 * kExtensionMargin, kPanelArea.height};
inline constexpr EditorArea kPlayingArea{kExtensionArea.x + kExtensionArea.width, 0,
                                         kPlayingColumnWidth + kExtensionMargin, kPanelArea.height};

// The window holds the three areas; every plug-in format tells its host this size.
constexpr int kEditorWidth = kPlayingArea.x + kPlayingArea.width;
constexpr int kEditorHeight = std::max(
    {kPanelArea.y + kPanelArea.height, kExtensionArea.y + kExtensionArea.height, kPlayingArea.y + kPlayingArea.height});

// ---- the panel ----

// The channel types in ChannelType order, then the program's multi flag and
// the clock standard; under them the MIDI channel's and the polyphony's "+"
// and "-", beside their displays.
// clang-format off
inline constexpr EditorButton kPanelButtons[] = {
    {kPulseButton, {80, 170, 60, 24}, kChannelKinds[Pulse].label},
    {kTriangleButton, {145, 170, 60, 24}, kChannelKinds[Triangle].label},
    {kNoiseButton, {210, 170, 60, 24}, kChannelKinds[Noise].label},
    {kMultiButton, {300, 170, 60, 24}, "Multi"},
    {kNtscButton, {390, 170, 60, 24}, "NTSC"},
    {kPalButton, {455, 170, 60, 24}, "PAL"},
    {kMidiChannelUpButton, {80, 200, 25, 25}, "+"},
    {kMidiChannelDownButton, {110, 200, 25, 25}, "-"},
    {kPolyphonyUpButton, {250, 200, 25, 25}, "+"},
    {kPolyphonyDownButton, {280, 200, 25, 25}, "-"},
};
// clang-format on

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
inline constexpr EditorArea kMidiChannelArea{10, 204, 70, 25};
inline constexpr EditorArea kPolyphonyArea{160, 204, 90, 25};
inline constexpr EditorArea kStatusArea{10, 234, 575, 20};
inline constexpr EditorArea kGainSliderArea{565, 0, 30, 200};

// ---- the extension area ----

constexpr EditorArea channelTypeSlot(int slot)
{
    return {kExtensionArea.x + kExtensionMargin + kTypeSlotPitch * (slot / kTypeRows),
            kExtensionMargin + kExtensionRowPitch * (slot % kTypeRows), kTypeSlotWidth, 24};
}
// The console and N163 channel buttons' texts are the model's; the ones in
// the table are only what they say before the first refresh.
constexpr EditorArea switchRow(int row)
{
    return {kExtensionArea.x + kExtensionMargin, kSwitchRowTop + kExtensionRowPitch * row, kExtensionControlsWidth, 24};
}

// The wave column: "<", the wave shown ("Wave 1/3") and ">" on top, the
// drawing under them.
inline constexpr int kWaveColumnX = kExtensionArea.x + 2 * kExtensionMargin + kExtensionControlsWidth;
inline constexpr int kWaveButtonWidth = 25;
inline constexpr EditorArea kPreviousWaveArea{kWaveColumnX, kExtensionMargin, kWaveButtonWidth, 24};
inline constexpr EditorArea kNextWaveArea{kWaveColumnX + kWaveColumnWidth - kWaveButtonWidth, kExtensionMargin,
                                          kWaveButtonWidth, 24};
inline constexpr EditorArea kWaveLabelArea{kWaveColumnX + kWaveButtonWidth + 10, kExtensionMargin + 4,
                                           kWaveColumnWidth - 2 * kWaveButtonWidth - 20, 20};
// The drawing has a one-pixel frame outside this area.
inline constexpr EditorArea kWaveArea{kWaveColumnX, kExtensionMargin + kExtensionRowPitch, kWaveColumnWidth,
                                      kWaveAreaHeight};
static_assert(kWaveArea.y + kWaveArea.height < kExtensionArea.height, "the frame's bottom row fits");

// The step under a point's x in a wave of `length` steps, and the value
// under its y on a chip whose steps reach `top`: step i is the run of pixel
// columns c with floor(c * length / width) == i, value v the run of rows
// counted from the bottom with floor(r * (top + 1) / height) == v. Points
// outside the area snap to the nearest step and to 0 or top, so a drag that
// leaves the area still draws along its edge.
constexpr int waveStepAt(int x, int length)
{
    if (length <= 0)
        return 0;
    const int column = std::clamp(x - kWaveArea.x, 0, kWaveArea.width - 1);
    return column * length / kWaveArea.width;
}
constexpr int waveValueAt(int y, int top)
{
    const int row = std::clamp(kWaveArea.y + kWaveArea.height - 1 - y, 0, kWaveArea.height - 1);
    return row * (top + 1) / kWaveArea.height;
}
// The first pixel column of step i (for i = length: just past the right edge).
constexpr int waveStepLeft(int step, int length)
{
    return kWaveArea.x + (step * kWaveArea.width + length - 1) / length;
}
// The top row of value v's bar: the first row whose point reads v.
constexpr int waveBarTop(int value, int top)
{
    const int rowsUpToValue = ((value + 1) * kWaveArea.height + top) / (top + 1);  // rows reading 0..value
    return kWaveArea.y + kWaveArea.height - rowsUpToValue;
}

// The panel holds Pulse, Triangle and Noise; every other type, from Sample
// on, has its place in the grid here, in ChannelType order. Under it the
// switches, then the wave column's buttons.
inline constexpr int32_t kFirstExtensionType = Sample;
static_assert(kChannelTypeCount - kFirstExtensionType <= kTypeSlotCount);

inline constexpr auto kExtensionControls = [] {
    std::array<EditorButton, kChannelTypeCount - kFirstExtensionType + 5> all{};
    size_t i = 0;
    for (int32_t type = kFirstExtensionType; type < kChannelTypeCount; ++type)
        all[i++] = {kChannelTypeButton[type], channelTypeSlot(type - kFirstExtensionType), channelKind(type).label};
    all[i++] = {kControllersButton, switchRow(0), "Controllers"};
    all[i++] = {kConsoleButton, switchRow(1), "Console: Off"};
    all[i++] = {kN163ChannelsButton, switchRow(2), "N163 channels: 8"};
    all[i++] = {kPreviousWaveButton, kPreviousWaveArea, "<"};
    all[i++] = {kNextWaveButton, kNextWaveArea, ">"};
    return all;
}();

// ---- the playing column ----

// A row each, from the top: the mono button; the glide's label and field;
// the tempo steps'; then MPE, a switch of the whole bank.
// The labels sit as the panel's do beside their fields.
inline constexpr int kPlayingLabelWidth = 105;
inline constexpr int kPlayingFieldX = kPlayingArea.x + kPlayingLabelWidth + 5;
constexpr EditorArea playingRow(int row)
{
    return {kPlayingArea.x, kExtensionMargin + kExtensionRowPitch * row, kPlayingColumnWidth, 24};
}
inline constexpr const char* kPlayingLabelText[kPlayingFieldCount] = {"Glide ms:", "Tempo steps:"};

// Where each edit field and its label are: the panel's five rows, then the
// playing column's.
constexpr EditorArea editorFieldArea(int field)
{
    if (field < kEnvelopeKindCount)
        return envelopeFieldArea(field);
    const EditorArea row = playingRow(1 + field - kEnvelopeKindCount);
    return {kPlayingFieldX, row.y, kPlayingArea.x + kPlayingColumnWidth - kPlayingFieldX, 25};
}
constexpr EditorArea editorFieldLabelArea(int field)
{
    if (field < kEnvelopeKindCount)
        return envelopeLabelArea(field);
    const EditorArea row = playingRow(1 + field - kEnvelopeKindCount);
    return {kPlayingArea.x, row.y + 2, kPlayingLabelWidth, 25};
}

inline constexpr EditorButton kPlayingControls[] = {
    {kMonoButton, playingRow(0), "Mono: Off"},
    {kMpeButton, playingRow(3), "MPE: Off"},
};

// Every button of the three areas, the panel's first: what the windows create,
// draw and hit-test.
inline constexpr auto kEditorButtons = [] {
    std::array<EditorButton, std::size(kPanelButtons) + std::size(kExtensionControls) + std::size(kPlayingControls)>
        all{};
    size_t i = 0;
    for (const EditorButton& button : kPanelButtons)
        all[i++] = button;
    for (const EditorButton& button : kExtensionControls)
        all[i++] = button;
    for (const EditorButton& button : kPlayingControls)
        all[i++] = button;
    return all;
}();
