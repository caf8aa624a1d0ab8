// A one-line text box's editing logic, apart from any window system: the
// text, the caret and the selection, what keys and the mouse do to them, and
// how far the text is scrolled so that the caret stays in view. A window
// draws what it says and measures text for it with its own font.
//
// Positions are byte offsets: the box keeps printable ASCII only, as the
// envelope texts are. The user-interface thread owns it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

class TextField {
public:
    // What a program keeps of an envelope text; input beyond it is dropped.
    static constexpr size_t kMaxLength = 1023;
    // The width in pixels of a piece of text, in the font the box is drawn with.
    using Measure = std::function<double(std::string_view)>;

    // ---- what the box shows ----
    const std::string& text() const { return text_; }
    size_t caret() const { return caret_; }
    size_t anchor() const { return anchor_; }
    bool hasSelection() const { return caret_ != anchor_; }
    size_t selectionStart() const { return caret_ < anchor_ ? caret_ : anchor_; }
    size_t selectionEnd() const { return caret_ < anchor_ ? anchor_ : caret_; }
    std::string selectedText() const { return text_.substr(selectionStart(), selectionEnd() - selectionStart()); }
    // Pixels of the text scrolled out on the left.
    double scrollOffset() const { return scroll_; }

    // ---- changes that are not edits (a new program shown) ----
    // The caret goes to the start, the selection and the scrolling away.
    void setText(std::string_view text);

    // ---- edits: each answers whether the text changed ----
    // Typed or pasted text replaces the selection; characters the box does not
    // keep are skipped, a pasted line break ends the text, and what does not
    // fit is dropped.
    bool insert(std::string_view typed);
    bool backspace();
    bool deleteForward();
    // Removes the selection (cut, once its text is copied).
    bool eraseSelection();

    // ---- caret and selection; extend keeps the anchor (Shift held) ----
    void moveLeft(bool extend);
    void moveRight(bool extend);
    void home(bool extend);
    void end(bool extend);
    void selectAll();
    // Selects the run of spaces or non-spaces at a position.
    void selectWordAt(size_t position);

    // ---- the mouse, x in pixels from the box's text origin ----
    // The character boundary nearest to x, with the text scrolled as it is.
    size_t positionAt(double x, const Measure& measure) const;
    // A press places the caret (extend: moves only the caret, Shift+click).
    void press(double x, bool extend, const Measure& measure);
    // Dragging with the button held moves the caret, the anchor stays.
    void drag(double x, const Measure& measure);
    void doubleClick(double x, const Measure& measure);

    // Scrolls so that the caret is within a view this many pixels wide.
    void scrollToCaret(double visibleWidth, const Measure& measure);

private:
    void moveTo(size_t position, bool extend);

    std::string text_;
    size_t caret_ = 0;
    size_t anchor_ = 0;
    double scroll_ = 0.0;
};
