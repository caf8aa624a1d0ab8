#include "EditorWindow.h"
#include "GUI.h"

#include <new>

std::unique_ptr<EditorWindow> createEditorWindow(EditorModel& model)
{
    return std::unique_ptr<EditorWindow>(new (std::nothrow) GUI(model));
}
