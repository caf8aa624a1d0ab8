// The editor of each build as its own host shows it, for the editor tests of
// both window systems: "VST 2" (the test's PluginHost), "CLAP", "VST3", or
// "VST3" of a host without IComponentHandler2, which hears of edits as
// restarts. Counts what each host hears: notices that the saved state
// changed, and the gain's gestures.
#pragma once

#include "TestPaths.h"
#include "tools/host/ClapHost.h"
#include "tools/host/PluginHost.h"
#include "tools/host/Vst3Host.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

class EditorInEachBuild {
public:
    EditorInEachBuild(std::string build, PluginHost& vst2) : build_(std::move(build)), vst2_(vst2) {}
    ~EditorInEachBuild() { close(); }

    bool isVst2() const { return build_ == "VST 2"; }

    // Loads the CLAP or VST3 build and opens its editor in parent; the VST 2
    // build's is the test's own.
    void open(void* parent)
    {
        if (build_ == "CLAP") {
            ASSERT_TRUE(clap.load(testpaths::clapPlugin)) << clap.error();
            clap.start(44100.0, 512, false);  // the gestures go out with the blocks
            ASSERT_TRUE(clap.openEditor(parent));
        } else if (!isVst2()) {
            vst3.offersHandler2 = build_ == "VST3";
            ASSERT_TRUE(vst3.load(testpaths::vst3Bundle)) << vst3.error();
            ASSERT_TRUE(vst3.openEditor(parent));
        }
    }
    void close()
    {
        clap.closeEditor();
        vst3.closeEditor();
    }
    // What the host does on its timer (the Windows editors idle on theirs).
    void idle()
    {
        if (isVst2())
            vst2_.dispatch(effEditIdle);
        else if (build_ == "CLAP")
            clap.fireTimers();
        else
            vst3.idleEditor();
    }
    // The editor's size as the host was told it: width and height.
    std::pair<int, int> size()
    {
        if (isVst2()) {
            ERect* rect = nullptr;
            if (vst2_.dispatch(effEditGetRect, 0, 0, &rect) != 1 || !rect)
                return {0, 0};
            return {rect->right - rect->left, rect->bottom - rect->top};
        }
        if (build_ == "CLAP")
            return {static_cast<int>(clap.editorWidth), static_cast<int>(clap.editorHeight)};
        return {vst3.editorWidth, vst3.editorHeight};
    }
    // The host's notices that the saved state changed, so far.
    size_t notices()
    {
        if (isVst2())
            return vst2_.countCalls(audioMasterUpdateDisplay);
        if (build_ == "CLAP")
            return static_cast<size_t>(clap.requests.markDirty.load());
        return static_cast<size_t>(vst3.offersHandler2 ? vst3.dirtyNotices : static_cast<int>(vst3.restarts.size()));
    }
    // The gestures that reached the host since the last call: "b0 v0+ e0 ",
    // a parameter's begin, values (a run of them is one "v0+") and end.
    std::string gestures()
    {
        std::vector<std::pair<char, uint32_t>> steps;
        if (build_ == "CLAP") {
            float left[512], right[512];
            clap.processEvents({}, left, right, 512);
            for (const ClapEvent& e : clap.outputEvents) {
                const bool value = e.header.type == CLAP_EVENT_PARAM_VALUE;
                steps.push_back({value                                             ? 'v'
                                 : e.header.type == CLAP_EVENT_PARAM_GESTURE_BEGIN ? 'b'
                                                                                   : 'e',
                                 value ? e.paramValue.param_id : e.gesture.param_id});
            }
            clap.outputEvents.clear();
        }
        for (const Vst3Edit& edit : vst3.edits)
            steps.push_back({edit.kind == 'p' ? 'v' : edit.kind, edit.id});
        vst3.edits.clear();
        std::string text;
        for (size_t i = 0; i < steps.size(); ++i) {
            size_t run = 1;
            for (; steps[i].first == 'v' && i + 1 < steps.size() && steps[i + 1] == steps[i]; ++i)
                ++run;
            text += steps[i].first + std::to_string(steps[i].second) + (run > 1 ? "+ " : " ");
        }
        return text;
    }

    ClapHost clap;
    Vst3Host vst3;

private:
    std::string build_;
    PluginHost& vst2_;
};

inline const auto kEveryBuild = ::testing::Values("VST 2", "CLAP", "VST3", "VST3 without IComponentHandler2");
