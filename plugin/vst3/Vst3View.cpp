#include "Vst3View.h"

#include "Vst3Plugin.h"

#include <cstring>
#include <new>

namespace {

Vst3View* viewOf(void* self)
{
    return slotOwner<Vst3View>(self);
}

}  // namespace

Vst3View* Vst3View::create(Vst3Plugin& plugin)
{
    std::unique_ptr<Editor> editor = Editor::create(plugin.instrument, nullptr, nullptr);
    if (!editor)
        return nullptr;
    return new (std::nothrow) Vst3View(plugin, std::move(editor));
}

Vst3View::Vst3View(Vst3Plugin& plugin, std::unique_ptr<Editor> editor) : plugin_(&plugin), editor_(std::move(editor))
{
    plugin.ref();  // the instrument the editor shows stays while the view does
}

Vst3View::~Vst3View()
{
    timer_.stop();
    editor_->close();
    editor_.reset();
    if (frame_)
        v3_cpp_obj_unref(frame_);
    if (plugin_) {
        plugin_->viewGone(this);
        plugin_->unref();
    }
}

v3_result V3_API Vst3View::queryInterface(void* self, const v3_tuid iid, void** object)
{
    if (!object)
        return V3_INVALID_ARG;
    if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_view_iid)) {
        *object = self;
        ref(self);
        return V3_OK;
    }
    *object = nullptr;
    return V3_NO_INTERFACE;
}

uint32_t V3_API Vst3View::ref(void* self)
{
    return ++viewOf(self)->references_;
}

uint32_t V3_API Vst3View::unref(void* self)
{
    Vst3View* view = viewOf(self);
    const uint32_t left = --view->references_;
    if (left == 0)
        delete view;
    return left;
}

v3_result V3_API Vst3View::isPlatformTypeSupported(void*, const char* type)
{
    return type && std::strcmp(type, V3_VIEW_PLATFORM_TYPE_NATIVE) == 0 ? V3_OK : V3_FALSE;
}

v3_result V3_API Vst3View::attached(void* self, void* parent, const char* type)
{
    Vst3View* view = viewOf(self);
    if (!parent || isPlatformTypeSupported(self, type) != V3_OK)
        return V3_FALSE;
    if (!view->editor_->open(parent))
        return V3_FALSE;
    view->parent_ = parent;
    view->timer_.start(view->frame_, parent);
    return V3_OK;
}

v3_result V3_API Vst3View::removed(void* self)
{
    Vst3View* view = viewOf(self);
    view->parent_ = nullptr;
    view->timer_.stop();
    view->editor_->close();
    return V3_OK;
}

v3_result V3_API Vst3View::onWheel(void*, float)
{
    return V3_FALSE;
}

v3_result V3_API Vst3View::onKeyDown(void*, int16_t, int16_t, int16_t)
{
    return V3_FALSE;  // the editor's own window takes the keys
}

v3_result V3_API Vst3View::onKeyUp(void*, int16_t, int16_t, int16_t)
{
    return V3_FALSE;
}

v3_result V3_API Vst3View::getSize(void*, v3_view_rect* rect)
{
    if (!rect)
        return V3_INVALID_ARG;
    *rect = {0, 0, kEditorWidth, kEditorHeight};
    return V3_OK;
}

v3_result V3_API Vst3View::onSize(void*, v3_view_rect*)
{
    return V3_OK;
}

v3_result V3_API Vst3View::onFocus(void*, v3_bool)
{
    return V3_OK;
}

v3_result V3_API Vst3View::setFrame(void* self, v3_plugin_frame** frame)
{
    Vst3View* view = viewOf(self);
    if (frame)
        v3_cpp_obj_ref(frame);
    if (view->frame_)
        v3_cpp_obj_unref(view->frame_);
    view->frame_ = frame;
    // Hosts may hand the frame over after attaching the view: the timer
    // runs on the run loop of whichever frame the view has.
    if (view->parent_)
        view->timer_.start(frame, view->parent_);
    return V3_OK;
}

v3_result V3_API Vst3View::canResize(void*)
{
    return V3_FALSE;
}

v3_result V3_API Vst3View::checkSizeConstraint(void* self, v3_view_rect* rect)
{
    return getSize(self, rect);
}

void Vst3View::idle(void* self)
{
    static_cast<Vst3View*>(self)->editor_->idle();
}

const v3_plugin_view_cpp Vst3View::table_ = {
    {queryInterface, ref, unref},
    {isPlatformTypeSupported, attached, removed, onWheel, onKeyDown, onKeyUp, getSize, onSize, onFocus, setFrame,
     canResize, checkSizeConstraint},
};
