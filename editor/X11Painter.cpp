#include "X11Painter.h"

#include "EditorModel.h"
#include "EditorWindow.h"
#include "X11Layout.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace x11layout;

namespace {


// Button text sits this far below the top edge; corners are rounded as
// RoundRect's five-pixel ellipse.
constexpr double kButtonTextOffset = 4;
constexpr double kCornerRadius = 2.5;

constexpr double kFontSize = 13;

struct Colour {
    double r, g, b;
};
constexpr Colour rgb(int r, int g, int b)
{
    return {r / 255.0, g / 255.0, b / 255.0};
}
constexpr Colour kFace = rgb(240, 240, 240);    // COLOR_BTNFACE
constexpr Colour kShadow = rgb(160, 160, 160);  // COLOR_BTNSHADOW: a selected button
constexpr Colour kEmptyEnvelope = rgb(255, 255, 128);
constexpr Colour kBlack = rgb(0, 0, 0);
constexpr Colour kWhite = rgb(255, 255, 255);
constexpr Colour kHighlight = rgb(0, 120, 215);
constexpr Colour kGroove = rgb(214, 214, 214);

void setColour(cairo_t* cr, Colour c)
{
    cairo_set_source_rgb(cr, c.r, c.g, c.b);
}

void setFont(cairo_t* cr)
{
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, kFontSize);
}

void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius)
{
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + width - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + height - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

double textWidth(cairo_t* cr, const char* text)
{
    cairo_text_extents_t extents;
    cairo_text_extents(cr, text, &extents);
    return extents.x_advance;
}

// An 8-bit colour component placed in a visual's channel mask.
unsigned long channel(uint32_t component, unsigned long mask)
{
    if (mask == 0)
        return 0;
    const int shift = std::countr_zero(mask);
    const int bits = std::popcount(mask);
    const unsigned long value = component & 0xFF;
    return (bits >= 8 ? value << (bits - 8) : value >> (8 - bits)) << shift;
}

}  // namespace

bool X11Painter::create(Display* display, unsigned long window)
{
    XWindowAttributes created{};
    if (!XGetWindowAttributes(display, window, &created) || created.visual->c_class != TrueColor)
        return false;
    image_ = XCreateImage(display, created.visual, static_cast<unsigned>(created.depth), ZPixmap, 0, nullptr,
                          kEditorWidth, kEditorHeight, 32, 0);
    if (image_)  // XDestroyImage frees it
        image_->data = static_cast<char*>(std::calloc(static_cast<size_t>(image_->bytes_per_line), kEditorHeight));
    gc_ = XCreateGC(display, window, 0, nullptr);
    canvas_ = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, kEditorWidth, kEditorHeight);
    measureContext_ = cairo_create(canvas_);
    setFont(measureContext_);
    return image_ && image_->data && cairo_surface_status(canvas_) == CAIRO_STATUS_SUCCESS;
}

void X11Painter::release(Display* display)
{
    if (measureContext_)
        cairo_destroy(measureContext_);
    if (canvas_)
        cairo_surface_destroy(canvas_);
    measureContext_ = nullptr;
    canvas_ = nullptr;
    if (image_)
        XDestroyImage(image_);
    image_ = nullptr;
    if (display && gc_)
        XFreeGC(display, gc_);
    gc_ = nullptr;
}

double X11Painter::measure(const char* text, size_t length) const
{
    if (!measureContext_)
        return 0.0;
    const std::string piece(text, length);  // cairo wants it terminated
    return textWidth(measureContext_, piece.c_str());
}

void X11Painter::paint(Display* display, unsigned long window, const Scene& scene)
{
    if (!canvas_ || !image_ || !gc_)
        return;
    const EditorModel& model = scene.model;
    cairo_t* cr = cairo_create(canvas_);
    setFont(cr);
    cairo_font_extents_t font;
    cairo_font_extents(cr, &font);
    setColour(cr, kFace);
    cairo_paint(cr);

    // Labels: top left, as static controls draw; an empty envelope's text on yellow.
    auto label = [&](const EditorArea& area, const char* text, bool marked) {
        if (marked) {
            setColour(cr, kEmptyEnvelope);
            cairo_rectangle(cr, area.x, area.y, std::ceil(textWidth(cr, text)), std::ceil(font.height));
            cairo_fill(cr);
        }
        setColour(cr, kBlack);
        cairo_move_to(cr, area.x, area.y + font.ascent);
        cairo_show_text(cr, text);
    };
    for (int field = 0; field < kEditorFieldCount; ++field)
        label(editorFieldLabelArea(field), model.rowLabel(field), model.envelopeIsEmpty(field));
    char shown[32];
    model.midiChannelText(shown);
    label(kMidiChannelArea, shown, false);
    model.polyphonyText(shown);
    label(kPolyphonyArea, shown, false);
    label(kStatusArea, model.statusText(), false);

    // Fields: white with a one-pixel border; the selection and caret while focused.
    for (int kind = 0; kind < kEditorFieldCount; ++kind) {
        const EditorArea area = editorFieldArea(kind);
        const TextField& field = scene.fields[kind];
        setColour(cr, kWhite);
        cairo_rectangle(cr, area.x, area.y, area.width, area.height);
        cairo_fill(cr);
        setColour(cr, kBlack);
        cairo_set_line_width(cr, 1);
        cairo_rectangle(cr, area.x + 0.5, area.y + 0.5, area.width - 1, area.height - 1);
        cairo_stroke(cr);

        cairo_save(cr);
        cairo_rectangle(cr, area.x + 1, area.y + 1, area.width - 2, area.height - 2);
        cairo_clip(cr);
        const double originX = area.x + kFieldInset - field.scrollOffset();
        const double baseline = area.y + std::round((area.height - font.height) / 2 + font.ascent);
        const std::string& text = field.text();
        setColour(cr, kBlack);
        cairo_move_to(cr, originX, baseline);
        cairo_show_text(cr, text.c_str());
        const bool active = kind == scene.focused && scene.hasFocus;
        if (active && field.hasSelection()) {
            const double left = originX + measure(text.data(), field.selectionStart());
            const double right = originX + measure(text.data(), field.selectionEnd());
            cairo_rectangle(cr, left, area.y + 3, right - left, area.height - 6);
            setColour(cr, kHighlight);
            cairo_fill_preserve(cr);
            cairo_clip(cr);
            setColour(cr, kWhite);
            cairo_move_to(cr, originX, baseline);
            cairo_show_text(cr, text.c_str());
        }
        cairo_restore(cr);
        if (active) {
            const double caretX = std::round(originX + measure(text.data(), field.caret())) + 0.5;
            setColour(cr, kBlack);
            cairo_move_to(cr, caretX, area.y + 4);
            cairo_line_to(cr, caretX, area.y + area.height - 4);
            cairo_stroke(cr);
        }
    }

    // The wave column: which wave, and the wave as bars from the bottom.
    char waveLabel[32];
    model.waveLabelText(waveLabel);
    const double labelWidth = textWidth(cr, waveLabel);
    label({static_cast<int>(std::round(kWaveLabelArea.x + (kWaveLabelArea.width - labelWidth) / 2)), kWaveLabelArea.y,
           kWaveLabelArea.width, kWaveLabelArea.height},
          waveLabel, false);
    EditorModel::ShownWave wave;
    if (model.shownWave(wave)) {
        setColour(cr, kWhite);
        cairo_rectangle(cr, kWaveArea.x, kWaveArea.y, kWaveArea.width, kWaveArea.height);
        cairo_fill(cr);
        setColour(cr, kBlack);
        cairo_set_line_width(cr, 1);
        cairo_rectangle(cr, kWaveArea.x - 0.5, kWaveArea.y - 0.5, kWaveArea.width + 1, kWaveArea.height + 1);
        cairo_stroke(cr);
        setColour(cr, kHighlight);
        const int length = wave.program.length;
        for (int step = 0; step < length; ++step) {
            const int left = waveStepLeft(step, length), right = waveStepLeft(step + 1, length);
            const int top = waveBarTop(wave.steps()[step], wave.top);
            cairo_rectangle(cr, left, top, right - left, kWaveArea.y + kWaveArea.height - top);
        }
        cairo_fill(cr);
    }

    // Buttons: RoundRect in the face colour, or the shadow colour when selected.
    for (const EditorButton& b : kEditorButtons) {
        const bool pushed = scene.pushedButton == b.id;
        setColour(cr, model.isSelected(b.id) || pushed ? kShadow : kFace);
        roundedRectangle(cr, b.area.x + 0.5, b.area.y + 0.5, b.area.width - 1, b.area.height - 1, kCornerRadius);
        cairo_fill_preserve(cr);
        setColour(cr, kBlack);
        cairo_stroke(cr);
        const char* text = model.buttonText(b.id);
        const double width = textWidth(cr, text);
        setColour(cr, model.isEnabled(b.id) ? kBlack : kShadow);
        cairo_move_to(cr, std::round(b.area.x + (b.area.width - width) / 2),
                      b.area.y + kButtonTextOffset + font.ascent);
        cairo_show_text(cr, text);
    }

    // The gain slider: a groove and a thumb, top is position 0.
    setColour(cr, kGroove);
    cairo_rectangle(cr, kSliderCentre - 2, kSliderTop - 2, 4, kSliderBottom - kSliderTop + 4);
    cairo_fill(cr);
    setColour(cr, kShadow);
    cairo_rectangle(cr, kSliderCentre - 1.5, kSliderTop - 1.5, 3, kSliderBottom - kSliderTop + 3);
    cairo_stroke(cr);
    const int centre = thumbCentre(scene.slider);
    cairo_rectangle(cr, kSliderCentre - kThumbWidth / 2 + 0.5, centre - kThumbHeight / 2 + 0.5, kThumbWidth - 1,
                    kThumbHeight - 1);
    setColour(cr, scene.draggingThumb ? kGroove : kFace);
    cairo_fill_preserve(cr);
    setColour(cr, kShadow);
    cairo_stroke(cr);

    cairo_destroy(cr);
    convertCanvas();
    XPutImage(display, window, gc_, image_, 0, 0, 0, 0, kEditorWidth, kEditorHeight);
}

void X11Painter::convertCanvas()
{
    cairo_surface_flush(canvas_);
    const unsigned char* canvas = cairo_image_surface_get_data(canvas_);
    const int stride = cairo_image_surface_get_stride(canvas_);
    // The usual visual is cairo's own layout: whole rows at once.
    const bool sameLayout = image_->bits_per_pixel == 32 && image_->red_mask == 0xFF0000 &&
                            image_->green_mask == 0xFF00 && image_->blue_mask == 0xFF &&
                            image_->byte_order == (std::endian::native == std::endian::little ? LSBFirst : MSBFirst);
    for (int y = 0; y < kEditorHeight; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(canvas + y * stride);
        if (sameLayout) {
            std::memcpy(image_->data + y * image_->bytes_per_line, row, 4 * kEditorWidth);
            continue;
        }
        for (int x = 0; x < kEditorWidth; ++x) {
            const uint32_t pixel = row[x];
            XPutPixel(image_, x, y,
                      channel(pixel >> 16, image_->red_mask) | channel(pixel >> 8, image_->green_mask) |
                          channel(pixel, image_->blue_mask));
        }
    }
}
