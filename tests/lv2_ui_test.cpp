// The LV2 build's editor as an LV2 host embeds it, on a virtual X display:
// the host's instance, the UI from the bundle's binary through
// lv2ui_descriptor, a parent window of the host's, and real X input
// (XTest). The editor embeds in the parent and tells its size; a gain moved
// in it reaches the gain control port through the host's write function,
// and a program change made in it reaches the host as state:StateChanged.
#include "TestPaths.h"
#include "editor/EditorWindow.h"
#include "tools/host/DynamicLibrary.h"
#include "tools/host/Lv2Host.h"

#include <gtest/gtest.h>
// After GoogleTest, which has a None of its own.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <lv2/instance-access/instance-access.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr char kUri[] = "https://plinka.invalid/plinka";
constexpr uint32_t kGainPort = 3;
constexpr int kParentX = 20;
constexpr int kParentY = 20;

struct Write {
    uint32_t port;
    uint32_t size;
    uint32_t protocol;
    float value;
};

class Lv2Editor : public ::testing::Test {
protected:
    void SetUp() override
    {
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr) << "no X display: run under xvfb-run";
        parent = XCreateSimpleWindow(display, DefaultRootWindow(display), kParentX, kParentY, 700, 400, 0, 0, 0);
        XMapWindow(display, parent);
        XSync(display, False);
        ASSERT_TRUE(lv2.load(testpaths::lv2Bundle)) << lv2.error();
        lv2.start(44100.0, 512, false);
        std::string error;
        ASSERT_TRUE(library.open(std::string(testpaths::lv2Bundle) + "/Plinka.so", error)) << error;
        const auto entry = reinterpret_cast<LV2UI_DescriptorFunction>(library.symbol("lv2ui_descriptor"));
        ASSERT_NE(entry, nullptr);
        descriptor = entry(0);
        ASSERT_NE(descriptor, nullptr);
        EXPECT_EQ(entry(1), nullptr);
        EXPECT_STREQ(descriptor->URI, "https://plinka.invalid/plinka#ui");
    }
    void TearDown() override
    {
        if (second)
            descriptor->cleanup(second);
        if (ui)
            descriptor->cleanup(ui);
        if (display) {
            XDestroyWindow(display, parent);
            XCloseDisplay(display);
        }
    }

    LV2UI_Handle instantiate(bool instanceAccess = true, bool withParent = true)
    {
        resize = {this, [](LV2UI_Feature_Handle self, int width, int height) {
                      static_cast<Lv2Editor*>(self)->size = {width, height};
                      return 0;
                  }};
        const LV2_Feature parentFeature{LV2_UI__parent, reinterpret_cast<void*>(parent)};
        const LV2_Feature instanceFeature{LV2_INSTANCE_ACCESS_URI, lv2.instanceHandle()};
        const LV2_Feature resizeFeature{LV2_UI__resize, &resize};
        std::vector<const LV2_Feature*> features = {&resizeFeature};
        if (withParent)
            features.push_back(&parentFeature);
        if (instanceAccess)
            features.push_back(&instanceFeature);
        features.push_back(nullptr);
        widget = nullptr;
        return descriptor->instantiate(descriptor, kUri, testpaths::lv2Bundle, recordWrite, this, &widget,
                                       features.data());
    }
    static void recordWrite(LV2UI_Controller self, uint32_t port, uint32_t size, uint32_t protocol, const void* buffer)
    {
        float value = 0;
        if (size == sizeof value)
            std::memcpy(&value, buffer, sizeof value);
        static_cast<Lv2Editor*>(self)->writes.push_back({port, size, protocol, value});
    }
    // The host's idle calls, until done says so (the editor's connection
    // hears of input a moment after the server handled it).
    template <class Done> bool idleUntil(Done done)
    {
        const auto* idle = static_cast<const LV2UI_Idle_Interface*>(descriptor->extension_data(LV2_UI__idleInterface));
        for (int round = 0; round < 500 && !done(); ++round) {
            XSync(display, False);
            for (LV2UI_Handle open : {ui, second}) {
                if (open) {
                    EXPECT_EQ(idle->idle(open), 0);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        return done();
    }
    void click(int x, int y)
    {
        XTestFakeMotionEvent(display, -1, kParentX + x, kParentY + y, CurrentTime);
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        XSync(display, False);
    }

    Display* display = nullptr;
    Window parent = 0;
    Lv2Host lv2;
    DynamicLibrary library;
    const LV2UI_Descriptor* descriptor = nullptr;
    LV2UI_Handle ui = nullptr;
    LV2UI_Handle second = nullptr;  // a second window on the same instance
    LV2UI_Widget widget = nullptr;
    LV2UI_Resize resize{};
    std::pair<int, int> size{0, 0};
    std::vector<Write> writes;
};

}  // namespace

TEST_F(Lv2Editor, EmbedsInTheHostsWindowAndTellsItsSize)
{
    EXPECT_EQ(instantiate(false, true), nullptr) << "without instance-access the host shows its own controls";
    EXPECT_EQ(instantiate(true, false), nullptr) << "nothing to embed in";
    ui = instantiate();
    ASSERT_NE(ui, nullptr);
    ASSERT_NE(widget, nullptr);
    Window root = 0, up = 0;
    Window* list = nullptr;
    unsigned count = 0;
    ASSERT_TRUE(XQueryTree(display, reinterpret_cast<Window>(widget), &root, &up, &list, &count));
    if (list)
        XFree(list);
    EXPECT_EQ(up, parent) << "the widget is the editor's window, a child of the host's";
    EXPECT_EQ(size, std::make_pair(1261, 255))
        << "the panel, the extension area with its wave column, and the playing column";
    EXPECT_NE(descriptor->extension_data(LV2_UI__idleInterface), nullptr);
    EXPECT_EQ(descriptor->extension_data("urn:nothing"), nullptr);
}

TEST_F(Lv2Editor, GainReachesItsPortAndProgramChangesTellTheHost)
{
    ui = instantiate();
    ASSERT_NE(ui, nullptr);
    idleUntil([] { return false; });  // shown and painted
    // Above the thumb (a new instance's gain, 50, three quarters down): a
    // page up, 4 more.
    click(580, 100);
    ASSERT_TRUE(idleUntil([&] { return !writes.empty(); })) << "no write from the editor";
    EXPECT_EQ(writes[0].port, kGainPort);
    EXPECT_EQ(writes[0].size, sizeof(float));
    EXPECT_EQ(writes[0].protocol, 0u) << "a control port's float";
    EXPECT_EQ(writes[0].value, 54.0f);

    // The MIDI channel's "+" shows another channel's program: a program
    // change, which the host hears of at the next block.
    float left[256], right[256];
    lv2.process({}, left, right, 256);
    lv2.outputEvents.clear();
    click(92, 212);
    const auto told = [&] {
        lv2.process({}, left, right, 256);
        return std::count(lv2.outputEvents.begin(), lv2.outputEvents.end(), std::string(LV2_STATE__StateChanged)) > 0;
    };
    EXPECT_TRUE(idleUntil(told));

    descriptor->cleanup(ui);
    ui = nullptr;
    lv2.process({}, left, right, 256);  // the instance plays on without its editor
}

// A host may open two editor windows on one instance: closing either leaves
// the other's edits reaching the host's port. The window opened last lies
// on top, where the click lands while it is open.
TEST_F(Lv2Editor, EveryOpenWindowStaysConnectedWhenAnotherCloses)
{
    for (bool closeFirst : {true, false}) {
        ui = instantiate();
        second = instantiate();
        ASSERT_NE(ui, nullptr);
        ASSERT_NE(second, nullptr);
        idleUntil([] { return false; });  // both shown and painted
        LV2UI_Handle& closed = closeFirst ? ui : second;
        descriptor->cleanup(closed);
        closed = nullptr;
        writes.clear();
        click(580, 100);  // on the gain slider of the window left open, above its thumb
        ASSERT_TRUE(idleUntil([&] { return !writes.empty(); }))
            << "no write from the " << (closeFirst ? "second" : "first") << " window";
        EXPECT_EQ(writes[0].port, kGainPort);
        for (LV2UI_Handle* open : {&ui, &second})
            if (*open) {
                descriptor->cleanup(*open);
                *open = nullptr;
            }
    }
}
