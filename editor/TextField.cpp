#include "TextField.h"

#include <algorithm>

namespace {

bool isKept(char c)
{
    return c >= ' ' && c <= '~';
}

bool isSpace(char c)
{
    return c == ' ';
}

}  // namespace

void TextField::setText(std::string_view text)
{
    text_.clear();
    for (char c : text.substr(0, std::min(text.size(), kMaxLength)))
        if (isKept(c))
            text_ += c;
    caret_ = anchor_ = 0;
    scroll_ = 0.0;
}

bool TextField::insert(std::string_view typed)
{
    const bool erased = eraseSelection();
    std::string kept;
    for (char c : typed) {
        if (c == '\n' || c == '\r')
            break;
        if (isKept(c) && text_.size() + kept.size() < kMaxLength)
            kept += c;
    }
    text_.insert(caret_, kept);
    caret_ += kept.size();
    anchor_ = caret_;
    return erased || !kept.empty();
}

bool TextField::backspace()
{
    if (hasSelection())
        return eraseSelection();
    if (caret_ == 0)
        return false;
    text_.erase(--caret_, 1);
    anchor_ = caret_;
    return true;
}

bool TextField::deleteForward()
{
    if (hasSelection())
        return eraseSelection();
    if (caret_ == text_.size())
        return false;
    text_.erase(caret_, 1);
    return true;
}

bool TextField::eraseSelection()
{
    if (!hasSelection())
        return false;
    const size_t start = selectionStart();
    text_.erase(start, selectionEnd() - start);
    caret_ = anchor_ = start;
    return true;
}

void TextField::moveTo(size_t position, bool extend)
{
    caret_ = std::min(position, text_.size());
    if (!extend)
        anchor_ = caret_;
}

void TextField::moveLeft(bool extend)
{
    // Without Shift, a selection collapses to its start, as edit boxes do.
    if (!extend && hasSelection())
        moveTo(selectionStart(), false);
    else
        moveTo(caret_ > 0 ? caret_ - 1 : 0, extend);
}

void TextField::moveRight(bool extend)
{
    if (!extend && hasSelection())
        moveTo(selectionEnd(), false);
    else
        moveTo(caret_ + 1, extend);
}

void TextField::home(bool extend)
{
    moveTo(0, extend);
}

void TextField::end(bool extend)
{
    moveTo(text_.size(), extend);
}

void TextField::selectAll()
{
    anchor_ = 0;
    caret_ = text_.size();
}

void TextField::selectWordAt(size_t position)
{
    position = std::min(position, text_.size());
    if (text_.empty())
        return moveTo(0, false);
    // At the end, the last character's run.
    if (position == text_.size())
        --position;
    const bool space = isSpace(text_[position]);
    size_t start = position;
    while (start > 0 && isSpace(text_[start - 1]) == space)
        --start;
    size_t stop = position + 1;
    while (stop < text_.size() && isSpace(text_[stop]) == space)
        ++stop;
    anchor_ = start;
    caret_ = stop;
}

size_t TextField::positionAt(double x, const Measure& measure) const
{
    const double target = x + scroll_;
    // Prefix widths grow with the prefix: the first boundary at or right of
    // the target, or the one before it if that is nearer.
    size_t low = 0;
    size_t high = text_.size();
    while (low < high) {
        const size_t middle = (low + high) / 2;
        if (measure(std::string_view(text_).substr(0, middle)) < target)
            low = middle + 1;
        else
            high = middle;
    }
    if (low > 0) {
        const double after = measure(std::string_view(text_).substr(0, low));
        const double before = measure(std::string_view(text_).substr(0, low - 1));
        if (target - before < after - target)
            --low;
    }
    return low;
}

void TextField::press(double x, bool extend, const Measure& measure)
{
    moveTo(positionAt(x, measure), extend);
}

void TextField::drag(double x, const Measure& measure)
{
    moveTo(positionAt(x, measure), true);
}

void TextField::doubleClick(double x, const Measure& measure)
{
    selectWordAt(positionAt(x, measure));
}

void TextField::scrollToCaret(double visibleWidth, const Measure& measure)
{
    const double caretX = measure(std::string_view(text_).substr(0, caret_));
    const double width = measure(text_);
    if (caretX < scroll_)
        scroll_ = caretX;
    else if (caretX > scroll_ + visibleWidth)
        scroll_ = caretX - visibleWidth;
    // No empty space on the right while text is scrolled out on the left.
    scroll_ = std::clamp(scroll_, 0.0, std::max(0.0, width - visibleWidth));
}
