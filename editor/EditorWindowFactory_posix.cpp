// Linux and other X11 systems: the Xlib and cairo window.
#include "EditorWindow.h"
#include "X11Editor.h"

#include <new>

std::unique_ptr<EditorWindow> createEditorWindow(EditorModel& model)
{
    return std::unique_ptr<EditorWindow>(new (std::nothrow) X11Editor(model));
}
