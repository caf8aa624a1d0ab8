// The Linux editor as a host and a user meet it, on a virtual X display: the
// test opens PLINKA.so's editor in a top-level window of its own, idles it
// as hosts do, drives it with real X input (XTest) and the clipboard (xclip),
// and checks the effects through the plug-in interface. It also opens and
// closes the editor a thousand times, opens sixteen at once, and takes the
// parent window and the X connection away under it; and it shows the CLAP
// and VST3 builds' editors as their hosts do, for what those hosts hear of
// the edits. Screenshots land in the build folder.
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "EditorInEachBuild.h"
#include "FtiBuilder.h"
#include "PluginUnderTest.h"
#include "TestPaths.h"
#include "engine/ChannelKinds.h"
#include "instrument/Parameters.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <cairo.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

enum { Volume, Arp, Pitch, HiPitch, Duty };

// The editor's size: the panel, the extension area beside it with its wave
// column, and the playing column.
constexpr int kWidth = 1261, kHeight = 255;

// Where the controls are, from the editor's top left corner: the panel's, then
// the extension area's.
struct Point {
    int x, y;
};
constexpr Point kPulse{110, 182}, kTriangle{175, 182}, kNoise{240, 182}, kMulti{330, 182}, kNtsc{420, 182},
    kPal{485, 182}, kChannelUp{92, 212}, kChannelDown{122, 212}, kVoicesUp{262, 212}, kVoicesDown{292, 212};
constexpr Point kSample{650, 22}, kVrc6Pulse{650, 52}, kVrc6Saw{650, 82}, kS5b{650, 112}, kMmc5Pulse{650, 142},
    kFds{745, 22}, kN163{745, 52}, kVrc7{745, 82}, kControllers{697, 182}, kConsole{697, 212}, kN163Channels{697, 242},
    kPreviousWave{812, 22}, kNextWave{1043, 22};
// The playing column: the mono button, the glide's and the tempo steps' fields.
constexpr Point kMono{1158, 22}, kGlide{1210, 52}, kTempoSteps{1210, 82};
// The console button's face, its label inside.
constexpr int kConsoleLeft = 606, kConsoleTop = 201, kConsoleWidth = 183, kConsoleHeight = 22;
// The displays and the status line.
constexpr int kDisplayTop = 204, kStatusTop = 234;
Point field(int kind, int x = 300)
{
    return {x, 22 + 30 * kind};
}
constexpr int kSliderX = 580;
constexpr int kSliderTop = 10;      // the thumb's centre at position 0
constexpr int kSliderBottom = 190;  // and at 200
// The thumb's centre at a new instance's gain, 50 (the slider shows 200 less
// the gain).
constexpr int kNewThumb = kSliderTop + (kSliderBottom - kSliderTop) * (200 - 50) / 200;

constexpr unsigned long kFace = 0xF0F0F0;
constexpr unsigned long kSelected = 0xA0A0A0;
constexpr unsigned long kYellow = 0xFFFF80;
constexpr unsigned long kWhite = 0xFFFFFF;

// Longer than a double click, so that the next click on the same button counts.
constexpr auto kPastDoubleClick = std::chrono::milliseconds(600);

void* asParent(Window window)
{
    return reinterpret_cast<void*>(static_cast<uintptr_t>(window));
}

size_t openFiles()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

long residentKilobytes()
{
    long pages = 0, resident = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int hostErrors = 0;
int countHostError(Display*, XErrorEvent*)
{
    ++hostErrors;
    return 0;
}

class LinuxEditor : public LoadedPlugin {
protected:
    void SetUp() override
    {
        LoadedPlugin::SetUp();
        ASSERT_TRUE(effect().flags & effFlagsHasEditor);
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr) << "no X display: run under xvfb-run";
        hostWindow = makeHostWindow();
        ASSERT_EQ(dispatch(effEditOpen, 0, 0, asParent(hostWindow)), 1);
        editorWindow = onlyChild(hostWindow);
        ASSERT_NE(editorWindow, 0u);
        pump();
    }
    void TearDown() override
    {
        dispatch(effEditClose);
        if (display) {
            if (hostWindow)
                XDestroyWindow(display, hostWindow);
            XCloseDisplay(display);
        }
    }

    // A top-level window as a host makes for a plug-in's editor.
    Window makeHostWindow(int x = 20, int y = 20)
    {
        const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), x, y, kWidth, kHeight, 0, 0, 0);
        XMapWindow(display, window);
        XSync(display, False);
        return window;
    }
    std::vector<Window> children(Window parent)
    {
        Window root = 0, up = 0;
        Window* list = nullptr;
        unsigned count = 0;
        std::vector<Window> out;
        if (XQueryTree(display, parent, &root, &up, &list, &count)) {
            out.assign(list, list + count);
            XFree(list);
        }
        return out;
    }
    Window onlyChild(Window parent)
    {
        const std::vector<Window> list = children(parent);
        return list.size() == 1 ? list[0] : 0;
    }
    // The host's idle timer, a few rounds: events reach the editor's own
    // connection a moment after the server handled them.
    void pump(int rounds = 6)
    {
        for (int i = 0; i < rounds; ++i) {
            XSync(display, False);
            idle();
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }
    // What the host does for the editor on its timer.
    virtual void idle() { dispatch(effEditIdle); }
    void moveTo(Point p) { XTestFakeMotionEvent(display, -1, 20 + p.x, 20 + p.y, CurrentTime); }
    void click(Point p, unsigned button = 1)
    {
        moveTo(p);
        XTestFakeButtonEvent(display, button, True, CurrentTime);
        XTestFakeButtonEvent(display, button, False, CurrentTime);
        pump();
    }
    void drag(Point from, Point to)
    {
        moveTo(from);
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        pump(2);
        for (int step = 1; step <= 8; ++step) {
            moveTo({from.x + (to.x - from.x) * step / 8, from.y + (to.y - from.y) * step / 8});
            pump(1);
        }
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        pump();
    }
    // A press, one motion and the release: a drag as fast as it gets.
    void drawLine(Point from, Point to)
    {
        moveTo(from);
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        pump(2);
        moveTo(to);
        pump(2);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
        pump();
    }
    void key(KeySym symbol, unsigned modifiers = 0)
    {
        const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
        const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
        if (modifiers & ShiftMask)
            XTestFakeKeyEvent(display, shift, True, CurrentTime);
        if (modifiers & ControlMask)
            XTestFakeKeyEvent(display, control, True, CurrentTime);
        const KeyCode code = XKeysymToKeycode(display, symbol);
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        XTestFakeKeyEvent(display, code, False, CurrentTime);
        if (modifiers & ControlMask)
            XTestFakeKeyEvent(display, control, False, CurrentTime);
        if (modifiers & ShiftMask)
            XTestFakeKeyEvent(display, shift, False, CurrentTime);
        pump(1);
    }
    // Printable ASCII, whose keysyms are their codes.
    void type(const std::string& text)
    {
        for (char c : text) {
            const auto symbol = static_cast<KeySym>(static_cast<unsigned char>(c));
            const KeyCode code = XKeysymToKeycode(display, symbol);
            key(symbol, XkbKeycodeToKeysym(display, code, 0, 0) == symbol ? 0 : ShiftMask);
        }
        pump();
    }
    // A field's whole text replaced, as a user does it.
    void retype(int kind, const std::string& text)
    {
        click(field(kind));
        key(XK_a, ControlMask);
        if (text.empty())
            key(XK_Delete);
        else
            type(text);
    }
    // A shell command's output, the editor idled meanwhile (it may be the
    // selection owner the command asks).
    std::string outputWhileIdling(const std::string& command)
    {
        auto result = std::async(std::launch::async, [command] {
            std::string out;
            if (FILE* pipe = popen(command.c_str(), "r")) {
                char buffer[256];
                size_t n;
                while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
                    out.append(buffer, n);
                pclose(pipe);
            }
            return out;
        });
        while (result.wait_for(std::chrono::milliseconds(5)) != std::future_status::ready)
            pump(1);
        return result.get();
    }
    // xclip owns a selection and answers one request. It takes the selection
    // in a background process of its own, after the command has returned.
    void offer(const char* selection, const char* atomName, const std::string& text)
    {
        const Atom atom = XInternAtom(display, atomName, False);
        outputWhileIdling("printf '%s' '" + text + "' | xclip -l 1 -selection " + selection + " -i >/dev/null 2>&1");
        for (int i = 0; i < 2000 && XGetSelectionOwner(display, atom) == editorWindow; ++i)
            pump(1);
    }
    void offerClipboard(const std::string& text) { offer("clipboard", "CLIPBOARD", text); }
    void offerPrimary(const std::string& text) { offer("primary", "PRIMARY", text); }

    // Another program dragging a URI list over the editor and dropping it,
    // as file managers do: XDND version 5 with its types in XdndTypeList.
    void dropUriList(const std::string& uriList)
    {
        auto atom = [&](const char* name) { return XInternAtom(display, name, False); };
        const Atom uriType = atom("text/uri-list"), copy = atom("XdndActionCopy"), selection = atom("XdndSelection");
        Atom type = None;
        int format = 0;
        unsigned long count = 0, remaining = 0;
        unsigned char* data = nullptr;
        ASSERT_EQ(XGetWindowProperty(display, editorWindow, atom("XdndAware"), 0, 1, False, XA_ATOM, &type, &format,
                                     &count, &remaining, &data),
                  Success);
        ASSERT_EQ(count, 1u);
        EXPECT_EQ(reinterpret_cast<long*>(data)[0], 5) << "XDND version 5";
        XFree(data);

        const Window source = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        const Atom types[] = {atom("text/plain"), atom("UTF8_STRING"), atom("STRING"), uriType};
        XChangeProperty(display, source, atom("XdndTypeList"), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(types), 4);
        XSetSelectionOwner(display, selection, source, CurrentTime);
        auto send = [&](const char* message, long l1, long l2, long l3, long l4) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = editorWindow;
            event.xclient.message_type = atom(message);
            event.xclient.format = 32;
            event.xclient.data.l[0] = static_cast<long>(source);
            event.xclient.data.l[1] = l1;
            event.xclient.data.l[2] = l2;
            event.xclient.data.l[3] = l3;
            event.xclient.data.l[4] = l4;
            XSendEvent(display, editorWindow, False, NoEventMask, &event);
            pump();
        };
        // The source's next event of a type, the editor idled meanwhile.
        auto awaitEvent = [&](int eventType, XEvent& event) {
            for (int i = 0; i < 2000; ++i) {
                if (XCheckTypedWindowEvent(display, source, eventType, &event))
                    return true;
                pump(1);
            }
            return false;
        };

        send("XdndEnter", 5L << 24 | 1, 0, 0, 0);  // more than three types: see XdndTypeList
        send("XdndPosition", 0, (20 + 300) << 16 | (20 + 100), CurrentTime, static_cast<long>(copy));
        XEvent status{};
        ASSERT_TRUE(awaitEvent(ClientMessage, status));
        EXPECT_EQ(status.xclient.message_type, atom("XdndStatus"));
        EXPECT_EQ(static_cast<Window>(status.xclient.data.l[0]), editorWindow);
        EXPECT_EQ(status.xclient.data.l[1] & 1, 1) << "accepted";
        EXPECT_EQ(static_cast<Atom>(status.xclient.data.l[4]), copy);

        send("XdndDrop", 0, CurrentTime, 0, 0);
        XEvent request{};
        ASSERT_TRUE(awaitEvent(SelectionRequest, request));
        ASSERT_EQ(request.xselectionrequest.target, uriType);
        XChangeProperty(display, request.xselectionrequest.requestor, request.xselectionrequest.property, uriType, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(uriList.data()),
                        static_cast<int>(uriList.size()));
        XEvent reply{};
        reply.xselection.type = SelectionNotify;
        reply.xselection.requestor = request.xselectionrequest.requestor;
        reply.xselection.selection = selection;
        reply.xselection.target = uriType;
        reply.xselection.property = request.xselectionrequest.property;
        reply.xselection.time = request.xselectionrequest.time;
        XSendEvent(display, request.xselectionrequest.requestor, False, NoEventMask, &reply);
        XEvent finished{};
        ASSERT_TRUE(awaitEvent(ClientMessage, finished));
        EXPECT_EQ(finished.xclient.message_type, atom("XdndFinished"));
        EXPECT_EQ(finished.xclient.data.l[1] & 1, 1) << "the drop was taken";
        EXPECT_EQ(static_cast<Atom>(finished.xclient.data.l[2]), copy);
        XDestroyWindow(display, source);
    }

    std::vector<float> chunk() { return cells::of(host.getChunk()); }
    int32_t ntsc() { return cells::settingOf(chunk(), cells::ntsc); }
    int32_t gain() { return cells::settingOf(chunk(), cells::gain); }
    int32_t channelType0() { return static_cast<int32_t>(chunk()[21]); }
    int32_t multi0() { return static_cast<int32_t>(chunk()[23]); }
    std::string programText(int program, int kind) { return cells::programTextOf(chunk(), program, kind); }
    std::vector<int32_t> playingOf(int program) { return cells::playingOf(chunk(), program); }

    // 0xRRGGBB of the editor's pixels.
    std::vector<unsigned long> pixels(int x, int y, int width, int height)
    {
        pump(2);
        std::vector<unsigned long> out;
        XImage* image = XGetImage(display, editorWindow, x, y, width, height, AllPlanes, ZPixmap);
        if (!image)
            return out;
        for (int row = 0; row < height; ++row)
            for (int column = 0; column < width; ++column)
                out.push_back(XGetPixel(image, column, row) & 0xFFFFFF);
        XDestroyImage(image);
        return out;
    }
    unsigned long pixel(int x, int y) { return pixels(x, y, 1, 1).at(0); }
    bool hasColour(int x, int y, int width, int height, unsigned long colour)
    {
        for (unsigned long p : pixels(x, y, width, height))
            if (p == colour)
                return true;
        return false;
    }
    void screenshot(const char* name)
    {
        const std::vector<unsigned long> shot = pixels(0, 0, kWidth, kHeight);
        ASSERT_EQ(shot.size(), static_cast<size_t>(kWidth * kHeight));
        cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, kWidth, kHeight);
        unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                reinterpret_cast<uint32_t*>(data + y * stride)[x] = static_cast<uint32_t>(shot[y * kWidth + x]);
        cairo_surface_mark_dirty(surface);
        EXPECT_EQ(cairo_surface_write_to_png(surface, (std::string(testpaths::binaryDir) + "/" + name).c_str()),
                  CAIRO_STATUS_SUCCESS);
        cairo_surface_destroy(surface);
    }

    Display* display = nullptr;
    Window hostWindow = 0;
    Window editorWindow = 0;
};

}  // namespace

TEST_F(LinuxEditor, OpensAsTheHostsChildWithTheProgramShown)
{
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(display, editorWindow, &attributes));
    EXPECT_EQ(attributes.x, 0);
    EXPECT_EQ(attributes.y, 0);
    EXPECT_EQ(attributes.width, kWidth);
    EXPECT_EQ(attributes.height, kHeight);
    EXPECT_EQ(attributes.map_state, IsViewable);
    ERect* rect = nullptr;
    ASSERT_EQ(dispatch(effEditGetRect, 0, 0, &rect), 1);
    EXPECT_EQ(rect->right - rect->left, kWidth);
    EXPECT_EQ(rect->bottom - rect->top, kHeight);

    // Program 0 is a pulse in NTSC, and a new instance plays controllers:
    // those buttons highlighted, the others not.
    EXPECT_EQ(pixel(kPulse.x, kPulse.y - 9), kSelected);
    EXPECT_EQ(pixel(kNtsc.x, kNtsc.y - 9), kSelected);
    EXPECT_EQ(pixel(kControllers.x, kControllers.y - 9), kSelected);
    for (Point p : {kTriangle, kNoise, kSample, kVrc6Pulse, kVrc6Saw, kMulti, kPal, kChannelUp, kVoicesDown, kConsole})
        EXPECT_EQ(pixel(p.x, p.y - 9), kFace);
    EXPECT_EQ(pixel(field(Volume).x, field(Volume).y - 9), kWhite);
    EXPECT_FALSE(hasColour(10, 10, 60, 150, kYellow)) << "no envelope is empty";
    // The slider's thumb at a new instance's gain.
    EXPECT_EQ(pixel(kSliderX, kNewThumb), kFace);
    EXPECT_NE(pixel(kSliderX, kSliderTop), kFace) << "the groove";
    screenshot("editor-linux-new.png");
}

// The panel's controls where they have always been, the later ones beside
// it: each box's one-pixel black outline lies exactly on its edges, with no
// outline just outside them.
TEST_F(LinuxEditor, ThePanelsControlsKeepTheirPlacesAndTheLaterOnesStandBeside)
{
    struct Box {
        const char* what;
        int x, y, width, height;
    };
    const Box boxes[] = {
        {"Volume", 80, 10, 475, 25},
        {"Arp", 80, 40, 475, 25},
        {"Pitch", 80, 70, 475, 25},
        {"Hi-Pitch", 80, 100, 475, 25},
        {"Duty", 80, 130, 475, 25},
        {"Pulse", 80, 170, 60, 24},
        {"Triangle", 145, 170, 60, 24},
        {"Noise", 210, 170, 60, 24},
        {"Multi", 300, 170, 60, 24},
        {"NTSC", 390, 170, 60, 24},
        {"PAL", 455, 170, 60, 24},
        {"MIDI +", 80, 200, 25, 25},
        {"MIDI -", 110, 200, 25, 25},
        {"voices +", 250, 200, 25, 25},
        {"voices -", 280, 200, 25, 25},
        {"Sample", 605, 10, 90, 24},
        {"VRC6 Pulse", 605, 40, 90, 24},
        {"VRC6 Saw", 605, 70, 90, 24},
        {"5B", 605, 100, 90, 24},
        {"MMC5 Pulse", 605, 130, 90, 24},
        {"Controllers", 605, 170, 185, 24},
        {"Console", 605, 200, 185, 24},
        {"N163 channels", 605, 230, 185, 24},
        {"<", 800, 10, 25, 24},
        {">", 1031, 10, 25, 24},
        {"Mono", 1066, 10, 185, 24},
        {"Glide", 1176, 40, 75, 25},
        {"Tempo steps", 1176, 70, 75, 25},
    };
    for (const Box& b : boxes) {
        const int midX = b.x + b.width / 2, midY = b.y + b.height / 2;
        EXPECT_EQ(pixel(midX, b.y), 0u) << b.what << ": top";
        EXPECT_EQ(pixel(midX, b.y + b.height - 1), 0u) << b.what << ": bottom";
        EXPECT_EQ(pixel(b.x, midY), 0u) << b.what << ": left";
        EXPECT_EQ(pixel(b.x + b.width - 1, midY), 0u) << b.what << ": right";
        EXPECT_NE(pixel(midX, b.y - 1), 0u) << b.what << ": above";
        EXPECT_NE(pixel(midX, b.y + b.height), 0u) << b.what << ": below";
        EXPECT_NE(pixel(b.x - 1, midY), 0u) << b.what << ": left of it";
        EXPECT_NE(pixel(b.x + b.width, midY), 0u) << b.what << ": right of it";
    }
    // The labels, displays and status line: text in their places.
    const Box labels[] = {{"Volume:", 10, 12, 60, 25},      {"Arp:", 10, 42, 60, 25},
                          {"Pitch:", 10, 72, 60, 25},       {"Hi-Pitch:", 10, 102, 60, 25},
                          {"Duty:", 10, 132, 60, 25},       {"MIDIch", 10, 204, 70, 25},
                          {"Polyphony", 160, 204, 90, 25},  {"status", 10, 234, 575, 20},
                          {"Glide ms:", 1066, 42, 105, 25}, {"Tempo steps:", 1066, 72, 105, 25}};
    auto hasInk = [&](int x, int y, int width, int height) {
        for (unsigned long p : pixels(x, y, width, height))
            if ((p >> 16 & 0xFF) < 0x60 && (p >> 8 & 0xFF) < 0x60 && (p & 0xFF) < 0x60)
                return true;
        return false;
    };
    for (const Box& b : labels)
        EXPECT_TRUE(hasInk(b.x, b.y, b.width, b.height)) << b.what;
    EXPECT_FALSE(hasInk(0, 0, 80, 10)) << "nothing above the first row";
    EXPECT_FALSE(hasInk(0, 225, 595, 9)) << "nothing between the buttons and the status line";
    EXPECT_FALSE(hasInk(1066, 130, 195, 125)) << "the playing column under its MPE button is free";
}

// Each channel type shown with its button highlighted, the panel's three or
// one beside it, and no other; a screenshot of each.
TEST_F(LinuxEditor, EveryChannelTypeShowsItsButtonAlone)
{
    const Point buttons[] = {kPulse, kTriangle, kNoise, kSample, kVrc6Pulse, kVrc6Saw, kS5b, kMmc5Pulse, kFds, kN163,
                             kVrc7};
    static_assert(std::size(buttons) == kChannelTypeCount);
    for (int type : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}) {
        std::this_thread::sleep_for(kPastDoubleClick);
        click(buttons[type]);
        EXPECT_EQ(channelType0(), type);
        for (int other = 0; other < kChannelTypeCount; ++other)
            EXPECT_EQ(pixel(buttons[other].x, buttons[other].y - 9), other == type ? kSelected : kFace)
                << type << " shown, button " << other;
        screenshot(("editor-linux-type-" + std::string(kChannelKinds[type].word) + ".png").c_str());
    }
}

TEST_F(LinuxEditor, ButtonsChangeTheProgramAndTheStandardOnceEachClick)
{
    click(kTriangle);
    EXPECT_EQ(channelType0(), 1);
    click(kNoise);
    EXPECT_EQ(channelType0(), 2);
    const Point later[] = {kSample, kVrc6Pulse, kVrc6Saw, kS5b, kMmc5Pulse, kFds, kN163, kVrc7};
    for (int type : {3, 4, 5, 6, 7, 8, 9, 10}) {
        click(later[type - 3]);
        EXPECT_EQ(channelType0(), type);
    }
    click(kPulse);
    EXPECT_EQ(channelType0(), 0);
    click(kMulti);
    EXPECT_EQ(multi0(), 1);
    click(kMulti);
    EXPECT_EQ(multi0(), 1) << "the second click of a double click does nothing, as on Windows";
    std::this_thread::sleep_for(kPastDoubleClick);
    click(kMulti);
    EXPECT_EQ(multi0(), 0);
    click(kPal);
    EXPECT_EQ(ntsc(), 0);
    click(kNtsc);
    EXPECT_EQ(ntsc(), 1);
    click(kControllers);
    EXPECT_EQ(pixel(kControllers.x, kControllers.y - 9), kFace);
    // A press that leaves the button before its release is no click.
    drag(kTriangle, {kTriangle.x, 120});
    EXPECT_EQ(channelType0(), 0);
    std::this_thread::sleep_for(kPastDoubleClick);

    click(kTriangle);
    click(kMulti);
    click(kPal);
    EXPECT_EQ(pixel(kTriangle.x, kTriangle.y - 9), kSelected);
    EXPECT_EQ(pixel(kMulti.x, kMulti.y - 9), kSelected);
    EXPECT_EQ(pixel(kPal.x, kPal.y - 9), kSelected);
    EXPECT_EQ(pixel(kPulse.x, kPulse.y - 9), kFace);
    EXPECT_EQ(pixel(kNtsc.x, kNtsc.y - 9), kFace);
    screenshot("editor-linux-triangle-multi-pal.png");
}

TEST_F(LinuxEditor, PalAndNtscAreHeardAtOnce)
{
    click(kPal);
    host.start(44100.0f, 512);
    StereoBuffer out = host.render(22050, 512, {{0, {0xC0, 2, 0}}, {0, {0x90, 69, 100}}});
    double expected = 1662607.0 / (16.0 * 236);
    EXPECT_NEAR(frequencyOf(out.left, 4410, out.left.size(), 44100.0), expected, expected * 0.001);
    click(kNtsc);
    out = host.render(22050, 512);
    expected = 1789773.0 / (16.0 * 254);
    EXPECT_NEAR(frequencyOf(out.left, 4410, out.left.size(), 44100.0), expected, expected * 0.001);
}

TEST_F(LinuxEditor, TheConsoleButtonStepsThroughTheModesNamingEach)
{
    auto label = [&] { return pixels(kConsoleLeft, kConsoleTop, kConsoleWidth, kConsoleHeight); };
    std::vector<std::vector<unsigned long>> shown = {label()};
    for (int32_t mode : {1, 2, 3, 0}) {
        click(kConsole);
        std::this_thread::sleep_for(kPastDoubleClick);
        EXPECT_EQ(cells::settingOf(chunk(), cells::console), mode == 0 ? -1 : mode) << "off writes no cell";
        EXPECT_EQ(pixel(kConsole.x, kConsole.y - 9), mode == 0 ? kFace : kSelected) << mode;
        if (mode == 3)
            screenshot("editor-linux-console-unfiltered.png");
        shown.push_back(label());
    }
    // Each mode's label differs from the others, and Off comes back as it was.
    for (size_t a = 0; a < 4; ++a)
        for (size_t b = a + 1; b < 4; ++b)
            EXPECT_NE(shown[a], shown[b]) << a << " " << b;
    EXPECT_EQ(shown[4], shown[0]);
}

TEST_F(LinuxEditor, ChannelAndPolyphonyStepWithWrapAround)
{
    host.setChunk(cells::Builder().cell(cells::channelPrograms).number(0).number(6).number(3).bytes());
    pump();
    const std::vector<unsigned long> channelOne = pixels(10, kDisplayTop, 70, 20);
    host.clearCalls();
    click(kChannelUp);
    click(kChannelUp);
    EXPECT_EQ(dispatch(effGetProgram), 6) << "channel 2: one step, the second click was a double click";
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
    click(kChannelDown);
    EXPECT_EQ(dispatch(effGetProgram), 0);
    EXPECT_EQ(pixels(10, kDisplayTop, 70, 20), channelOne);
    std::this_thread::sleep_for(kPastDoubleClick);
    click(kChannelDown);
    EXPECT_NE(pixels(10, kDisplayTop, 70, 20), channelOne) << "channel 16";
    click(kChannelUp);
    EXPECT_EQ(pixels(10, kDisplayTop, 70, 20), channelOne);

    const std::vector<unsigned long> eightVoices = pixels(160, kDisplayTop, 90, 20);
    click(kVoicesUp);
    EXPECT_NE(pixels(160, kDisplayTop, 90, 20), eightVoices) << "one voice";
    click(kVoicesDown);
    EXPECT_EQ(pixels(160, kDisplayTop, 90, 20), eightVoices);
}

TEST_F(LinuxEditor, TypingSelectingAndTheClipboard)
{
    retype(Arp, "12 0 7");
    EXPECT_EQ(programText(0, Arp), "12 0 7");
    key(XK_Left);
    key(XK_BackSpace);
    type(" 5 |");
    EXPECT_EQ(programText(0, Arp), "12 0 5 |7");
    key(XK_Home, ShiftMask);
    key(XK_Right, ShiftMask);  // the caret moves, the anchor stays after the "|"
    type("3");
    EXPECT_EQ(programText(0, Arp), "137") << "typing replaced the selection";
    key(XK_Delete);
    key(XK_Home);
    key(XK_Delete);
    EXPECT_EQ(programText(0, Arp), "3");

    // Tab goes to the next field with its text selected; Shift+Tab back.
    key(XK_Tab);
    type("1 2");
    EXPECT_EQ(programText(0, Pitch), "1 2");
    key(XK_Tab, ShiftMask);
    type("0");
    EXPECT_EQ(programText(0, Arp), "0");

    // Copy a double-clicked word to the clipboard; another program reads it.
    retype(Volume, "15 14 13 12");
    const Point word = field(Volume, 80 + 3 + 30);  // inside "14"
    moveTo(word);
    for (int i = 0; i < 2; ++i) {
        XTestFakeButtonEvent(display, 1, True, CurrentTime);
        XTestFakeButtonEvent(display, 1, False, CurrentTime);
    }
    pump();
    key(XK_c, ControlMask);
    EXPECT_EQ(outputWhileIdling("xclip -selection clipboard -o"), "14");
    EXPECT_EQ(outputWhileIdling("xclip -selection primary -o"), "14") << "a selection is PRIMARY too";
    // Cut and paste within the field.
    key(XK_x, ControlMask);
    key(XK_End);
    key(XK_v, ControlMask);
    EXPECT_EQ(programText(0, Volume), "15  13 1214");

    // Paste what another program put on the clipboard, and middle-click PRIMARY.
    offerClipboard("3 4 5");
    click(field(HiPitch));
    key(XK_a, ControlMask);
    key(XK_v, ControlMask);
    pump(20);
    EXPECT_EQ(programText(0, HiPitch), "3 4 5");
    offerPrimary("9");
    click(field(HiPitch, 500), 2);
    pump(20);
    EXPECT_EQ(programText(0, HiPitch), "3 4 59");

    // Drag across a field to select: the typed text replaces the selection.
    retype(Duty, "0 1 2 3");
    drag(field(Duty, 83), field(Duty, 400));
    type("2");
    EXPECT_EQ(programText(0, Duty), "2");
}

TEST_F(LinuxEditor, TheStatusShowsTheFirstErrorAndAnEmptyEnvelopesLabelIsYellow)
{
    auto status = [&] { return pixels(10, kStatusTop, 575, 20); };
    const std::vector<unsigned long> ok = status();
    retype(Duty, "");
    EXPECT_EQ(programText(0, Duty), "");
    EXPECT_TRUE(hasColour(10, 132, 60, 25, kYellow)) << "Duty's label";
    EXPECT_FALSE(hasColour(10, 12, 60, 115, kYellow));
    retype(Pitch, "1|");
    EXPECT_EQ(programText(0, Pitch), "1|");
    EXPECT_TRUE(hasColour(10, 72, 60, 25, kYellow)) << "so is one that failed";
    EXPECT_NE(status(), ok);
    screenshot("editor-linux-error.png");

    retype(Pitch, "1 |");
    retype(Duty, "2");
    EXPECT_EQ(status(), ok) << "OK again";
    EXPECT_FALSE(hasColour(10, 12, 60, 145, kYellow));
}

// The playing column: the mono button steps through the modes, the glide
// and tempo steps fields store what is in range and leave the rest typed with
// the reason in the status line, and another program shows its own.
TEST_F(LinuxEditor, ThePlayingColumnStepsMonoAndTakesGlideAndTempoSteps)
{
    auto status = [&] { return pixels(10, kStatusTop, 575, 20); };
    auto glideShown = [&] { return pixels(1177, 41, 73, 23); };
    const std::vector<unsigned long> ok = status(), glideZero = glideShown();
    EXPECT_EQ(pixel(kMono.x, kMono.y - 9), kFace);
    click(kMono);
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{1, 0, 0}));
    EXPECT_EQ(pixel(kMono.x, kMono.y - 9), kSelected);
    std::this_thread::sleep_for(kPastDoubleClick);
    click(kMono);
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 0, 0})) << "legato";

    click(kGlide);
    key(XK_a, ControlMask);
    type("250");
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 0}));
    type("x");
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 0})) << "no number";
    EXPECT_NE(status(), ok);
    key(XK_BackSpace);
    pump();
    EXPECT_EQ(status(), ok);
    // Tab goes on from the glide to the tempo steps, "off" selected.
    key(XK_Tab);
    type("12");
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 12}));
    type("0");
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 12})) << "120 steps a quarter note are too many";
    EXPECT_NE(status(), ok);
    screenshot("editor-linux-playing.png");
    key(XK_BackSpace);
    pump();
    EXPECT_EQ(status(), ok);

    // Channel 2 plays program 6, whose tempo steps come with a loaded song
    // (mono off, no glide); then back to program 0, as it was left.
    cells::Builder song;
    song.cell(cells::channelPrograms).number(0).number(6);
    for (int channel = 2; channel < 16; ++channel)
        song.number(0);
    song.cell(cells::playing).number(6).number(0).number(0).number(24);
    host.setChunk(song.bytes());
    pump();
    click(kChannelUp);
    EXPECT_EQ(dispatch(effGetProgram), 6);
    EXPECT_EQ(pixel(kMono.x, kMono.y - 9), kFace);
    EXPECT_EQ(glideShown(), glideZero) << "program 6's glide: 0";
    click(kGlide);
    key(XK_a, ControlMask);
    type("5");
    EXPECT_EQ(playingOf(6), (std::vector<int32_t>{0, 5, 24}));
    click(kChannelDown);
    EXPECT_EQ(pixel(kMono.x, kMono.y - 9), kSelected);
    EXPECT_NE(glideShown(), glideZero);
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 12}));
}

// A Sample program's Duty row is its Keys field: typing there edits the key
// map and leaves the Duty envelope as it was; the label is yellow while no
// key sounds. Back on Pulse, the row is Duty again.
TEST_F(LinuxEditor, ASampleProgramsDutyRowIsItsKeyMap)
{
    const std::string duty = programText(0, Duty);
    click(kSample);
    EXPECT_EQ(channelType0(), 3);
    retype(Duty, "36=kick:15 C#2=kick:3:loop");
    EXPECT_EQ(cells::keyMapTextOf(chunk(), 0), "36=kick:15 C#2=kick:3:loop");
    EXPECT_EQ(programText(0, Duty), duty);
    EXPECT_TRUE(hasColour(10, 132, 60, 25, kYellow)) << "no sample named kick: no key sounds";
    screenshot("editor-linux-sample.png");

    click(kPulse);
    retype(Duty, "1");
    EXPECT_EQ(programText(0, Duty), "1");
    EXPECT_EQ(cells::keyMapTextOf(chunk(), 0), "36=kick:15 C#2=kick:3:loop");
}

// The wave area, from the editor's top left corner: four columns a step and
// three rows a value for FDS, 64 columns and twelve rows for a 4-sample N163
// wave; value 0 on the bottom rows.
constexpr int kWaveLeft = 800, kWaveTop = 40, kWaveWidth = 256, kWaveHeight = 192;
constexpr unsigned long kWaveBar = 0x0078D7;
Point wavePoint(int step, int steps, int value, int levels)
{
    const int columns = kWaveWidth / steps, rows = kWaveHeight / levels;
    return {kWaveLeft + columns * step + columns / 2, kWaveTop + kWaveHeight - 1 - rows * value - rows / 2};
}

// A drag through the window draws an FDS program's wave: the steps it
// crosses, those between two motions too, take the values under the
// pointer; the text and the bars show it.
TEST_F(LinuxEditor, ADragOnTheWaveAreaDrawsExactlyTheStepsItCrosses)
{
    EXPECT_FALSE(hasColour(kWaveLeft, kWaveTop, kWaveWidth, kWaveHeight, kWhite)) << "no wave for a pulse";
    click(kFds);
    std::string ramp;
    for (int step = 0; step < 64; ++step)
        ramp += std::to_string(step) + (step < 63 ? " " : "");
    retype(Duty, ramp);
    ASSERT_EQ(cells::waveTextOf(chunk(), 0), ramp);
    EXPECT_EQ(programText(0, Duty), "0") << "the duty envelope is kept";

    // Pressed on step 10 at 50, then one motion to step 20 at 30: the steps
    // between lie on the line.
    drawLine(wavePoint(10, 64, 50, 64), wavePoint(20, 64, 30, 64));
    std::vector<int> expected(64);
    for (int step = 0; step < 64; ++step)
        expected[step] = step;
    for (int step = 10; step <= 20; ++step)
        expected[step] = 50 - 2 * (step - 10);
    EXPECT_EQ(cells::waveNumbersOf(chunk(), 0), expected);
    // Each bar reaches its value's rows and no further.
    for (int step = 0; step < 64; step += 3) {
        const int x = kWaveLeft + 4 * step + 2, top = kWaveTop + kWaveHeight - 3 * (expected[step] + 1);
        EXPECT_EQ(pixel(x, top), kWaveBar) << step;
        EXPECT_EQ(pixel(x, top - 1), expected[step] == 63 ? 0u : kWhite) << step;
    }
    screenshot("editor-linux-fds.png");

    // Dragged beyond the area, the line snaps to its edge and the chip's range.
    drag(wavePoint(60, 64, 0, 64), {kWaveLeft + kWaveWidth + 40, kWaveTop - 60});
    const std::vector<int> snapped = cells::waveNumbersOf(chunk(), 0);
    ASSERT_EQ(snapped.size(), 64u);
    EXPECT_EQ(snapped[60], 0);
    EXPECT_EQ(snapped[63], 63);
}

// An N163 program's waves, chosen with "<" and ">", drawn one at a time.
TEST_F(LinuxEditor, TheArrowsChooseTheN163WaveDrawn)
{
    click(kN163);
    retype(Duty, "0 1 2 3 ; 4 5 6 7");
    click(kNextWave);
    drawLine(wavePoint(1, 4, 15, 16), wavePoint(2, 4, 0, 16));
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), "0 1 2 3 ; 4 15 0 7");
    // The second wave's bars: 4, 15, 0, 7.
    EXPECT_EQ(pixel(wavePoint(1, 4, 15, 16).x, kWaveTop), kWaveBar);
    EXPECT_EQ(pixel(wavePoint(2, 4, 0, 16).x, kWaveTop + kWaveHeight - 13), kWhite);
    EXPECT_EQ(pixel(wavePoint(2, 4, 0, 16).x, kWaveTop + kWaveHeight - 12), kWaveBar);
    screenshot("editor-linux-n163.png");
    std::this_thread::sleep_for(kPastDoubleClick);
    click(kPreviousWave);
    drawLine(wavePoint(0, 4, 9, 16), wavePoint(0, 4, 9, 16));
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), "9 1 2 3 ; 4 15 0 7");
}

// A VRC7 program's patch, chosen by name with "<" and ">".
TEST_F(LinuxEditor, TheArrowsChooseAVrc7PatchByName)
{
    click(kVrc7);
    retype(Duty, "patch 14");
    click(kNextWave);
    std::this_thread::sleep_for(kPastDoubleClick);
    click(kNextWave);
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), "patch custom custom 21 72 0D 00 C1 D5 56 06") << "patch 15's bytes";
    screenshot("editor-linux-vrc7.png");
    click(kPreviousWave);
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), "patch 15 custom 21 72 0D 00 C1 D5 56 06");
}

TEST_F(LinuxEditor, GainSliderDraggedAndClickedUpsideDown)
{
    drag({kSliderX, kNewThumb}, {kSliderX, -30});
    EXPECT_EQ(gain(), 200);
    drag({kSliderX, kSliderTop}, {kSliderX, kSliderTop + 45});
    EXPECT_EQ(gain(), 150) << "a quarter of the way down";
    click({kSliderX, kSliderBottom - 5});
    EXPECT_EQ(gain(), 146) << "a click below the thumb pages by 4";
    drag({kSliderX, kSliderTop + 45}, {kSliderX, 400});
    EXPECT_EQ(gain(), 0);
    EXPECT_EQ(pixel(kSliderX, kSliderBottom), kFace) << "the thumb at the bottom";

    host.start(44100.0f, 512);
    const StereoBuffer out = host.render(8820, 512, {{0, {0x90, 60, 127}}});
    EXPECT_EQ(lastSound(out.left), -1) << "gain 0 is silence";
    host.setChunk(cells::Builder().cell(cells::gain).number(200).bytes());
    pump();
    EXPECT_EQ(pixel(kSliderX, kSliderTop), kFace) << "a loaded gain moves the thumb";
}

TEST_F(LinuxEditor, OpenedAndClosedAThousandTimesWithoutGrowth)
{
    auto cycle = [&] {
        ASSERT_EQ(dispatch(effEditOpen, 0, 0, asParent(hostWindow)), 1);
        dispatch(effEditIdle);
        dispatch(effEditClose);
    };
    dispatch(effEditClose);
    for (int i = 0; i < 50; ++i)
        cycle();
    const size_t files = openFiles();
    const long before = residentKilobytes();
    for (int i = 0; i < 1000; ++i)
        cycle();
    const long grown = residentKilobytes() - before;
    std::printf("    resident memory after 1000 more opens: %+ld kB\n", grown);
    EXPECT_EQ(openFiles(), files) << "a connection left open";
#ifndef __SANITIZE_ADDRESS__  // its quarantine holds freed memory; its leak check counts instead
    EXPECT_LT(grown, 1024);
#endif
    EXPECT_TRUE(children(hostWindow).empty());
    ASSERT_EQ(dispatch(effEditOpen, 0, 0, asParent(hostWindow)), 1);
    editorWindow = onlyChild(hostWindow);
    click(kTriangle);
    EXPECT_EQ(channelType0(), 1) << "and it still works";
}

TEST_F(LinuxEditor, SixteenInstancesWithEditorsOpenAtOnce)
{
    const size_t files = openFiles();
    std::vector<std::unique_ptr<PluginHost>> others;
    std::vector<Window> windows;
    for (int i = 0; i < 16; ++i) {
        others.push_back(std::make_unique<PluginHost>());
        ASSERT_TRUE(others.back()->load(pluginUnderTest()));
        windows.push_back(makeHostWindow(0, 300 + 20 * i));
        ASSERT_EQ(others.back()->dispatch(effEditOpen, 0, 0, asParent(windows.back())), 1);
    }
    for (int round = 0; round < 5; ++round)
        for (auto& other : others)
            other->dispatch(effEditIdle);
    for (Window w : windows)
        EXPECT_EQ(children(w).size(), 1u);
    // Ours still answers among them.
    click(kNoise);
    EXPECT_EQ(channelType0(), 2);
    for (auto& other : others)
        other->dispatch(effEditClose);
    others.clear();
    for (Window w : windows)
        XDestroyWindow(display, w);
    XSync(display, False);
    EXPECT_EQ(openFiles(), files);
}

TEST_F(LinuxEditor, TheHostDestroyingTheParentFirstHarmsNeitherAndTheHostsErrorsStillReachIt)
{
    // The host's own error handler, installed before the editor opens.
    dispatch(effEditClose);
    const XErrorHandler before = XSetErrorHandler(countHostError);
    ASSERT_EQ(dispatch(effEditOpen, 0, 0, asParent(hostWindow)), 1);
    hostErrors = 0;
    XMapWindow(display, 0x7FFFFFF);  // no such window: an error of the host's connection
    XSync(display, False);
    EXPECT_EQ(hostErrors, 1) << "passed on to the host's handler";

    // Parent gone, then the editor idled and closed: its requests on the
    // dead window are errors of its own connection.
    XDestroyWindow(display, hostWindow);
    XSync(display, False);
    pump();
    dispatch(effEditClose);
    // Parent gone with no idle in between: close destroys a window already gone.
    hostWindow = makeHostWindow();
    ASSERT_EQ(dispatch(effEditOpen, 0, 0, asParent(hostWindow)), 1);
    XDestroyWindow(display, hostWindow);
    XSync(display, False);
    dispatch(effEditClose);
    EXPECT_EQ(hostErrors, 1) << "none of the editor's errors";
    EXPECT_EQ(XSetErrorHandler(before), countHostError) << "the host's handler back in place";
    hostWindow = makeHostWindow();
    EXPECT_EQ(dispatch(effEditOpen, 0, 0, asParent(0)), 0) << "no parent";
    EXPECT_EQ(dispatch(effEditOpen, 0, 0, asParent(0x7FFFFFF)), 0) << "a parent that does not exist";
    EXPECT_EQ(dispatch(effEditOpen, 0, 0, asParent(hostWindow)), 1);
}

// Hosts hand the VST3 view its frame before attaching it or after: the
// editor's timer runs on the frame's run loop either way, and stops with
// the view.
TEST_F(LinuxEditor, TheVst3ViewIdlesWhicheverOrderItsFrameAndWindowCome)
{
    for (bool frameAfter : {false, true}) {
        SCOPED_TRACE(frameAfter ? "frame after attaching" : "frame first");
        Vst3Host vst3;
        vst3.framesAfterAttaching = frameAfter;
        ASSERT_TRUE(vst3.load(testpaths::vst3Bundle)) << vst3.error();
        const Window parent = makeHostWindow(40, 40);
        ASSERT_TRUE(vst3.openEditor(asParent(parent)));
        EXPECT_EQ(vst3.editorTimers(), 1u);
        vst3.idleEditor();
        vst3.closeEditor();
        EXPECT_EQ(vst3.editorTimers(), 0u);
        XDestroyWindow(display, parent);
        XSync(display, False);
    }
}

TEST_F(LinuxEditor, ABrokenConnectionNeverEndsTheHost)
{
    // The server drops the editor's connection, as when it dies.
    XKillClient(display, editorWindow);
    XSync(display, False);
    pump();
    pump();
    dispatch(effEditClose);
    ASSERT_EQ(dispatch(effEditOpen, 0, 0, asParent(hostWindow)), 1);
    editorWindow = onlyChild(hostWindow);
    click(kNoise);
    EXPECT_EQ(channelType0(), 2) << "a new connection at the next open";
}

TEST_F(LinuxEditor, ATrackerInstrumentDroppedFromAnotherProgramFillsTheShownProgram)
{
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("plinka x11 drop " + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    ftitest::FtiBuilder file;
    file.name = "Dropped";
    file.sequences[Volume] = ftitest::seq({15, 8, 0}, -1, 1);
    file.sequences[Duty] = ftitest::seq({1});
    const std::vector<unsigned char> bytes = file.bytes();
    std::ofstream(folder / "x 1.fti", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    // The space %-encoded, as sources do; a comment and a web address around it.
    std::string uriList = "# dragged\r\nhttp://example.org/a.fti\r\nfile://";
    for (const char c : (folder / "x 1.fti").string())
        uriList += c == ' ' ? std::string("%20") : std::string(1, c);
    uriList += "\r\n";

    dropUriList(uriList);

    EXPECT_EQ(programText(0, Volume), "15 8 / 0");
    EXPECT_EQ(programText(0, Duty), "1");
    char name[64] = {};
    dispatch(effGetProgramName, 0, 0, name);
    EXPECT_STREQ(name, "Dropped");
    std::filesystem::remove_all(folder);
}

// ---- the editor in each build, as its host shows it ----

namespace {

class EachBuildsEditor : public LinuxEditor, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        LinuxEditor::SetUp();
        if (build.isVst2())
            return;
        dispatch(effEditClose);
        build.open(asParent(hostWindow));
        editorWindow = onlyChild(hostWindow);
        ASSERT_NE(editorWindow, 0u);
        pump();
    }
    void TearDown() override
    {
        build.close();
        LinuxEditor::TearDown();
    }
    void idle() override { build.idle(); }

    EditorInEachBuild build{GetParam(), host};
};

}  // namespace

// Every edit of what the song saves tells the host once, an edit that saves
// nothing new does not, and a drag of the slider is one gesture.
TEST_P(EachBuildsEditor, EachEditOfTheSavedStateTellsTheHostOnceAndADragIsOneGesture)
{
    const std::filesystem::path fti =
        std::filesystem::temp_directory_path() / ("plinka-notices-" + std::to_string(getpid()) + ".fti");
    const std::vector<unsigned char> bytes = ftitest::FtiBuilder().bytes();
    std::ofstream(fti, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    click(field(Arp));
    key(XK_End);
    const struct {
        const char* what;
        std::function<void()> edit;
        size_t notices;
        const char* gestures;  // of the CLAP and VST3 builds
    } edits[] = {
        {"a character typed", [&] { type("1"); }, 1, ""},
        {"Triangle", [&] { click(kTriangle); }, 1, ""},
        {"Multi", [&] { click(kMulti); }, 1, ""},
        {"PAL", [&] { click(kPal); }, 1, "b1 v1 e1 "},
        {"the controllers", [&] { click(kControllers); }, 1, ""},
        {"the console mode", [&] { click(kConsole); }, 1, ""},
        {"a voice more, not saved", [&] { click(kVoicesUp); }, 0, "b2 v2 e2 "},
        {"Triangle again, no change", [&] { click(kTriangle); }, 0, ""},
        {"a slider drag",
         [&] {
             drag({kSliderX, kNewThumb}, {kSliderX, kNewThumb - 40});
         },
         1, "b0 v0+ e0 "},
        {"a wheel step on the slider",
         [&] {
             click({kSliderX, kSliderBottom}, Button4);
         },
         1, "b0 v0 e0 "},
        {"FDS", [&] { click(kFds); }, 1, ""},
        {"a wave drawn across the area",
         [&] {
             drag({820, 60}, {1000, 200});
         },
         1, ""},
        {"the N163 channel count", [&] { click(kN163Channels); }, 1, ""},
        {"the mono mode", [&] { click(kMono); }, 1, ""},
        {"a glide typed",
         [&] {
             click(kGlide);
             key(XK_End);
             type("5");
         },
         1, ""},
        {"a glide that is no number, not stored", [&] { type("x"); }, 0, ""},
        {"a tracker instrument dropped", [&] { dropUriList("file://" + fti.string() + "\r\n"); }, 1, ""},
    };
    for (const auto& e : edits) {
        build.gestures();
        const size_t before = build.notices();
        e.edit();
        EXPECT_EQ(build.notices() - before, e.notices) << e.what;
        EXPECT_EQ(build.gestures(), build.isVst2() ? "" : e.gestures) << e.what;
    }
    if (GetParam().rfind("VST3", 0) == 0) {
        EXPECT_EQ(build.vst3.programListChanges, 1) << "the dropped instrument's name";
    }
    if (GetParam() == "CLAP") {
        // Processing stops with a gesture waiting: the flush is asked for
        // from the main thread.
        click(kNtsc);
        build.clap.stop();
        EXPECT_EQ(build.clap.requests.flushOnAudioThread.load(), 0);
        build.clap.plugin()->on_main_thread(build.clap.plugin());
        EXPECT_EQ(build.clap.requests.flush.load(), 1);
    }
    std::filesystem::remove(fti);
}

// Every format's host is told the size of both areas, and the window is that size.
TEST_P(EachBuildsEditor, TheHostIsToldTheSizeOfThePanelAndTheExtensionArea)
{
    EXPECT_EQ(build.size(), std::make_pair(kWidth, kHeight));
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(display, editorWindow, &attributes));
    EXPECT_EQ(std::make_pair(attributes.width, attributes.height), std::make_pair(kWidth, kHeight));
}

INSTANTIATE_TEST_SUITE_P(Hosts, EachBuildsEditor, kEveryBuild);

// A CLAP host without the timer-support extension: the editor idles all the
// same, on the host's main thread when the host answers request_callback,
// and takes the user's clicks there.
TEST_F(LinuxEditor, TheClapEditorIdlesInAHostWithoutTimers)
{
    dispatch(effEditClose);
    ClapHost clap;
    clap.offersTimerSupport = false;
    ASSERT_TRUE(clap.load(testpaths::clapPlugin)) << clap.error();
    ASSERT_TRUE(clap.openEditor(asParent(hostWindow)));
    EXPECT_TRUE(clap.timerPeriods().empty());
    click(kPal);
    const auto clock = [&] {
        double value = -1.0;
        clap.params()->get_value(clap.plugin(), kParamClock, &value);
        return value;
    };
    // The host's main loop, until the click has been taken (or long past).
    for (int round = 0; round < 2000 && clock() != 0.0; ++round) {
        XSync(display, False);
        clap.runMainThreadCallback();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(clock(), 0.0) << "PAL clicked";
    clap.closeEditor();
}
