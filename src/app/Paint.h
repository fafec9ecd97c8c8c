#pragma once
// The client area as the window paints it: fonts, layout, colours and the paint itself.
#include <windows.h>

#include <string>

// What one paint draws: a copy of the board, and whether the system asks for high contrast.
struct PaintState {
    std::wstring headline;
    std::wstring detail;
    int progress = 0;
    bool ready = false;
    bool busy = false;
    bool highContrast = false;
};

struct WindowFonts {
    HFONT title = nullptr;
    HFONT subtitle = nullptr;
    HFONT headline = nullptr;
    HFONT detail = nullptr;
    HFONT button = nullptr;
};

WindowFonts CreateWindowFonts(int dpiY);
void DeleteWindowFonts(WindowFonts& fonts);

// Where each painted part sits in a client area of w x h.
struct ClientLayout {
    RECT header, rule, title, subtitle, headline, detail, track;
};
ClientLayout LayoutClientArea(int w, int h);

// The colours of one paint. In high contrast they are the system's; the percentage then takes one
// colour over the fill and another over the empty track, so it stays readable on both.
struct PaintColours {
    COLORREF background, header, rule, title, subtitle, headline, detail;
    COLORREF track, frame, fill, percentOnFill, percentOnTrack;
};
PaintColours ColoursFor(const PaintState& state);
COLORREF HeadlineColour(bool ready, bool busy, int progress);
// SPI_GETHIGHCONTRAST, or the test seam's answer.
bool HighContrastOn();

// Composes the whole client area of size w x h into dc.
void PaintClientArea(HDC dc, int w, int h, const PaintState& state, const WindowFonts& fonts);
