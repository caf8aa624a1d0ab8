// The editor window as a user meets it, under wine: the panel's 24 controls
// and the extension area's beside it, with their classes, identifiers, places
// and texts; clicks, typing and the gain
// slider, checked through the host interface and the displays; what the
// hosts of the VST 2, CLAP and VST3 builds hear of the edits; screenshots
// of a few states (BMP files beside the test program, turned into PNG by the
// test script).
#include "AudioMeasure.h"
#include "ChunkCells.h"
#include "EditorInEachBuild.h"
#include "FtiBuilder.h"
#include "PluginUnderTest.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which they need.
#include <commctrl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

namespace {

enum { Volume, Arp, Pitch, HiPitch, Duty };

struct Expected {
    const char* className;
    int id;
    int x, y, width, height;
    const char* text;  // before the first idle
};

// The editor's size: the panel, the extension area beside it with its wave
// column, and the playing column.
constexpr int kWidth = 1261, kHeight = 255;

// The panel's 24 controls first, in the order they are made, then the
// extension area's, then the playing column's.
constexpr int kPanelControlCount = 24;
constexpr int kControlCount = 44;
constexpr int kMonoButton = 1029, kMpeButton = 1030, kGlideEdit = 41, kTempoStepsEdit = 43;
const Expected kControls[kControlCount] = {
    {"static", 0, 10, 12, 60, 25, "Volume:"},
    {"static", 0, 10, 42, 60, 25, "Arp:"},
    {"static", 0, 10, 72, 60, 25, "Pitch:"},
    {"static", 0, 10, 102, 60, 25, "Hi-Pitch:"},
    {"static", 0, 10, 132, 60, 25, "Duty:"},
    {"edit", 0, 80, 10, 475, 25, "0"},
    {"edit", 0, 80, 40, 475, 25, "0"},
    {"edit", 0, 80, 70, 475, 25, "0"},
    {"edit", 0, 80, 100, 475, 25, "0"},
    {"edit", 0, 80, 130, 475, 25, "0"},
    {"button", 1000, 80, 170, 60, 24, "Pulse"},
    {"button", 1001, 145, 170, 60, 24, "Triangle"},
    {"button", 1002, 210, 170, 60, 24, "Noise"},
    {"button", 1003, 300, 170, 60, 24, "Multi"},
    {"button", 1004, 390, 170, 60, 24, "NTSC"},
    {"button", 1005, 455, 170, 60, 24, "PAL"},
    {"msctls_trackbar32", 1006, 565, 0, 30, 200, "Gain"},
    {"static", 1007, 10, 204, 70, 25, "ST_U"},
    {"button", 1008, 80, 200, 25, 25, "+"},
    {"button", 1009, 110, 200, 25, 25, "-"},
    {"static", 1010, 160, 204, 90, 25, "ST_U"},
    {"button", 1011, 250, 200, 25, 25, "+"},
    {"button", 1012, 280, 200, 25, 25, "-"},
    {"static", 1013, 10, 234, 575, 20, "ST_U"},
    {"button", 1016, 605, 10, 90, 24, "Sample"},
    {"button", 1017, 605, 40, 90, 24, "VRC6 Pulse"},
    {"button", 1018, 605, 70, 90, 24, "VRC6 Saw"},
    {"button", 1020, 605, 100, 90, 24, "5B"},
    {"button", 1021, 605, 130, 90, 24, "MMC5 Pulse"},
    {"button", 1022, 700, 10, 90, 24, "FDS"},
    {"button", 1023, 700, 40, 90, 24, "N163"},
    {"button", 1028, 700, 70, 90, 24, "VRC7"},
    {"button", 1015, 605, 170, 185, 24, "Controllers"},
    {"button", 1019, 605, 200, 185, 24, "Console: Off"},
    {"button", 1026, 605, 230, 185, 24, "N163 channels: 8"},
    {"button", 1024, 800, 10, 25, 24, "<"},
    {"button", 1025, 1031, 10, 25, 24, ">"},
    {"static", 1027, 835, 14, 186, 20, ""},
    {"button", 1029, 1066, 10, 185, 24, "Mono: Off"},
    {"button", 1030, 1066, 100, 185, 24, "MPE: Off"},
    {"static", 0, 1066, 42, 105, 25, "Glide ms:"},
    {"edit", 0, 1176, 40, 75, 25, "0"},
    {"static", 0, 1066, 72, 105, 25, "Tempo steps:"},
    {"edit", 0, 1176, 70, 75, 25, "0"},
};

// The wave area, which is no control: the main window paints it and takes
// the mouse on it. Four columns a step and three rows a value for FDS, 64
// columns and twelve rows for a 4-sample N163 wave; value 0 at the bottom.
constexpr int kWaveLeft = 800, kWaveTop = 40, kWaveWidth = 256, kWaveHeight = 192;
POINT wavePoint(int step, int steps, int value, int levels)
{
    const int columns = kWaveWidth / steps, rows = kWaveHeight / levels;
    return {kWaveLeft + columns * step + columns / 2, kWaveTop + kWaveHeight - 1 - rows * value - rows / 2};
}

std::string textOf(HWND window)
{
    char text[2048] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

void pumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

LRESULT CALLBACK hostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

// A host window of our own, the editor inside it.
class Editor : public LoadedPlugin {
protected:
    void SetUp() override
    {
        LoadedPlugin::SetUp();
        ASSERT_TRUE(effect().flags & effFlagsHasEditor);
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = hostWindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "PlinkaTestHost";
        windowClass.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
        RegisterClassA(&windowClass);
        hostWindow = CreateWindowExA(0, "PlinkaTestHost", "Plinka test host", WS_POPUP | WS_VISIBLE, 20, 20, kWidth,
                                     kHeight, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(hostWindow, nullptr);
        ASSERT_EQ(dispatch(effEditOpen, 0, 0, hostWindow), 1);
        editorWindow = GetWindow(hostWindow, GW_CHILD);
        ASSERT_NE(editorWindow, nullptr);
        collectControls();
        pumpMessages();
    }
    void TearDown() override
    {
        dispatch(effEditClose);
        if (hostWindow)
            DestroyWindow(hostWindow);
        pumpMessages();
    }

    // The children in the order of the layout table, each found by its place
    // and size (the z-order says nothing certain about creation order).
    void collectControls()
    {
        children.clear();
        for (HWND child = GetWindow(editorWindow, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
            children.push_back(child);
        controls.assign(kControlCount, nullptr);
        for (HWND child : children) {
            RECT area;
            GetWindowRect(child, &area);
            MapWindowPoints(nullptr, editorWindow, reinterpret_cast<POINT*>(&area), 2);
            for (int i = 0; i < kControlCount; ++i) {
                const Expected& expected = kControls[i];
                if (area.left == expected.x && area.top == expected.y && area.right - area.left == expected.width &&
                    area.bottom - area.top == expected.height)
                    controls[i] = child;
            }
        }
    }
    HWND control(int index) const { return controls.at(index); }
    HWND byId(int id) const { return GetDlgItem(editorWindow, id); }
    virtual void idle()
    {
        dispatch(effEditIdle);
        pumpMessages();
    }
    void click(int id)
    {
        SendMessageA(byId(id), BM_CLICK, 0, 0);
        pumpMessages();
    }
    void type(int kind, const std::string& text) { typeInto(5 + kind, text); }
    // The text of the edit control at a place in the layout table replaced.
    void typeInto(int index, const std::string& text)
    {
        HWND edit = control(index);
        SendMessageA(edit, EM_SETSEL, 0, -1);
        SendMessageA(edit, WM_CLEAR, 0, 0);
        for (char c : text)
            SendMessageA(edit, WM_CHAR, static_cast<WPARAM>(static_cast<unsigned char>(c)), 0);
        pumpMessages();
    }
    // Explorer's drop as the window receives it: a DROPFILES block of wide
    // paths in global memory, which the receiver frees.
    void dropFile(const std::wstring& path)
    {
        const size_t listBytes = (path.size() + 2) * sizeof(wchar_t);  // its NUL and the list's
        HGLOBAL drop = GlobalAlloc(GHND, sizeof(DROPFILES) + listBytes);
        ASSERT_NE(drop, nullptr);
        auto* header = static_cast<DROPFILES*>(GlobalLock(drop));
        header->pFiles = sizeof(DROPFILES);
        header->fWide = TRUE;
        std::memcpy(reinterpret_cast<char*>(header) + sizeof(DROPFILES), path.c_str(), path.size() * sizeof(wchar_t));
        GlobalUnlock(drop);
        ASSERT_TRUE(PostMessageW(editorWindow, WM_DROPFILES, reinterpret_cast<WPARAM>(drop), 0));
        pumpMessages();
    }
    // The slider's thumb dragged by the mouse, a step at a time.
    void dragSlider(int distance)
    {
        HWND slider = byId(1006);
        RECT thumb{};
        SendMessageA(slider, TBM_GETTHUMBRECT, 0, reinterpret_cast<LPARAM>(&thumb));
        const int x = (thumb.left + thumb.right) / 2, y = (thumb.top + thumb.bottom) / 2;
        SendMessageA(slider, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        for (int step = 1; step <= 8; ++step)
            SendMessageA(slider, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(x, y + distance * step / 8));
        SendMessageA(slider, WM_LBUTTONUP, 0, MAKELPARAM(x, y + distance));
        pumpMessages();
    }
    // The mouse pressed at one point of the editor's window, moved to the
    // others with the button held, and let go at the last.
    void mouseDrag(const std::vector<POINT>& points)
    {
        SendMessageA(editorWindow, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(points.front().x, points.front().y));
        for (size_t i = 1; i < points.size(); ++i)
            SendMessageA(editorWindow, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(points[i].x, points[i].y));
        SendMessageA(editorWindow, WM_LBUTTONUP, 0, MAKELPARAM(points.back().x, points.back().y));
        pumpMessages();
    }
    void pressOnSlider(WPARAM key)
    {
        HWND slider = byId(1006);
        SendMessageA(slider, WM_KEYDOWN, key, 0);
        SendMessageA(slider, WM_KEYUP, key, 0);
        pumpMessages();
    }
    // The state as the host would save it.
    std::vector<float> chunk() { return cells::of(host.getChunk()); }
    int32_t ntsc() { return cells::settingOf(chunk(), cells::ntsc); }
    int32_t gain() { return cells::settingOf(chunk(), cells::gain); }
    // Program 0's channel type and multi flag (cells 21 and 23).
    int32_t channelType0() { return static_cast<int32_t>(chunk()[21]); }
    int32_t multi0() { return static_cast<int32_t>(chunk()[23]); }
    std::string programText(int program, int kind) { return cells::programTextOf(chunk(), program, kind); }
    std::vector<int32_t> playingOf(int program) { return cells::playingOf(chunk(), program); }
    // The background colour a label paints its text on.
    COLORREF labelColour(int kind)
    {
        HDC dc = CreateCompatibleDC(nullptr);
        SendMessageA(editorWindow, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                     reinterpret_cast<LPARAM>(control(kind)));
        const COLORREF colour = GetBkColor(dc);
        DeleteDC(dc);
        return colour;
    }
    // The colour a button is filled with, drawn by the editor into a bitmap
    // of ours as it draws it on screen.
    COLORREF buttonFill(int id)
    {
        HWND button = byId(id);
        RECT area{};
        GetClientRect(button, &area);
        HDC screen = GetDC(nullptr);
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, area.right, area.bottom);
        HGDIOBJ old = SelectObject(dc, bitmap);
        DRAWITEMSTRUCT item{};
        item.CtlType = ODT_BUTTON;
        item.CtlID = static_cast<UINT>(id);
        item.itemAction = ODA_DRAWENTIRE;
        item.hwndItem = button;
        item.hDC = dc;
        item.rcItem = area;
        SendMessageA(editorWindow, WM_DRAWITEM, static_cast<WPARAM>(id), reinterpret_cast<LPARAM>(&item));
        const COLORREF fill = GetPixel(dc, area.right / 2, 2);  // inside the outline, above the text
        SelectObject(dc, old);
        DeleteObject(bitmap);
        DeleteDC(dc);
        ReleaseDC(nullptr, screen);
        return fill;
    }
    // Saves the editor as it is on screen.
    void screenshot(const char* name)
    {
        UpdateWindow(hostWindow);
        RedrawWindow(hostWindow, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        pumpMessages();
        Sleep(200);
        pumpMessages();
        RECT area;
        GetWindowRect(editorWindow, &area);
        const int width = area.right - area.left;
        const int height = area.bottom - area.top;
        HDC screen = GetDC(nullptr);
        HDC memory = CreateCompatibleDC(screen);
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 24;
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
        SelectObject(memory, old);
        const int stride = (width * 3 + 3) & ~3;
        BITMAPFILEHEADER file{};
        file.bfType = 0x4D42;
        file.bfOffBits = sizeof file + sizeof info.bmiHeader;
        file.bfSize = file.bfOffBits + stride * height;
        char path[MAX_PATH];
        GetModuleFileNameA(nullptr, path, sizeof path);
        std::string where(path);
        where = where.substr(0, where.find_last_of("\\/") + 1) + name + ".bmp";
        if (FILE* out = std::fopen(where.c_str(), "wb")) {
            std::fwrite(&file, sizeof file, 1, out);
            std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, out);
            std::fwrite(bits, stride * height, 1, out);
            std::fclose(out);
        }
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(nullptr, screen);
    }

    HWND hostWindow = nullptr;
    HWND editorWindow = nullptr;
    std::vector<HWND> children;
    std::vector<HWND> controls;
};

}  // namespace

TEST_F(Editor, HasThePanelsTwentyFourControlsInPlaceAndTheLaterOnesBeside)
{
    ASSERT_EQ(children.size(), static_cast<size_t>(kControlCount));
    char className[64];
    GetClassNameA(editorWindow, className, sizeof className);
    EXPECT_EQ(std::string(className).substr(0, 6), "PLINKA");
    EXPECT_EQ(std::strlen(className), 14u);
    EXPECT_EQ(textOf(editorWindow), "PLINKA");
    RECT editorArea;
    GetClientRect(editorWindow, &editorArea);
    EXPECT_EQ(editorArea.right, kWidth);
    EXPECT_EQ(editorArea.bottom, kHeight);

    for (int i = 0; i < kControlCount; ++i) {
        const Expected& expected = kControls[i];
        HWND child = control(i);
        ASSERT_NE(child, nullptr) << "no control at the place and size of " << i
                                  << (i < kPanelControlCount ? " on the panel" : " beside it");
        GetClassNameA(child, className, sizeof className);
        EXPECT_EQ(lstrcmpiA(className, expected.className), 0) << i << ": " << className;
        EXPECT_EQ(GetDlgCtrlID(child), expected.id) << i;
        EXPECT_EQ(textOf(child), expected.text) << i;
        const LONG style = GetWindowLongA(child, GWL_STYLE);
        EXPECT_TRUE(style & WS_VISIBLE) << i;
        EXPECT_FALSE(style & WS_TABSTOP) << i;
        if (lstrcmpiA(expected.className, "button") == 0) {
            EXPECT_EQ(style & (BS_OWNERDRAW | BS_NOTIFY), BS_OWNERDRAW | BS_NOTIFY) << i;
        }
        if (lstrcmpiA(expected.className, "edit") == 0) {
            // The control takes its border over from WS_BORDER, so only these show.
            EXPECT_EQ(style & (ES_AUTOHSCROLL | ES_MULTILINE), ES_AUTOHSCROLL) << i;
        }
    }
    screenshot("editor-before-idle");
}

TEST_F(Editor, FirstIdleFillsInTheShownProgram)
{
    idle();
    const char* texts[] = {"15", "0", "0", "0", "0"};
    for (int kind = 0; kind < 5; ++kind)
        EXPECT_EQ(textOf(control(5 + kind)), texts[kind]);
    EXPECT_EQ(textOf(byId(1007)), "MIDIch:1");
    EXPECT_EQ(textOf(byId(1010)), "Polyphony:8");
    EXPECT_EQ(textOf(byId(1013)), "OK");
    EXPECT_EQ(SendMessageA(byId(1006), TBM_GETPOS, 0, 0), 150) << "200 less a new instance's gain, 50";
    screenshot("editor-new");
}

TEST_F(Editor, RectangleIsTheSameBeforeDuringAndAfter)
{
    ERect* rect = nullptr;
    EXPECT_EQ(dispatch(effEditGetRect, 0, 0, &rect), 1);
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->top, 0);
    EXPECT_EQ(rect->left, 0);
    EXPECT_EQ(rect->bottom, kHeight);
    EXPECT_EQ(rect->right, kWidth);
    dispatch(effEditClose);
    ERect* after = nullptr;
    dispatch(effEditGetRect, 0, 0, &after);
    EXPECT_EQ(after, rect);
    dispatch(effEditIdle);  // closed: touches nothing
    EXPECT_EQ(dispatch(effEditOpen, 0, 0, hostWindow), 1);
    editorWindow = GetWindow(hostWindow, GW_CHILD);
}

TEST_F(Editor, ButtonsChangeTheShownProgramAndTheStandard)
{
    idle();
    click(1001);
    EXPECT_EQ(channelType0(), 1);
    click(1002);
    EXPECT_EQ(channelType0(), 2);
    for (int type : {3, 4, 5}) {
        click(1013 + type);  // Sample, VRC6 Pulse, VRC6 Saw
        EXPECT_EQ(channelType0(), type);
    }
    click(1000);
    EXPECT_EQ(channelType0(), 0);
    click(1003);
    EXPECT_EQ(multi0(), 1);
    click(1003);
    EXPECT_EQ(multi0(), 0);
    click(1005);
    EXPECT_EQ(ntsc(), 0);
    click(1004);
    EXPECT_EQ(ntsc(), 1);

    click(1001);
    click(1003);
    click(1005);
    idle();
    screenshot("editor-triangle-multi-pal");
    click(1003);
    click(1000);
}

TEST_F(Editor, TheConsoleButtonStepsThroughTheModesNamingEach)
{
    idle();
    EXPECT_EQ(textOf(byId(1019)), "Console: Off");
    const struct {
        int32_t mode;
        const char* text;
    } steps[] = {{1, "Console: NES"}, {2, "Console: Famicom"}, {3, "Console: Unfiltered"}, {0, "Console: Off"}};
    for (const auto& step : steps) {
        click(1019);
        idle();
        EXPECT_EQ(textOf(byId(1019)), step.text);
        EXPECT_EQ(cells::settingOf(chunk(), cells::console), step.mode == 0 ? -1 : step.mode) << "off writes no cell";
        if (step.mode == 3)
            screenshot("editor-console-unfiltered");
    }
}

// Each channel type shown with its button highlighted, the panel's three or
// one beside it, and no other; a screenshot of each.
TEST_F(Editor, EveryChannelTypeShowsItsButtonAlone)
{
    const int buttons[] = {1000, 1001, 1002, 1016, 1017, 1018, 1020, 1021, 1022, 1023, 1028};
    const char* names[] = {"pulse", "triangle", "noise", "sample", "vrc6-pulse", "vrc6-saw", "5b", "mmc5-pulse",
                           "fds", "n163", "vrc7"};
    idle();
    for (int type : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}) {
        click(buttons[type]);
        idle();
        EXPECT_EQ(channelType0(), type);
        for (int other = 0; other < 11; ++other)
            EXPECT_EQ(buttonFill(buttons[other]), GetSysColor(other == type ? COLOR_BTNSHADOW : COLOR_BTNFACE))
                << type << " shown, button " << other;
        screenshot(("editor-type-" + std::string(names[type])).c_str());
    }
}

TEST_F(Editor, PalAndNtscAreHeardAtOnce)
{
    idle();
    click(1005);
    host.start(44100.0f, 512);
    StereoBuffer out = host.render(22050, 512, {{0, {0xC0, 2, 0}}, {0, {0x90, 69, 100}}});
    double expected = 1662607.0 / (16.0 * 236);
    EXPECT_NEAR(frequencyOf(out.left, 4410, out.left.size(), 44100.0), expected, expected * 0.001);
    click(1004);
    out = host.render(22050, 512);
    expected = 1789773.0 / (16.0 * 254);
    EXPECT_NEAR(frequencyOf(out.left, 4410, out.left.size(), 44100.0), expected, expected * 0.001);
}

TEST_F(Editor, ChannelAndPolyphonyStepWithWrapAround)
{
    idle();
    click(1009);
    idle();
    EXPECT_EQ(textOf(byId(1007)), "MIDIch:16");
    click(1008);
    idle();
    EXPECT_EQ(textOf(byId(1007)), "MIDIch:1");
    for (int i = 0; i < 16; ++i)
        click(1008);
    idle();
    EXPECT_EQ(textOf(byId(1007)), "MIDIch:1");

    // The second click of a quick double click arrives as its own
    // notification, which does nothing.
    SendMessageA(editorWindow, WM_COMMAND, MAKEWPARAM(1008, BN_DOUBLECLICKED), reinterpret_cast<LPARAM>(byId(1008)));
    idle();
    EXPECT_EQ(textOf(byId(1007)), "MIDIch:1");

    click(1011);
    idle();
    EXPECT_EQ(textOf(byId(1010)), "Polyphony:1");
    click(1012);
    idle();
    EXPECT_EQ(textOf(byId(1010)), "Polyphony:8");
    click(1012);
    idle();
    EXPECT_EQ(textOf(byId(1010)), "Polyphony:7");
}

TEST_F(Editor, TheShownProgramFollowsTheChannelAndTheHostIsTold)
{
    idle();
    dispatch(effGetProgram);
    host.setChunk(cells::Builder().cell(cells::channelPrograms).number(0).number(6).bytes());
    dispatch(effGetProgram);
    host.clearCalls();
    click(1008);
    EXPECT_EQ(host.countCalls(audioMasterUpdateDisplay), 1u);
    EXPECT_EQ(dispatch(effGetProgram), 6);
    idle();
    EXPECT_EQ(textOf(control(5 + Arp)), "12 0");
    EXPECT_EQ(textOf(control(5 + Pitch)), "0 0 0 0 0 0 0 | 2 2 2 2 -2 -2 -2 -2");
    EXPECT_EQ(host.programName(), "007 Pulse Solo");
}

TEST_F(Editor, TypingStoresTheTextAndTheStatusShowsTheBanksFirstError)
{
    idle();
    type(Arp, "12 0 7");
    EXPECT_EQ(programText(0, Arp), "12 0 7");
    idle();
    EXPECT_EQ(textOf(byId(1013)), "OK");

    type(Duty, "");
    idle();
    EXPECT_EQ(labelColour(Duty), RGB(255, 255, 128)) << "an empty envelope's label is marked";
    EXPECT_EQ(labelColour(Volume), GetSysColor(COLOR_BTNFACE));

    type(Pitch, "1|");
    idle();
    EXPECT_EQ(textOf(byId(1013)), "Error: Loop marker should be preceded and followed with spacing");
    EXPECT_EQ(programText(0, Pitch), "1|") << "kept as typed";
    EXPECT_EQ(labelColour(Pitch), RGB(255, 255, 128)) << "so is one that failed";
    screenshot("editor-error-and-empty");

    type(Pitch, "1 |");
    idle();
    EXPECT_EQ(textOf(byId(1013)), "OK");
    EXPECT_EQ(labelColour(Pitch), GetSysColor(COLOR_BTNFACE));
    type(Duty, "2");
    idle();
    EXPECT_EQ(labelColour(Duty), GetSysColor(COLOR_BTNFACE));
}

// The playing column: the mono button steps through the modes and names
// each, the glide and tempo steps fields store what is in range and keep
// the rest as typed with the reason in the status line, and another program
// shows its own.
TEST_F(Editor, ThePlayingColumnStepsMonoAndTakesGlideAndTempoSteps)
{
    idle();
    EXPECT_EQ(textOf(control(kGlideEdit)), "0");
    EXPECT_EQ(textOf(control(kTempoStepsEdit)), "off");
    EXPECT_EQ(textOf(byId(kMonoButton)), "Mono: Off");
    EXPECT_EQ(buttonFill(kMonoButton), GetSysColor(COLOR_BTNFACE));
    click(kMonoButton);
    idle();
    EXPECT_EQ(textOf(byId(kMonoButton)), "Mono: On");
    EXPECT_EQ(buttonFill(kMonoButton), GetSysColor(COLOR_BTNSHADOW));
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{1, 0, 0}));
    click(kMonoButton);
    idle();
    EXPECT_EQ(textOf(byId(kMonoButton)), "Mono: Legato");

    typeInto(kGlideEdit, "250");
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 0}));
    typeInto(kGlideEdit, "fast");
    idle();
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 0}));
    EXPECT_EQ(textOf(byId(1013)), "Error: glide is 0 to 10000 milliseconds");
    EXPECT_EQ(textOf(control(kGlideEdit)), "fast") << "kept as typed";
    typeInto(kTempoStepsEdit, "12");
    idle();
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 250, 12}));
    EXPECT_EQ(textOf(byId(1013)), "Error: glide is 0 to 10000 milliseconds") << "until the glide is set right";
    typeInto(kTempoStepsEdit, "12x");
    idle();
    EXPECT_EQ(textOf(byId(1013)), "Error: tempo-steps is off or 1 to 96 steps a quarter note");
    screenshot("editor-playing");
    typeInto(kTempoStepsEdit, "off");
    typeInto(kGlideEdit, "300");
    idle();
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 300, 0}));
    EXPECT_EQ(textOf(byId(1013)), "OK");

    // Channel 2 plays program 6, whose tempo steps come with a loaded song.
    cells::Builder song;
    song.cell(cells::channelPrograms).number(0).number(6);
    for (int channel = 2; channel < 16; ++channel)
        song.number(0);
    song.cell(cells::playing).number(6).number(0).number(0).number(24);
    host.setChunk(song.bytes());
    typeInto(kGlideEdit, "slow");
    click(1008);
    idle();
    EXPECT_EQ(textOf(control(kGlideEdit)), "0");
    EXPECT_EQ(textOf(control(kTempoStepsEdit)), "24");
    EXPECT_EQ(textOf(byId(kMonoButton)), "Mono: Off");
    EXPECT_EQ(textOf(byId(1013)), "OK") << "what was typed for program 0 is gone";
    typeInto(kGlideEdit, "5");
    EXPECT_EQ(playingOf(6), (std::vector<int32_t>{0, 5, 24}));
    EXPECT_EQ(playingOf(0), (std::vector<int32_t>{2, 300, 0}));

    // MPE is the bank's, whatever program is shown.
    for (const char* text : {"MPE: On", "MPE: Upper", "MPE: Off"}) {
        click(kMpeButton);
        idle();
        EXPECT_EQ(textOf(byId(kMpeButton)), text);
        EXPECT_EQ(buttonFill(kMpeButton), GetSysColor(std::string(text) == "MPE: Off" ? COLOR_BTNFACE : COLOR_BTNSHADOW));
    }
}

// A Sample program's Duty row is its Keys field: typing there edits the key
// map and leaves the Duty envelope as it was; the label is marked while no
// key sounds. Back on Pulse, the row is Duty again.
TEST_F(Editor, ASampleProgramsDutyRowIsItsKeyMap)
{
    idle();
    const std::string duty = programText(0, Duty);
    click(1016);
    idle();
    EXPECT_EQ(textOf(control(Duty)), "Keys:");
    type(Duty, "36=kick:15 C#2=kick:3:loop");
    idle();
    EXPECT_EQ(cells::keyMapTextOf(chunk(), 0), "36=kick:15 C#2=kick:3:loop");
    EXPECT_EQ(programText(0, Duty), duty);
    EXPECT_EQ(textOf(byId(1013)), "Error: The key map names a sample the bank does not hold");
    EXPECT_EQ(labelColour(Duty), RGB(255, 255, 128)) << "no key sounds";
    screenshot("editor-sample");

    click(1000);
    idle();
    EXPECT_EQ(textOf(control(Duty)), "Duty:");
    type(Duty, "1");
    idle();
    EXPECT_EQ(programText(0, Duty), "1");
    EXPECT_EQ(cells::keyMapTextOf(chunk(), 0), "36=kick:15 C#2=kick:3:loop");
}

// An FDS program's Duty row is its wave, and a drag through the window on
// the wave area draws it: the steps crossed, those between two moves too,
// take the values under the pointer, and the field shows the new numbers.
TEST_F(Editor, ADragOnTheWaveAreaDrawsExactlyTheStepsItCrosses)
{
    idle();
    click(1022);
    idle();
    EXPECT_EQ(textOf(control(Duty)), "Wave:");
    EXPECT_EQ(textOf(byId(1027)), "Wave 1/1");
    std::string ramp;
    for (int step = 0; step < 64; ++step)
        ramp += std::to_string(step) + (step < 63 ? " " : "");
    type(Duty, ramp);
    idle();
    ASSERT_EQ(cells::waveTextOf(chunk(), 0), ramp);
    EXPECT_EQ(programText(0, Duty), "0") << "the duty envelope is kept";

    mouseDrag({wavePoint(10, 64, 50, 64), wavePoint(20, 64, 30, 64)});
    idle();
    std::vector<int> expected(64);
    for (int step = 0; step < 64; ++step)
        expected[step] = step;
    for (int step = 10; step <= 20; ++step)
        expected[step] = 50 - 2 * (step - 10);
    EXPECT_EQ(cells::waveNumbersOf(chunk(), 0), expected);
    EXPECT_EQ(textOf(control(5 + Duty)), cells::waveTextOf(chunk(), 0));
    EXPECT_EQ(textOf(byId(1013)), "OK");
    screenshot("editor-fds");

    // Beyond the area's edge the line snaps to it and to the chip's range;
    // a press beside the area draws nothing.
    mouseDrag({wavePoint(60, 64, 0, 64), {kWaveLeft + kWaveWidth + 40, kWaveTop - 30}});
    const std::vector<int> snapped = cells::waveNumbersOf(chunk(), 0);
    ASSERT_EQ(snapped.size(), 64u);
    EXPECT_EQ(snapped[60], 0);
    EXPECT_EQ(snapped[63], 63);
    const std::string drawn = cells::waveTextOf(chunk(), 0);
    mouseDrag({{kWaveLeft - 5, kWaveTop + 10}, wavePoint(5, 64, 0, 64)});
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), drawn);
}

// An N163 program's waves, chosen with "<" and ">", drawn one at a time.
TEST_F(Editor, TheArrowsChooseTheN163WaveDrawn)
{
    idle();
    click(1023);
    idle();
    type(Duty, "0 1 2 3 ; 4 5 6 7");
    idle();
    EXPECT_EQ(textOf(byId(1027)), "Wave 1/2");
    EXPECT_FALSE(IsWindowEnabled(byId(1024)));
    EXPECT_TRUE(IsWindowEnabled(byId(1025)));
    click(1025);
    idle();
    EXPECT_EQ(textOf(byId(1027)), "Wave 2/2");
    EXPECT_FALSE(IsWindowEnabled(byId(1025)));
    mouseDrag({wavePoint(1, 4, 15, 16), wavePoint(2, 4, 0, 16)});
    idle();
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), "0 1 2 3 ; 4 15 0 7");
    EXPECT_EQ(textOf(control(5 + Duty)), "0 1 2 3 ; 4 15 0 7");
    screenshot("editor-n163");
    click(1024);
    idle();
    mouseDrag({wavePoint(0, 4, 9, 16)});
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), "9 1 2 3 ; 4 15 0 7");
}

// A VRC7 program's patch, chosen by name with "<" and ">", its text in the
// Duty row.
TEST_F(Editor, TheArrowsChooseAVrc7PatchByName)
{
    idle();
    click(1028);
    idle();
    EXPECT_EQ(textOf(control(Duty)), "Patch:");
    EXPECT_EQ(textOf(byId(1027)), "Patch 1: Buzzy bell");
    EXPECT_FALSE(IsWindowEnabled(byId(1024)));
    click(1025);
    click(1025);
    idle();
    EXPECT_EQ(textOf(byId(1027)), "Patch 3: Electric piano");
    EXPECT_EQ(textOf(control(5 + Duty)), "patch 3");
    EXPECT_EQ(cells::waveTextOf(chunk(), 0), "patch 3");
    type(Duty, "patch custom custom 01 21 00 00 00 F0 00 0F");
    idle();
    EXPECT_EQ(textOf(byId(1027)), "Custom patch");
    EXPECT_FALSE(IsWindowEnabled(byId(1025)));
    screenshot("editor-vrc7");
}

TEST_F(Editor, TheThousandAndTwentyFourthCharacterShowsButIsNotKept)
{
    idle();
    std::string text;
    while (text.size() < 1023)
        text += "1 ";
    text.resize(1023);
    HWND edit = control(5 + Volume);
    SetWindowTextA(edit, text.c_str());
    SendMessageA(edit, EM_SETSEL, 1023, 1023);
    SendMessageA(edit, WM_CHAR, '1', 0);
    pumpMessages();
    EXPECT_EQ(textOf(edit).size(), 1024u);
    EXPECT_EQ(programText(0, Volume), text);
    host.setChunk(host.getChunk());  // any load reloads the texts at the next idle
    dispatch(effGetProgram);
    idle();
    EXPECT_EQ(textOf(edit), text);
}

// What is typed or pasted beyond ASCII is kept as UTF-8, the programs' and
// the Linux editor's encoding, and shown again as typed.
TEST_F(Editor, TextBeyondAsciiIsKeptAsUtf8)
{
    idle();
    HWND edit = control(5 + Arp);
    type(Arp, "1 ");
    for (wchar_t c : std::wstring(L"\u03bb\u00e9\u20ac"))  // not all of one code page
        SendMessageW(edit, WM_CHAR, c, 0);
    pumpMessages();
    EXPECT_EQ(programText(0, Arp), "1 \xce\xbb\xc3\xa9\xe2\x82\xac");
    host.setChunk(host.getChunk());  // any load reloads the texts at the next idle
    dispatch(effGetProgram);
    idle();
    wchar_t shown[64] = {};
    GetWindowTextW(edit, shown, 64);
    EXPECT_STREQ(shown, L"1 \u03bb\u00e9\u20ac");
    EXPECT_EQ(programText(0, Arp), "1 \xce\xbb\xc3\xa9\xe2\x82\xac") << "the reload stored it unchanged";

    // A loaded text that is not UTF-8 (a code page's bytes) shows as best it
    // can and stays as it was until the user edits it.
    host.setChunk(cells::Builder().cell(cells::program).number(0).cell(cells::arp).string("1 \xe9").bytes());
    dispatch(effGetProgram);
    idle();
    EXPECT_EQ(programText(0, Arp), "1 \xe9");

    // A character whose bytes would not all fit is left out, never cut in two.
    const std::wstring full = std::wstring(1022, L'1') + L"\u03bb";
    SetWindowTextW(edit, full.c_str());
    pumpMessages();
    EXPECT_EQ(programText(0, Arp), std::string(1022, '1'));
}

TEST_F(Editor, GainSliderSetsTheGainUpSideDown)
{
    idle();
    pressOnSlider(VK_HOME);
    EXPECT_EQ(gain(), 200);
    pressOnSlider(VK_END);
    EXPECT_EQ(gain(), 0);
    pressOnSlider(VK_PRIOR);
    EXPECT_EQ(gain(), 4) << "a page is 4";
    pressOnSlider(VK_UP);
    EXPECT_EQ(gain(), 5);
    host.setChunk(cells::Builder().cell(cells::gain).number(200).bytes());
    dispatch(effGetProgram);
    idle();
    EXPECT_EQ(SendMessageA(byId(1006), TBM_GETPOS, 0, 0), 0);

    pressOnSlider(VK_END);
    host.start(44100.0f, 512);
    const StereoBuffer out = host.render(8820, 512, {{0, {0x90, 60, 127}}});
    EXPECT_EQ(lastSound(out.left), -1) << "gain 0 is silence";
}

TEST_F(Editor, TwoInstrumentsRegisterTwoClasses)
{
    PluginHost second;
    ASSERT_TRUE(second.load(pluginUnderTest()));
    ASSERT_EQ(second.dispatch(effEditOpen, 0, 0, hostWindow), 1);
    HWND first = editorWindow;
    HWND other = nullptr;
    for (HWND child = GetWindow(hostWindow, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (child != first)
            other = child;
    ASSERT_NE(other, nullptr);
    char a[64], b[64];
    GetClassNameA(first, a, sizeof a);
    GetClassNameA(other, b, sizeof b);
    EXPECT_STRNE(a, b);
    EXPECT_EQ(std::string(a).substr(0, 6), std::string(b).substr(0, 6));
    second.dispatch(effEditClose);
}

TEST_F(Editor, ATrackerInstrumentDroppedFromExplorerFillsTheShownProgram)
{
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring path = std::wstring(folder) + L"plinka drop \u00e9.fti";  // not ASCII: the UTF-8 way through
    ftitest::FtiBuilder file;
    file.name = "Dropped";
    file.sequences[Volume] = ftitest::seq({15, 8, 0}, -1, 1);
    file.sequences[Duty] = ftitest::seq({1});
    const std::vector<unsigned char> bytes = file.bytes();
    FILE* out = _wfopen(path.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);

    idle();
    dropFile(path);
    idle();

    EXPECT_EQ(programText(0, Volume), "15 8 / 0");
    EXPECT_EQ(programText(0, Duty), "1");
    char name[64] = {};
    dispatch(effGetProgramName, 0, 0, name);
    EXPECT_STREQ(name, "Dropped");
    EXPECT_EQ(textOf(control(5 + Volume)), "15 8 / 0");
    EXPECT_EQ(textOf(byId(1013)), "Loaded \"Dropped\" into program 1") << "the fields' refill keeps it";
    DeleteFileW(path.c_str());
}

// ---- the editor in each build, as its host shows it ----

namespace {

constexpr int kTriangle = 1001, kMulti = 1003, kPal = 1005, kVoicesUp = 1011, kControllers = 1015, kConsole = 1019,
              kFds = 1022, kN163Channels = 1026;

class EachBuildsEditor : public Editor, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        Editor::SetUp();
        if (build.isVst2())
            return;
        dispatch(effEditClose);
        build.open(hostWindow);
        editorWindow = GetWindow(hostWindow, GW_CHILD);
        ASSERT_NE(editorWindow, nullptr);
        collectControls();
        pumpMessages();
    }
    void TearDown() override
    {
        build.close();
        Editor::TearDown();
    }
    void idle() override
    {
        build.idle();
        pumpMessages();
    }

    EditorInEachBuild build{GetParam(), host};
};

}  // namespace

// Every edit of what the song saves tells the host once, an edit that saves
// nothing new does not, and a drag of the slider, or a key held on it, is
// one gesture.
TEST_P(EachBuildsEditor, EachEditOfTheSavedStateTellsTheHostOnceAndADragIsOneGesture)
{
    wchar_t folder[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, folder), 0u);
    const std::wstring fti = std::wstring(folder) + L"plinka-notices.fti";
    const std::vector<unsigned char> bytes = ftitest::FtiBuilder().bytes();
    FILE* out = _wfopen(fti.c_str(), L"wb");
    ASSERT_NE(out, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    idle();
    HWND slider = byId(1006);
    const struct {
        const char* what;
        std::function<void()> edit;
        size_t notices;
        const char* gestures;  // of the CLAP and VST3 builds
    } edits[] = {
        {"a character typed", [&] { SendMessageA(control(5 + Arp), WM_CHAR, '1', 0); }, 1, ""},
        {"Triangle", [&] { click(kTriangle); }, 1, ""},
        {"Multi", [&] { click(kMulti); }, 1, ""},
        {"PAL", [&] { click(kPal); }, 1, "b1 v1 e1 "},
        {"the controllers", [&] { click(kControllers); }, 1, ""},
        {"the console mode", [&] { click(kConsole); }, 1, ""},
        {"a voice more, not saved", [&] { click(kVoicesUp); }, 0, "b2 v2 e2 "},
        {"Triangle again, no change", [&] { click(kTriangle); }, 0, ""},
        {"a slider drag", [&] { dragSlider(40); }, 1, "b0 v0+ e0 "},
        {"a key held on the slider",
         [&] {
             for (int repeat = 0; repeat < 3; ++repeat)
                 SendMessageA(slider, WM_KEYDOWN, VK_UP, 0);
             SendMessageA(slider, WM_KEYUP, VK_UP, 0);
         },
         1, "b0 v0+ e0 "},
        {"FDS", [&] { click(kFds); }, 1, ""},
        {"a wave drawn across the area",
         [&] {
             mouseDrag({{820, 60}, {900, 120}, {1000, 200}});
         },
         1, ""},
        {"the fields filled anew after the drawing", [&] { idle(); }, 0, ""},
        {"the N163 channel count", [&] { click(kN163Channels); }, 1, ""},
        {"the mono mode", [&] { click(kMonoButton); }, 1, ""},
        {"MPE", [&] { click(kMpeButton); }, 1, ""},
        {"a glide typed", [&] { SendMessageA(control(kGlideEdit), WM_CHAR, '5', 0); }, 1, ""},
        {"a glide that is no number, not stored", [&] { SendMessageA(control(kGlideEdit), WM_CHAR, 'x', 0); }, 0, ""},
        {"a tracker instrument dropped", [&] { dropFile(fti); }, 1, ""},
        {"the fields filled anew", [&] { idle(); }, 0, ""},
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
    DeleteFileW(fti.c_str());
}

// Every format's host is told the size of both areas, and the window is that size.
TEST_P(EachBuildsEditor, TheHostIsToldTheSizeOfThePanelAndTheExtensionArea)
{
    EXPECT_EQ(build.size(), std::make_pair(kWidth, kHeight));
    RECT area{};
    GetClientRect(editorWindow, &area);
    EXPECT_EQ(std::make_pair(static_cast<int>(area.right), static_cast<int>(area.bottom)),
              std::make_pair(kWidth, kHeight));
}

INSTANTIATE_TEST_SUITE_P(Hosts, EachBuildsEditor, kEveryBuild);
