// Files dragged onto the Linux editor from other programs, by XDND (version
// 5): the window says it takes drops, answers a source's questions while it
// drags over us, and on a drop asks for the list of files, which the model
// loads as tracker instruments.
//
// Everything here runs on the host's user-interface thread.
#pragma once

struct _XDisplay;
union _XEvent;
class EditorModel;

class X11DropTarget {
public:
    explicit X11DropTarget(EditorModel& model) : model_(model) {}

    // Marks the editor's window as a drop target and forgets any drag.
    void open(_XDisplay* display, unsigned long window);
    void close();

    // Whether a SelectionNotify for this selection is a drop's answer.
    bool isDropSelection(unsigned long selection) const;
    // A ClientMessage: the source's side of the protocol.
    void message(_XEvent& event);
    // The dropped list of files arrived (a SelectionNotify): answers whether
    // the window needs repainting.
    bool receiveDrop(_XEvent& event);

private:
    // Tells the source of the drop under way that it is over, and forgets it.
    void finishDrop(bool accepted);
    void sendToSource(unsigned long type, const long (&data)[5]);

    EditorModel& model_;
    _XDisplay* display_ = nullptr;
    unsigned long window_ = 0;
    unsigned long dndAtoms_[12] = {};  // see the DndAtom enumeration
    unsigned long dndSource_ = 0;      // the window dragging over us; 0 for none
    bool dndOffersFiles_ = false;      // whether it offers text/uri-list
    bool dndDropping_ = false;         // dropped: the files are being asked for
};
