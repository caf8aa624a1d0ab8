#include "Editor.h"

#include <new>

std::unique_ptr<Editor> Editor::create(Instrument& instrument, ProgramChangeNotice notice, void* context)
{
    std::unique_ptr<Editor> editor(new (std::nothrow) Editor(instrument, notice, context));
    if (!editor || !editor->window_)
        return nullptr;
    return editor;
}

Editor::Editor(Instrument& instrument, ProgramChangeNotice notice, void* context)
    : model(instrument, notice, context), window_(createEditorWindow(model))
{
}

Editor::~Editor()
{
    close();
}

bool Editor::open(void* parent)
{
    if (!window_)
        return false;
    if (window_->isOpen())
        window_->close();
    if (!window_->open(parent))
        return false;
    model.markForRefresh();
    return true;
}

void Editor::close()
{
    if (window_)
        window_->close();
    // A window closed under the user's drag sends no release.
    model.releaseGainSlider();
}

void Editor::idle()
{
    if (!isOpen())
        return;  // closed: the next open refreshes everything anyway
    model.checkProgramChange();
    window_->idle();
}
