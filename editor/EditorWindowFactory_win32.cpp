#include "EditorWindow.h"
#include "GUI_win32.h"

#include <new>

std::unique_ptr<EditorWindow> createEditorWindow(EditorModel& model)
{
    return std::unique_ptr<EditorWindow>(new (std::nothrow) GUI(model));
}
