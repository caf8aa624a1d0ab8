// No editor window on this platform yet: hosts show their own generic view.
#include "EditorWindow.h"

std::unique_ptr<EditorWindow> createEditorWindow(EditorModel&)
{
    return nullptr;
}
