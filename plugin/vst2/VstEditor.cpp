#include "VstEditor.h"

#include <utility>

VstEditor::VstEditor(AudioEffect* owner, std::unique_ptr<Editor> made) : AEffEditor(owner), editor_(std::move(made)) {}

bool VstEditor::getRect(ERect** rect)
{
    if (rect)
        *rect = &rect_;
    return true;
}

bool VstEditor::open(void* parentWindow)
{
    systemWindow = editor_->open(parentWindow) ? parentWindow : nullptr;
    return systemWindow != nullptr;
}

void VstEditor::close()
{
    editor_->close();
    systemWindow = nullptr;
}
