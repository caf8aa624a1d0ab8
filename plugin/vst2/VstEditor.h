// The editor as the VST 2 binding reaches it: the dispatcher's editor opcodes
// land here and go to the format-neutral Editor.
#pragma once

#include "AEffEditor.h"
#include "editor/Editor.h"

#include <memory>

class VstEditor final : public AEffEditor {
public:
    VstEditor(AudioEffect* owner, std::unique_ptr<Editor> made);

    // ---- user-interface thread ----
    bool getRect(ERect** rect) override;
    bool open(void* parentWindow) override;
    void close() override;
    bool isOpen() override { return editor_->isOpen(); }
    void idle() override { editor_->idle(); }

    Editor& editor() { return *editor_; }

private:
    std::unique_ptr<Editor> editor_;
    ERect rect_{0, 0, kEditorHeight, kEditorWidth};
};
