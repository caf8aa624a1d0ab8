// Where the editor's controls sit, in pixels from its top left corner: one
// table for the windows of every platform, so that Windows and Linux show
// the same editor.
//
// The editor is two areas side by side. The panel, at the top left, is the
// instrument's own face as musicians learned it: its 24 controls keep their
// places, sizes, texts and ids for good. Whatever came after the panel
// (channel types beyond its three, switches of later features) sits in the
// extension area beside it, from a table of its own; a new feature takes a
// place there, and the window grows rather than anything on the panel moving.
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
// whole instrument lie under the grid, as wide as it.
inline constexpr int kExtensionMargin = 10;
inline constexpr int kTypeRows = 5;
inline constexpr int kTypeColumns = 2;
inline constexpr int kTypeSlotCount = kTypeRows * kTypeColumns;
inline constexpr int kTypeSlotWidth = 90;
inline constexpr int kTypeSlotPitch = 95;
inline constexpr int kExtensionRowPitch = 30;
inline constexpr int kSwitchRowTop = 170;
inline constexpr int kExtensionControlsWidth = kTypeSlotPitch * (kTypeColumns - 1) + kTypeSlotWidth;

inline constexpr EditorArea kPanelArea{0, 0, 595, 255};
inline constexpr EditorArea kExtensionArea{kPanelArea.width, 0, kExtensionControlsWidth + 2 * kExtensionMargin,
                                           kPanelArea.height};

// The window holds both areas; every plug-in format tells its host this size.
constexpr int kEditorWidth = kExtensionArea.x + kExtensionArea.width;
constexpr int kEditorHeight = std::max(kPanelArea.y + kPanelArea.height, kExtensionArea.y + kExtensionArea.height);

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
// The console button's text is the model's; the one in the table is only
// what it says before the first refresh.
constexpr EditorArea switchRow(int row)
{
    return {kExtensionArea.x + kExtensionMargin, kSwitchRowTop + kExtensionRowPitch * row, kExtensionControlsWidth, 24};
}

// The panel holds Pulse, Triangle and Noise; every other type, from Sample
// on, has its place in the grid here, in ChannelType order. Under it the
// switches.
inline constexpr int32_t kFirstExtensionType = Sample;
static_assert(kChannelTypeCount - kFirstExtensionType <= kTypeSlotCount);

inline constexpr auto kExtensionControls = [] {
    std::array<EditorButton, kChannelTypeCount - kFirstExtensionType + 2> all{};
    size_t i = 0;
    for (int32_t type = kFirstExtensionType; type < kChannelTypeCount; ++type)
        all[i++] = {kChannelTypeButton[type], channelTypeSlot(type - kFirstExtensionType), channelKind(type).label};
    all[i++] = {kControllersButton, switchRow(0), "Controllers"};
    all[i++] = {kConsoleButton, switchRow(1), "Console: Off"};
    return all;
}();

// Every button of both areas, the panel's first: what the windows create,
// draw and hit-test.
inline constexpr auto kEditorButtons = [] {
    std::array<EditorButton, std::size(kPanelButtons) + std::size(kExtensionControls)> all{};
    size_t i = 0;
    for (const EditorButton& button : kPanelButtons)
        all[i++] = button;
    for (const EditorButton& button : kExtensionControls)
        all[i++] = button;
    return all;
}();
