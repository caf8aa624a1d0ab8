// Messages of the editor's main window: the controls' notifications become
// the EditorModel's actions, files dropped from Explorer are handed to it,
// and the owner-drawn buttons and the envelope labels are painted with their
// highlights and marks. The wave area is no control: the main window paints
// it and takes the mouse's drawing on it.
#include "GUI_win32.h"

#include "EditorModel.h"

#include <commctrl.h>
#include <shellapi.h>

#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr COLORREF kEmptyEnvelopeColour = RGB(255, 255, 128);  // light yellow
constexpr COLORREF kWaveColour = RGB(0, 120, 215);
constexpr int kCornerSize = 5;
constexpr int kTextOffset = 4;  // pixels below the button's top edge

void drawButton(const EditorModel& model, const DRAWITEMSTRUCT& item)
{
    const COLORREF fill = GetSysColor(model.isSelected(static_cast<int>(item.CtlID)) ? COLOR_BTNSHADOW : COLOR_BTNFACE);
    HDC dc = item.hDC;
    SetDCBrushColor(dc, fill);
    SetBkColor(dc, fill);
    SelectObject(dc, GetStockObject(DC_BRUSH));
    RECT area = item.rcItem;
    RoundRect(dc, area.left, area.top, area.right, area.bottom, kCornerSize, kCornerSize);
    SetTextColor(dc, GetSysColor((item.itemState & ODS_DISABLED) ? COLOR_GRAYTEXT : COLOR_BTNTEXT));

    char text[256];
    const int length = GetWindowTextLengthA(item.hwndItem);
    GetWindowTextA(item.hwndItem, text, sizeof text);
    area.top += kTextOffset;
    DrawTextA(dc, text, length < static_cast<int>(sizeof text) ? length : -1, &area, DT_CENTER);
}

RECT waveFrame()
{
    return {kWaveArea.x - 1, kWaveArea.y - 1, kWaveArea.x + kWaveArea.width + 1, kWaveArea.y + kWaveArea.height + 1};
}

void fill(HDC dc, int left, int top, int right, int bottom, COLORREF colour)
{
    const RECT area{left, top, right, bottom};
    SetDCBrushColor(dc, colour);
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

// The wave as bars from the bottom on white, in a black frame; nothing for a
// program without a wave.
void drawWave(const EditorModel& model, HDC dc)
{
    EditorModel::ShownWave wave;
    if (!model.shownWave(wave))
        return;
    const RECT frame = waveFrame();
    fill(dc, frame.left, frame.top, frame.right, frame.bottom, RGB(0, 0, 0));
    const int bottom = kWaveArea.y + kWaveArea.height;
    fill(dc, kWaveArea.x, kWaveArea.y, kWaveArea.x + kWaveArea.width, bottom, RGB(255, 255, 255));
    const int length = wave.program.length;
    for (int step = 0; step < length; ++step)
        fill(dc, waveStepLeft(step, length), waveBarTop(wave.steps()[step], wave.top), waveStepLeft(step + 1, length),
             bottom, kWaveColour);
}

// The mouse on the main window: a press on the wave area draws until the
// release, the window holding the mouse meanwhile so that a drag beyond its
// edge keeps drawing along the area's.
bool handleMouse(GUI& gui, HWND window, UINT message, LPARAM lParam)
{
    EditorModel& model = gui.model;
    // Signed: beyond the window's left or top edge while it holds the mouse.
    const int x = static_cast<short>(LOWORD(lParam)), y = static_cast<short>(HIWORD(lParam));
    switch (message) {
    case WM_LBUTTONDOWN:
        model.pressWave(x, y);
        if (!model.isDrawingWave())
            return false;
        SetCapture(window);
        break;
    case WM_MOUSEMOVE:
        if (!model.isDrawingWave())
            return false;
        model.dragWave(x, y);
        break;
    case WM_LBUTTONUP:
        if (!model.isDrawingWave())
            return false;
        model.releaseWave();
        ReleaseCapture();
        break;
    case WM_CAPTURECHANGED:
        model.releaseWave();  // the mouse taken away ends the drawing
        return false;
    default:
        return false;
    }
    invalidateWave(window);
    return true;
}

std::string utf8Of(const wchar_t* text, int length)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
    return out;
}

// An edit field's text as UTF-8, which the programs keep and the Linux editor
// reads: the field is a wide-character window, so nothing typed or pasted is
// lost to a code page. Cut to what a program keeps, at a character's start.
std::string fieldText(HWND field)
{
    wchar_t text[kEnvelopeTextSize + 1];
    const int length = GetWindowTextW(field, text, static_cast<int>(std::size(text)));
    std::string out = utf8Of(text, length);
    if (out.size() >= kEnvelopeTextSize) {
        size_t cut = kEnvelopeTextSize - 1;
        while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80)
            --cut;  // out[cut] continues a character that would be cut in two
        out.resize(cut);
    }
    return out;
}

// The dropped files' paths as UTF-8, for the model; the drop's memory is
// the receiver's to free.
void dropFiles(EditorModel& model, HDROP drop)
{
    constexpr UINT kCountQuery = 0xFFFFFFFF;
    const UINT count = DragQueryFileW(drop, kCountQuery, nullptr, 0);
    std::vector<std::string> paths;
    // Out of memory, the drop is refused: nothing may throw back into the
    // host's message loop.
    try {
        for (UINT i = 0; i < count; ++i) {
            const UINT length = DragQueryFileW(drop, i, nullptr, 0);
            std::wstring path(length + 1, L'\0');
            if (length > 0 && DragQueryFileW(drop, i, path.data(), length + 1) == length)
                paths.push_back(utf8Of(path.c_str(), static_cast<int>(length)));
        }
    } catch (const std::bad_alloc&) {
        paths.clear();
    } catch (const std::length_error&) {
        paths.clear();
    }
    DragFinish(drop);
    if (!paths.empty())
        model.dropFiles(paths);
}

}  // namespace

void invalidateWave(HWND window)
{
    const RECT frame = waveFrame();
    InvalidateRect(window, &frame, TRUE);
}

LRESULT CALLBACK editorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* gui = reinterpret_cast<GUI*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (gui && message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        drawWave(gui->model, dc);
        EndPaint(window, &paint);
        return 0;
    }
    if (gui && handleMouse(*gui, window, message, lParam))
        return 0;
    if (gui && message == WM_DROPFILES && wParam != 0) {
        dropFiles(gui->model, reinterpret_cast<HDROP>(wParam));
        return 0;
    }
    // The slider's notifications; a step up (TB_LINEUP) comes with wParam 0.
    // Every drag, page or key press ends in TB_ENDTRACK: the moves before it
    // are one gesture.
    if (gui && message == WM_VSCROLL && lParam != 0 && reinterpret_cast<HWND>(lParam) == gui->gainSlider) {
        if (LOWORD(wParam) == TB_ENDTRACK)
            gui->model.releaseGainSlider();
        else
            gui->model.moveGainSlider(static_cast<int32_t>(SendMessageA(gui->gainSlider, TBM_GETPOS, 0, 0)));
        return 0;
    }
    if (!gui || wParam == 0 || lParam == 0)
        return DefWindowProcA(window, message, wParam, lParam);
    EditorModel& model = gui->model;
    const auto control = reinterpret_cast<HWND>(lParam);

    switch (message) {
    case WM_DRAWITEM:
        drawButton(model, *reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return 1;
    case WM_COMMAND:
        if (HIWORD(wParam) == EN_CHANGE) {
            for (int field = 0; field < kEditorFieldCount; ++field) {
                if (control == gui->fieldEdit[field])
                    model.editField(field, gui->fillingTexts ? gui->fillingTexts[field] : fieldText(control).c_str());
            }
        }
        // Only a plain click counts: the second click of a double click and the
        // focus notifications of BS_NOTIFY do nothing.
        if (HIWORD(wParam) == BN_CLICKED)
            model.click(LOWORD(wParam));
        return 0;
    case WM_CTLCOLORSTATIC: {
        COLORREF colour = GetSysColor(COLOR_BTNFACE);
        for (int kind = 0; kind < kEnvelopeKindCount; ++kind)
            if (control == gui->fieldLabel[kind] && model.envelopeIsEmpty(kind))
                colour = kEmptyEnvelopeColour;
        SetBkColor(reinterpret_cast<HDC>(wParam), colour);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
