#include "GUI_win32.h"

#include "EditorModel.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// The module this code was loaded from (the plug-in, or a test program):
// window classes and controls are registered with it.
HINSTANCE module()
{
    HMODULE handle = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCSTR>(&module), &handle);
    return handle;
}

constexpr DWORD kLabelStyle = WS_CHILD | WS_VISIBLE;
constexpr DWORD kEditStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_NOTIFY | BS_OWNERDRAW;
constexpr DWORD kSliderStyle = WS_CHILD | WS_VISIBLE | TBS_VERT | TBS_BOTH | TBS_NOTICKS;
constexpr WPARAM kEditLimit = 1024;  // a 1024th character shows, but the program keeps 1023
constexpr LPARAM kSliderPageSize = 4;

const char* const kEnvelopeNames[kEnvelopeKindCount] = {"Volume:", "Arp:", "Pitch:", "Hi-Pitch:", "Duty:"};

HWND createControl(HWND parent, const char* className, const char* text, DWORD style, int id, int x, int y, int width,
                   int height)
{
    return CreateWindowExA(0, className, text, style, x, y, width, height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module(), nullptr);
}

// The status may name dropped files, whose names are UTF-8.
void setUtf8Text(HWND control, const char* text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0)
        return;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    SetWindowTextW(control, wide.c_str());
}

void destroy(HWND& control)
{
    if (control)
        DestroyWindow(control);
    control = nullptr;
}

}  // namespace

GUI::GUI(EditorModel& editorModel) : model(editorModel)
{
    formatWindowClassName();
    WNDCLASSA windowClass{};
    windowClass.style = CS_GLOBALCLASS;
    windowClass.lpfnWndProc = editorWindowProc;
    windowClass.hInstance = module();
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    windowClass.lpszClassName = windowClassName;
    RegisterClassA(&windowClass);
}

GUI::~GUI()
{
    // A host that destroys the instrument with its editor still open would
    // otherwise leave windows that point at this object.
    if (window)
        close();
    formatWindowClassName();
    UnregisterClassA(windowClassName, module());
}

void GUI::formatWindowClassName()
{
    std::snprintf(windowClassName, sizeof windowClassName, "PLINKA%08x",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
}

bool GUI::open(void* parentWindow)
{
    InitCommonControls();  // the trackbar class
    formatWindowClassName();
    window = CreateWindowExA(0, windowClassName, "PLINKA", WS_CHILD | WS_VISIBLE, 0, 0, kEditorWidth, kEditorHeight,
                             static_cast<HWND>(parentWindow), nullptr, module(), this);
    if (!window)
        return false;
    // The window procedure finds the editor only here, so the messages of the
    // main window's own creation get default handling.
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        envelopeLabel[kind] = createControl(window, "static", "ST_U", kLabelStyle, 0, 10, 12 + 30 * kind, 60, 25);
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        SetWindowTextA(envelopeLabel[kind], kEnvelopeNames[kind]);
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        envelopeEdit[kind] = createControl(window, "edit", "0", kEditStyle, 0, 80, 10 + 30 * kind, 475, 25);
    for (HWND edit : envelopeEdit)
        SendMessageA(edit, EM_LIMITTEXT, kEditLimit, 0);
    pulseButton = createControl(window, "button", "Pulse", kButtonStyle, kPulseButton, 80, 170, 60, 24);
    triangleButton = createControl(window, "button", "Triangle", kButtonStyle, kTriangleButton, 145, 170, 60, 24);
    noiseButton = createControl(window, "button", "Noise", kButtonStyle, kNoiseButton, 210, 170, 60, 24);
    multiButton = createControl(window, "button", "Multi", kButtonStyle, kMultiButton, 300, 170, 60, 24);
    ntscButton = createControl(window, "button", "NTSC", kButtonStyle, kNtscButton, 390, 170, 60, 24);
    palButton = createControl(window, "button", "PAL", kButtonStyle, kPalButton, 455, 170, 60, 24);
    gainSlider = createControl(window, TRACKBAR_CLASSA, "Gain", kSliderStyle, kGainSlider, 565, 0, 30, 200);
    SendMessageA(gainSlider, TBM_SETRANGE, TRUE, MAKELPARAM(0, kGainSliderMax));
    SendMessageA(gainSlider, TBM_SETPAGESIZE, 0, kSliderPageSize);
    midiChannelLabel = createControl(window, "static", "ST_U", kLabelStyle, kMidiChannelLabel, 10, 204, 70, 25);
    midiChannelUpButton = createControl(window, "button", "+", kButtonStyle, kMidiChannelUpButton, 80, 200, 25, 25);
    midiChannelDownButton =
        createControl(window, "button", "-", kButtonStyle, kMidiChannelDownButton, 110, 200, 25, 25);
    polyphonyLabel = createControl(window, "static", "ST_U", kLabelStyle, kPolyphonyLabel, 160, 204, 90, 25);
    polyphonyUpButton = createControl(window, "button", "+", kButtonStyle, kPolyphonyUpButton, 250, 200, 25, 25);
    polyphonyDownButton = createControl(window, "button", "-", kButtonStyle, kPolyphonyDownButton, 280, 200, 25, 25);
    controllersButton =
        createControl(window, "button", "Controllers", kButtonStyle, kControllersButton, 330, 200, 90, 25);
    statusLabel = createControl(window, "static", "ST_U", kLabelStyle, kStatusLabel, 10, 234, 575, 20);
    // Tracker instruments dropped from Explorer arrive as WM_DROPFILES.
    DragAcceptFiles(window, TRUE);

    model.markForRefresh();
    return true;
}

void GUI::close()
{
    for (HWND& label : envelopeLabel)
        destroy(label);
    for (HWND& edit : envelopeEdit)
        destroy(edit);
    for (HWND* control : {&pulseButton, &triangleButton, &noiseButton, &ntscButton, &palButton, &multiButton,
                          &controllersButton, &gainSlider, &midiChannelLabel, &polyphonyLabel, &midiChannelUpButton,
                          &midiChannelDownButton, &polyphonyUpButton, &polyphonyDownButton, &statusLabel, &window})
        destroy(*control);
}

void GUI::idle()
{
    if (!window)
        return;  // closed: the flags wait for the next open, which sets them anyway
    if (model.takeRefreshTexts()) {
        // Copied out first: setting an edit's text makes it report a change,
        // whose handling locks the bank again.
        char texts[kEnvelopeKindCount][kEnvelopeTextSize];
        model.shownTexts(texts);
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            SetWindowTextA(envelopeEdit[kind], texts[kind]);
        SendMessageA(gainSlider, TBM_SETPOS, TRUE, model.sliderPosition());
    }
    if (model.takeRefreshStatus()) {
        char text[32];
        model.midiChannelText(text);
        SetWindowTextA(midiChannelLabel, text);
        model.polyphonyText(text);
        SetWindowTextA(polyphonyLabel, text);
        setUtf8Text(statusLabel, model.statusText());
        // Repainted with their current highlights and marks.
        for (HWND control :
             {multiButton, ntscButton, palButton, pulseButton, triangleButton, noiseButton, controllersButton})
            InvalidateRect(control, nullptr, TRUE);
        for (HWND label : envelopeLabel)
            InvalidateRect(label, nullptr, TRUE);
    }
}
