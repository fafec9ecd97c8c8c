#include "app/Paint.h"

#include "base/Handle.h"
#include "base/Hooks.h"

namespace {

HFONT MakeFont(const wchar_t* face, int points, int weight, int dpiY) {
    return CreateFontW(-MulDiv(points, dpiY, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_SWISS, face);
}

void Fill(HDC dc, const RECT& r, COLORREF colour) {
    UniqueGdi brush(CreateSolidBrush(colour));
    FillRect(dc, &r, static_cast<HBRUSH>(brush.get()));
}

void Text(HDC dc, const std::wstring& text, RECT r, HFONT font, COLORREF colour, UINT format) {
    if (font) SelectObject(dc, font);
    SetTextColor(dc, colour);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &r, format);
}

bool RealHighContrast() {
    HIGHCONTRASTW hc = {};
    hc.cbSize = sizeof hc;
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON);
}

PaintColours SystemColours() {
    const COLORREF window = GetSysColor(COLOR_WINDOW), text = GetSysColor(COLOR_WINDOWTEXT);
    return {window,
            window,
            text,
            text,
            text,
            text,
            text,
            window,
            text,
            GetSysColor(COLOR_HIGHLIGHT),
            GetSysColor(COLOR_HIGHLIGHTTEXT),
            text};
}

}  // namespace

WindowFonts CreateWindowFonts(int dpiY) {
    WindowFonts f;
    f.title = MakeFont(L"Segoe UI", 18, FW_BOLD, dpiY);
    f.subtitle = MakeFont(L"Tahoma", 9, FW_NORMAL, dpiY);
    f.headline = MakeFont(L"Tahoma", 11, FW_BOLD, dpiY);
    f.detail = MakeFont(L"Tahoma", 9, FW_NORMAL, dpiY);
    f.button = MakeFont(L"Tahoma", 10, FW_BOLD, dpiY);
    return f;
}

void DeleteWindowFonts(WindowFonts& fonts) {
    for (HFONT* f : {&fonts.title, &fonts.subtitle, &fonts.headline, &fonts.detail, &fonts.button}) {
        if (*f) DeleteObject(*f);
        *f = nullptr;
    }
}

ClientLayout LayoutClientArea(int w, int h) {
    const int m = w * 24 / 500;
    const int hb = h * 78 / 270;
    const int t = hb + h * 84 / 270;
    return {{0, 0, w, hb},
            {0, hb - 2, w, hb},
            {m, hb * 14 / 78, w - m, hb * 48 / 78},
            {m, hb * 46 / 78, w - m, hb - 6},
            {m, hb + h * 22 / 270, w - m, hb + h * 50 / 270},
            {m, hb + h * 52 / 270, w - m, hb + h * 76 / 270},
            {m, t, w - m, t + h * 22 / 270}};
}

COLORREF HeadlineColour(bool ready, bool busy, int progress) {
    if (ready) return RGB(110, 235, 155);
    if (busy || progress > 0) return RGB(240, 244, 255);
    return RGB(255, 110, 110);
}

bool HighContrastOn() { return Hooked(gHooks.highContrast, RealHighContrast)(); }

PaintColours ColoursFor(const PaintState& state) {
    if (state.highContrast) return SystemColours();
    const COLORREF gold = RGB(212, 175, 55), white = RGB(255, 255, 255);
    return {RGB(20, 24, 36),
            RGB(28, 34, 53),
            gold,
            RGB(238, 203, 98),
            RGB(170, 180, 205),
            HeadlineColour(state.ready, state.busy, state.progress),
            RGB(165, 175, 200),
            RGB(14, 17, 26),
            RGB(46, 56, 82),
            state.ready ? RGB(56, 182, 108) : gold,
            white,
            white};
}

void PaintClientArea(HDC dc, int w, int h, const PaintState& state, const WindowFonts& fonts) {
    const ClientLayout at = LayoutClientArea(w, h);
    const PaintColours c = ColoursFor(state);
    Fill(dc, {0, 0, w, h}, c.background);
    Fill(dc, at.header, c.header);
    Fill(dc, at.rule, c.rule);

    HGDIOBJ oldFont = GetCurrentObject(dc, OBJ_FONT);
    SetBkMode(dc, TRANSPARENT);
    const UINT line = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX;
    Text(dc, L"QIRELL QX", at.title, fonts.title, c.title, line);
    Text(dc, L"Classic 5.0 Pre-Vossine \u00B7 Auto-Patcher & QirellShield", at.subtitle, fonts.subtitle, c.subtitle,
         line);
    Text(dc, state.headline, at.headline, fonts.headline, c.headline, line | DT_END_ELLIPSIS);
    Text(dc, state.detail, at.detail, fonts.detail, c.detail, line | DT_PATH_ELLIPSIS);

    const RECT& track = at.track;
    Fill(dc, track, c.track);
    {
        UniqueGdi frame(CreateSolidBrush(c.frame));
        FrameRect(dc, &track, static_cast<HBRUSH>(frame.get()));
    }
    const int f = (track.right - track.left - 2) * state.progress / 1000;
    const RECT fill = {track.left + 1, track.top + 1, track.left + 1 + f, track.bottom - 1};
    if (f > 0) Fill(dc, fill, c.fill);

    // The percentage keeps the detail font selected above.
    const std::wstring percent = std::to_wstring(state.progress / 10) + L"%";
    if (c.percentOnFill == c.percentOnTrack) {
        Text(dc, percent, track, nullptr, c.percentOnTrack, line | DT_CENTER);
    } else {
        const int saved = SaveDC(dc);
        ExcludeClipRect(dc, fill.left, fill.top, fill.right, fill.bottom);
        Text(dc, percent, track, nullptr, c.percentOnTrack, line | DT_CENTER);
        RestoreDC(dc, saved);
        if (f > 0) {
            const int again = SaveDC(dc);
            IntersectClipRect(dc, fill.left, fill.top, fill.right, fill.bottom);
            Text(dc, percent, track, nullptr, c.percentOnFill, line | DT_CENTER);
            RestoreDC(dc, again);
        }
    }
    SelectObject(dc, oldFont);
}
