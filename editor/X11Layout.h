// What the Linux editor's painter and its window share beyond the panel's
// layout (EditorLayout): the fields' text inset and the slider's travel.
#pragma once

#include "EditorLayout.h"

namespace x11layout {

// A field's text starts inside its one-pixel border and a small margin.
constexpr int kFieldInset = 3;
constexpr double fieldTextWidth(int field)
{
    return editorFieldArea(field).width - 2 * kFieldInset;
}

// The slider's thumb travels between these heights: position 0 at the top.
constexpr int kSliderTop = 10;
constexpr int kSliderBottom = 190;
constexpr int kSliderCentre = kGainSliderArea.x + kGainSliderArea.width / 2;
constexpr int kThumbWidth = 20;
constexpr int kThumbHeight = 10;
constexpr int kSliderPage = 4;  // a click beside the thumb, as the trackbar's page

inline int thumbCentre(int position)
{
    return kSliderTop + position * (kSliderBottom - kSliderTop) / kGainSliderMax;
}

}  // namespace x11layout
