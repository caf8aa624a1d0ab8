// The editor as an LV2 X11 UI: the format-neutral Editor embedded in the
// window the host passes (ui:parent), idled through the idle interface, its
// size told through ui:resize. It drives the plug-in instance's own
// Instrument, which the host hands over with instance-access: a host that
// cannot share the instance (one that runs UIs in another process) shows
// its generic controls for the three control ports instead, as the UI
// requires that feature. Gain, clock and polyphony changed in the editor go
// to their control ports, so that the host records them as automation, each
// drag between the touch feature's grab and release where the host has it;
// every edit of the saved state is sent to the host as a state change.
//
// Everything here runs on the host's user-interface thread.
#pragma once

#include "Lv2Plugin.h"
#include "editor/Editor.h"

#include <lv2/ui/ui.h>

#include <memory>

class Lv2Ui final : public EditListener {
public:
    // Null when a required feature is missing or the window cannot be made.
    static Lv2Ui* create(LV2UI_Write_Function write, LV2UI_Controller controller, LV2UI_Widget* widget,
                         const LV2_Feature* const* features);
    ~Lv2Ui() override;
    Lv2Ui(const Lv2Ui&) = delete;
    Lv2Ui& operator=(const Lv2Ui&) = delete;

    void parameterGestureBegan(uint32_t id) override;
    void parameterEdited(uint32_t id, double value) override;
    void parameterGestureEnded(uint32_t id) override;
    void stateEdited(bool namesChanged) override;
    // The idle interface's call: answers 0, as the editor never closes itself.
    int idle();

private:
    Lv2Ui(Lv2Plugin& plugin, LV2UI_Write_Function write, LV2UI_Controller controller, const LV2UI_Touch* touch);
    void touch(uint32_t id, bool grabbed);
    static void editorProgramChanged(void* self);

    Lv2Plugin& plugin_;
    LV2UI_Write_Function write_;
    LV2UI_Controller controller_;
    const LV2UI_Touch* touch_;  // null where the host offers none
    std::unique_ptr<Editor> editor_;
};
