// The editor's side of X's selections: the clipboard (Ctrl+C/X/V) and
// PRIMARY (a selected text, pasted elsewhere with the middle button). It
// offers the texts the user copied or selected to other programs, and asks
// the owner of a selection for its text when the user pastes; the answer
// arrives in a later idle and goes into the field the paste was meant for.
//
// Everything here runs on the host's user-interface thread.
#pragma once

#include <functional>
#include <string>

struct _XDisplay;
union _XEvent;

class X11Selections {
public:
    // Puts pasted text into a field (kind).
    using Insert = std::function<void(int kind, const std::string& text)>;

    explicit X11Selections(Insert insert) : insert_(std::move(insert)) {}

    // For the editor's window on its connection: the atoms it needs.
    void open(_XDisplay* display, unsigned long window);
    // Forgets the texts offered and the window.
    void close();
    unsigned long clipboard() const { return clipboardAtom_; }

    // Offers text as the selection (the clipboard or XA_PRIMARY).
    void own(unsigned long selection, const std::string& text, unsigned long time);
    // Pastes the selection into a field: at once when the text is ours,
    // otherwise once its owner answers.
    void paste(unsigned long selection, int kind, unsigned long time);
    // Another program asks for a text of ours.
    void answerSelectionRequest(_XEvent& event);
    // The owner of a selection answers a paste.
    void receivePaste(_XEvent& event);

private:
    Insert insert_;
    _XDisplay* display_ = nullptr;
    unsigned long window_ = 0;
    unsigned long clipboardAtom_ = 0;
    unsigned long utf8Atom_ = 0;
    unsigned long targetsAtom_ = 0;
    unsigned long textAtom_ = 0;
    unsigned long pasteProperty_ = 0;
    std::string clipboardText_;
    std::string primaryText_;
    int pasteField_ = -1;  // the field a requested paste goes into
    unsigned long pasteTarget_ = 0;
};
