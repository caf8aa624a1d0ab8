// Messages of the editor's main window: the controls' notifications become
// the EditorModel's actions, files dropped from Explorer are handed to it,
// and the owner-drawn buttons and the envelope labels are painted with their
// highlights and marks.
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

    char text[256];
    const int length = GetWindowTextLengthA(item.hwndItem);
    GetWindowTextA(item.hwndItem, text, sizeof text);
    area.top += kTextOffset;
    DrawTextA(dc, text, length < static_cast<int>(sizeof text) ? length : -1, &area, DT_CENTER);
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

LRESULT CALLBACK editorWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* gui = reinterpret_cast<GUI*>(GetWindowLongPtrA(window, GWLP_USERDATA));
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
            for (int kind = 0; kind < kEnvelopeKindCount; ++kind) {
                if (control == gui->envelopeEdit[kind])
                    model.editEnvelope(kind, gui->fillingTexts ? gui->fillingTexts[kind] : fieldText(control).c_str());
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
            if (control == gui->envelopeLabel[kind] && model.envelopeIsEmpty(kind))
                colour = kEmptyEnvelopeColour;
        SetBkColor(reinterpret_cast<HDC>(wParam), colour);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}
