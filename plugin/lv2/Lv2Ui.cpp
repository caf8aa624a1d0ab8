#include "Lv2Ui.h"

#include "editor/EditorWindow.h"

#include <lv2/instance-access/instance-access.h>

#include <cstring>
#include <new>

namespace {

void* feature(const LV2_Feature* const* features, const char* uri)
{
    for (const LV2_Feature* const* f = features; f && *f; ++f)
        if ((*f)->URI && std::strcmp((*f)->URI, uri) == 0)
            return (*f)->data;
    return nullptr;
}

}  // namespace

Lv2Ui* Lv2Ui::create(LV2UI_Write_Function write, LV2UI_Controller controller, LV2UI_Widget* widget,
                     const LV2_Feature* const* features)
{
    auto* plugin = static_cast<Lv2Plugin*>(feature(features, LV2_INSTANCE_ACCESS_URI));
    void* parent = feature(features, LV2_UI__parent);
    if (!plugin || !parent || !widget)
        return nullptr;
    const auto* touch = static_cast<const LV2UI_Touch*>(feature(features, LV2_UI__touch));
    std::unique_ptr<Lv2Ui> ui(new (std::nothrow) Lv2Ui(*plugin, write, controller, touch));
    if (!ui || !ui->editor_ || !plugin->attachUi(*ui) || !ui->editor_->open(parent))
        return nullptr;
    *widget = reinterpret_cast<LV2UI_Widget>(ui->editor_->windowHandle());
    if (const auto* resize = static_cast<const LV2UI_Resize*>(feature(features, LV2_UI__resize));
        resize && resize->ui_resize)
        resize->ui_resize(resize->handle, kEditorWidth, kEditorHeight);
    return ui.release();
}

Lv2Ui::Lv2Ui(Lv2Plugin& plugin, LV2UI_Write_Function write, LV2UI_Controller controller, const LV2UI_Touch* touch)
    : plugin_(plugin), write_(write), controller_(controller), touch_(touch)
{
    editor_ = Editor::create(plugin_.instrument, editorProgramChanged, this);
}

Lv2Ui::~Lv2Ui()
{
    editor_.reset();
    // Another window still open takes over telling the host of edits.
    plugin_.detachUi(*this);
}

void Lv2Ui::parameterEdited(uint32_t id, double value)
{
    if (!write_ || id >= kParameterCount)
        return;
    const auto port = static_cast<float>(value);
    // Format 0: a control port's float.
    write_(controller_, kPortGain + id, sizeof port, 0, &port);
}

void Lv2Ui::touch(uint32_t id, bool grabbed)
{
    if (touch_ && touch_->touch && id < kParameterCount)
        touch_->touch(touch_->handle, kPortGain + id, grabbed);
}

void Lv2Ui::parameterGestureBegan(uint32_t id)
{
    touch(id, true);
}

void Lv2Ui::parameterGestureEnded(uint32_t id)
{
    touch(id, false);
}

void Lv2Ui::stateEdited(bool)
{
    plugin_.markStateChanged();
}

int Lv2Ui::idle()
{
    if (editor_)
        editor_->idle();
    return 0;
}

void Lv2Ui::editorProgramChanged(void* self)
{
    static_cast<Lv2Ui*>(self)->plugin_.markStateChanged();
}
