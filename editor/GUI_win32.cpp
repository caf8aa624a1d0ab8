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
constexpr DWORD kCentredLabelStyle = kLabelStyle | SS_CENTER;
constexpr DWORD kEditStyle = WS_CHILD | WS_VISIBLE | WS_BORDER | ES_AUTOHSCROLL;
constexpr DWORD kButtonStyle = WS_CHILD | WS_VISIBLE | BS_NOTIFY | BS_OWNERDRAW;
constexpr DWORD kSliderStyle = WS_CHILD | WS_VISIBLE | TBS_VERT | TBS_BOTH | TBS_NOTICKS;
constexpr WPARAM kEditLimit = 1024;  // a 1024th character shows, but the program keeps 1023
constexpr LPARAM kSliderPageSize = 4;

HWND createControl(HWND parent, const char* className, const char* text, DWORD style, int id, const EditorArea& area)
{
    return CreateWindowExA(0, className, text, style, area.x, area.y, area.width, area.height, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module(), nullptr);
}

// The status may name dropped files, and the fields hold what was typed:
// both UTF-8.
void setUtf8Text(HWND control, const char* text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (length <= 0)
        return;
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), length);
    SetWindowTextW(control, wide.c_str());
}

// A wide-character edit field: it keeps whatever the user types or pastes,
// which a code page could not.
HWND createField(HWND parent, const EditorArea& area)
{
    return CreateWindowExW(0, L"edit", L"0", kEditStyle, area.x, area.y, area.width, area.height, parent, nullptr,
                           module(), nullptr);
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

    for (int field = 0; field < kEditorFieldCount; ++field)
        fieldLabel[field] = createControl(window, "static", "ST_U", kLabelStyle, 0, editorFieldLabelArea(field));
    for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
        SetWindowTextA(fieldLabel[kind], kEnvelopeLabelText[kind]);
    for (int field = kEnvelopeKindCount; field < kEditorFieldCount; ++field)
        SetWindowTextA(fieldLabel[field], kPlayingLabelText[field - kEnvelopeKindCount]);
    for (int field = 0; field < kEditorFieldCount; ++field)
        fieldEdit[field] = createField(window, editorFieldArea(field));
    for (HWND edit : fieldEdit)
        SendMessageA(edit, EM_LIMITTEXT, kEditLimit, 0);
    for (size_t i = 0; i < std::size(kEditorButtons); ++i)
        buttons[i] = createControl(window, "button", kEditorButtons[i].text, kButtonStyle, kEditorButtons[i].id,
                                   kEditorButtons[i].area);
    gainSlider = createControl(window, TRACKBAR_CLASSA, "Gain", kSliderStyle, kGainSlider, kGainSliderArea);
    SendMessageA(gainSlider, TBM_SETRANGE, TRUE, MAKELPARAM(0, kGainSliderMax));
    SendMessageA(gainSlider, TBM_SETPAGESIZE, 0, kSliderPageSize);
    midiChannelLabel = createControl(window, "static", "ST_U", kLabelStyle, kMidiChannelLabel, kMidiChannelArea);
    polyphonyLabel = createControl(window, "static", "ST_U", kLabelStyle, kPolyphonyLabel, kPolyphonyArea);
    statusLabel = createControl(window, "static", "ST_U", kLabelStyle, kStatusLabel, kStatusArea);
    waveLabel = createControl(window, "static", "", kCentredLabelStyle, kWaveLabel, kWaveLabelArea);
    // Tracker instruments dropped from Explorer arrive as WM_DROPFILES.
    DragAcceptFiles(window, TRUE);

    model.markForRefresh();
    return true;
}

void GUI::close()
{
    model.releaseWave();
    for (HWND& label : fieldLabel)
        destroy(label);
    for (HWND& edit : fieldEdit)
        destroy(edit);
    for (HWND& button : buttons)
        destroy(button);
    for (HWND* control : {&gainSlider, &midiChannelLabel, &polyphonyLabel, &statusLabel, &waveLabel, &window})
        destroy(*control);
}

void GUI::idle()
{
    if (!window)
        return;  // closed: the flags wait for the next open, which sets them anyway
    if (model.takeRefreshTexts()) {
        // Copied out first: setting an edit's text makes it report a change,
        // whose handling locks the bank again.
        char texts[kEditorFieldCount][kEnvelopeTextSize];
        model.shownFieldTexts(texts);
        fillingTexts = texts;
        for (int field = 0; field < kEditorFieldCount; ++field)
            setUtf8Text(fieldEdit[field], texts[field]);
        fillingTexts = nullptr;
        SendMessageA(gainSlider, TBM_SETPOS, TRUE, model.sliderPosition());
        invalidateWave(window);
    }
    if (model.takeRefreshStatus()) {
        char text[32];
        model.midiChannelText(text);
        SetWindowTextA(midiChannelLabel, text);
        model.polyphonyText(text);
        SetWindowTextA(polyphonyLabel, text);
        setUtf8Text(statusLabel, model.statusText());
        model.waveLabelText(text);
        SetWindowTextA(waveLabel, text);
        invalidateWave(window);
        // Repainted with their current texts, highlights and marks.
        for (size_t i = 0; i < std::size(kEditorButtons); ++i) {
            SetWindowTextA(buttons[i], model.buttonText(kEditorButtons[i].id));
            EnableWindow(buttons[i], model.isEnabled(kEditorButtons[i].id));
            InvalidateRect(buttons[i], nullptr, TRUE);
        }
        for (int field = 0; field < kEditorFieldCount; ++field) {
            SetWindowTextA(fieldLabel[field], model.rowLabel(field));
            InvalidateRect(fieldLabel[field], nullptr, TRUE);
        }
    }
}
