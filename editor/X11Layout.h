// Where the Linux editor's controls are: the Windows editor's places and
// sizes, shared by the painter that draws them and the window that hit-tests
// the user's clicks against them.
#pragma once

#include "EditorModel.h"
#include "engine/Program.h"

namespace x11layout {

struct Area {
    int x, y, width, height;
    bool contains(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }
};

struct Button {
    int id;
    Area area;
    const char* text;
};

inline constexpr Button kButtons[] = {
    {kPulseButton, {80, 170, 60, 24}, "Pulse"},
    {kTriangleButton, {145, 170, 60, 24}, "Triangle"},
    {kNoiseButton, {210, 170, 60, 24}, "Noise"},
    {kMultiButton, {300, 170, 60, 24}, "Multi"},
    {kNtscButton, {390, 170, 60, 24}, "NTSC"},
    {kPalButton, {455, 170, 60, 24}, "PAL"},
    {kMidiChannelUpButton, {80, 200, 25, 25}, "+"},
    {kMidiChannelDownButton, {110, 200, 25, 25}, "-"},
    {kPolyphonyUpButton, {250, 200, 25, 25}, "+"},
    {kPolyphonyDownButton, {280, 200, 25, 25}, "-"},
    {kControllersButton, {330, 200, 90, 25}, "Controllers"},
};

constexpr int kRowPitch = 30;
inline Area envelopeLabelArea(int kind)
{
    return {10, 12 + kRowPitch * kind, 60, 25};
}
inline Area fieldArea(int kind)
{
    return {80, 10 + kRowPitch * kind, 475, 25};
}
constexpr Area kMidiChannelArea{10, 204, 70, 25};
constexpr Area kPolyphonyArea{160, 204, 90, 25};
constexpr Area kStatusArea{10, 234, 575, 20};
constexpr Area kSlider{565, 0, 30, 200};

// A field's text starts inside its one-pixel border and a small margin.
constexpr int kFieldInset = 3;
constexpr double kFieldTextWidth = 475 - 2 * kFieldInset;

// The slider's thumb travels between these heights: position 0 at the top.
constexpr int kSliderTop = 10;
constexpr int kSliderBottom = 190;
constexpr int kSliderCentre = kSlider.x + kSlider.width / 2;
constexpr int kThumbWidth = 20;
constexpr int kThumbHeight = 10;
constexpr int kSliderPage = 4;  // a click beside the thumb, as the trackbar's page

inline int thumbCentre(int position)
{
    return kSliderTop + position * (kSliderBottom - kSliderTop) / kGainSliderMax;
}

}  // namespace x11layout
