// The command line, the size arithmetic and the paint, on their own.
#include <gtest/gtest.h>

#include "app/MainWindow.h"
#include "app/Options.h"
#include "app/Settings.h"
#include "app/Startup.h"

namespace {

struct OptionCase {
    std::vector<std::wstring> args;
    bool hasUrl;
    std::wstring url;
    bool autoClose;
    bool allowNoArchive;
};

}  // namespace

TEST(Options, AreExactCaseSensitiveAndUrlConsumesItsValue) {
    const OptionCase cases[] = {
        {{}, false, L"", false, false},
        {{L"--URL", L"x"}, false, L"", false, false},
        {{L"--url"}, false, L"", false, false},
        {{L"--url", L"--auto-close"}, true, L"--auto-close", false, false},
        {{L"--auto-close=1", L"--ALLOW-NO-QPA", L"--allow-no-qpa=yes"}, false, L"", false, false},
        {{L"--url", L"http://a/patch/manifest.json", L"--auto-close", L"--allow-no-qpa"}, true,
         L"http://a/patch/manifest.json", true, true},
        {{L"--url", L"first", L"--url", L"second"}, true, L"second", false, false},
        {{L"stray", L"--auto-clos", L"--auto-close"}, false, L"", true, false},
    };
    for (const OptionCase& c : cases) {
        const CommandLineOptions o = ParseOptions(c.args);
        std::wstring joined;
        for (auto& a : c.args) joined += a + L" ";
        SCOPED_TRACE(std::string(joined.begin(), joined.end()));
        EXPECT_EQ(o.hasUrl, c.hasUrl);
        EXPECT_EQ(o.url, c.url);
        EXPECT_EQ(o.autoClose, c.autoClose);
        EXPECT_EQ(o.allowNoArchive, c.allowNoArchive);
    }
}

TEST(BuiltAddresses, TheFirstIsTheManifestAddressTheRestAreTriedAfterIt) {
    const struct {
        std::wstring text;
        std::wstring first;
        std::vector<std::wstring> more;
    } cases[] = {
        {L"https://a/patch/manifest.json", L"https://a/patch/manifest.json", {}},
        {L"https://a/m.json https://b/m.json  http://c/m.json ", L"https://a/m.json", {L"https://b/m.json", L"http://c/m.json"}},
        {L"", L"", {}},
    };
    for (const auto& c : cases) {
        AppSettings s;
        s.fallbackUrls = {L"left over"};
        SplitBuiltAddresses(c.text, s);
        EXPECT_EQ(s.manifestUrl, c.first);
        EXPECT_EQ(s.fallbackUrls, c.more);
    }
}

TEST(WindowSize, ScalesWithTheScreenDpi) {
    EXPECT_EQ(ClientSizeForDpi(96).cx, 500);
    EXPECT_EQ(ClientSizeForDpi(96).cy, 265);
    EXPECT_EQ(ClientSizeForDpi(120).cx, 625);
    EXPECT_EQ(ClientSizeForDpi(120).cy, 331);
    EXPECT_EQ(ClientSizeForDpi(144).cx, 750);
    EXPECT_EQ(ClientSizeForDpi(144).cy, 398);
}

TEST(HeadlineColour, FirstMatchingRuleWins) {
    EXPECT_EQ(HeadlineColour(true, true, 0), RGB(110, 235, 155));
    EXPECT_EQ(HeadlineColour(false, true, 0), RGB(240, 244, 255));
    EXPECT_EQ(HeadlineColour(false, false, 5), RGB(240, 244, 255));
    EXPECT_EQ(HeadlineColour(false, false, 0), RGB(255, 110, 110));
}

namespace {

// Paints into a 32-bit DIB and gives the pixels back.
struct Canvas {
    int w, h;
    std::vector<COLORREF> px;
    COLORREF at(int x, int y) const { return px[static_cast<size_t>(y) * w + x]; }
};

Canvas Paint(int dpi, const PaintState& state) {
    const SIZE s = ClientSizeForDpi(dpi);
    Canvas c{s.cx, s.cy, {}};
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    BITMAPINFO bi = {};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = c.w;
    bi.bmiHeader.biHeight = -c.h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bmp);
    WindowFonts fonts = CreateWindowFonts(dpi);
    PaintClientArea(dc, c.w, c.h, state, fonts);
    GdiFlush();
    const auto* p = static_cast<const unsigned char*>(bits);
    for (int i = 0; i < c.w * c.h; ++i) c.px.push_back(RGB(p[4 * i + 2], p[4 * i + 1], p[4 * i]));
    DeleteWindowFonts(fonts);
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
    ReleaseDC(nullptr, screen);
    return c;
}

int CountInRow(const Canvas& c, int y, COLORREF colour) {
    int n = 0;
    for (int x = 0; x < c.w; ++x) n += c.at(x, y) == colour;
    return n;
}

bool AnyInRect(const Canvas& c, RECT r, COLORREF colour) {
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x)
            if (c.at(x, y) == colour) return true;
    return false;
}

const COLORREF kGold = RGB(212, 175, 55), kGreen = RGB(56, 182, 108), kTrack = RGB(14, 17, 26);

}  // namespace

TEST(Paint, LayoutAt96Dpi) {
    Canvas c = Paint(96, {L"", L"", 0, false, false});
    EXPECT_EQ(c.at(0, 0), RGB(28, 34, 53));        // header band
    EXPECT_EQ(c.at(2, 73), RGB(28, 34, 53));
    EXPECT_EQ(CountInRow(c, 74, kGold), 500);       // the gold rule, rows 74 and 75
    EXPECT_EQ(CountInRow(c, 75, kGold), 500);
    EXPECT_EQ(c.at(2, 76), RGB(20, 24, 36));        // background below the band
    EXPECT_EQ(c.at(24, 158), RGB(46, 56, 82));      // track frame corners
    EXPECT_EQ(c.at(475, 178), RGB(46, 56, 82));
    EXPECT_EQ(c.at(23, 158), RGB(20, 24, 36));
    EXPECT_EQ(c.at(30, 170), kTrack);               // empty bar at progress 0
}

TEST(Paint, FillWidthFollowsProgress) {
    Canvas nine = Paint(96, {L"", L"", 9, false, true});
    EXPECT_EQ(CountInRow(nine, 160, kGold), 4);    // 450 * 9 / 1000
    EXPECT_EQ(nine.at(25, 160), kGold);
    Canvas full = Paint(96, {L"", L"", 1000, false, true});
    EXPECT_EQ(full.at(25, 160), kGold);
    EXPECT_EQ(full.at(474, 160), kGold);
    EXPECT_EQ(full.at(475, 160), RGB(46, 56, 82));
    Canvas ready = Paint(96, {L"", L"", 1000, true, false});
    EXPECT_EQ(ready.at(25, 160), kGreen);
    EXPECT_EQ(CountInRow(ready, 160, kGreen), 450);
    EXPECT_EQ(CountInRow(Paint(96, {L"", L"", 0, true, false}), 160, kGreen), 0);
}

TEST(Paint, HeadlineColourAndPercentageAreDrawn) {
    const RECT headline = {24, 97, 476, 125};
    const std::wstring text = L"WWWWWWWW กำลังตรวจสอบ";
    EXPECT_TRUE(AnyInRect(Paint(96, {text, L"", 0, false, false}), headline, RGB(255, 110, 110)));
    EXPECT_TRUE(AnyInRect(Paint(96, {text, L"", 1000, true, false}), headline, RGB(110, 235, 155)));
    EXPECT_TRUE(AnyInRect(Paint(96, {text, L"", 0, false, true}), headline, RGB(240, 244, 255)));
    // The white percentage sits in the middle of the track.
    EXPECT_TRUE(AnyInRect(Paint(96, {L"", L"", 500, false, true}), {200, 159, 300, 178}, RGB(255, 255, 255)));
    EXPECT_FALSE(AnyInRect(Paint(96, {L"", L"", 500, false, true}), {26, 159, 150, 178}, RGB(255, 255, 255)));
}

TEST(Paint, LayoutAt120Dpi) {
    Canvas c = Paint(120, {L"", L"", 1000, true, false});
    ASSERT_EQ(c.w, 625);
    ASSERT_EQ(c.h, 331);
    const int hb = 331 * 78 / 270;  // 95
    EXPECT_EQ(hb, 95);
    EXPECT_EQ(CountInRow(c, hb - 1, kGold), 625);
    EXPECT_EQ(c.at(2, hb), RGB(20, 24, 36));
    const int m = 30, t = hb + 331 * 84 / 270;
    EXPECT_EQ(c.at(m, t), RGB(46, 56, 82));
    EXPECT_EQ(c.at(m - 1, t), RGB(20, 24, 36));
    EXPECT_EQ(CountInRow(c, t + 2, kGreen), 625 - 2 * m - 2);
}

// In high contrast every painted part takes the system's colours, and the percentage stays readable
// over both the fill and the empty track.
TEST(Paint, HighContrastUsesTheSystemColours) {
    const COLORREF window = GetSysColor(COLOR_WINDOW), text = GetSysColor(COLOR_WINDOWTEXT);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT), onHighlight = GetSysColor(COLOR_HIGHLIGHTTEXT);
    ASSERT_NE(highlight, onHighlight);
    ASSERT_NE(window, text);
    PaintState state{L"WWWWWWWW กำลังตรวจสอบ", L"", 500, false, true, true};
    Canvas c = Paint(96, state);
    EXPECT_EQ(c.at(0, 0), window);  // header band
    EXPECT_EQ(c.at(2, 100), window);
    EXPECT_EQ(CountInRow(c, 74, text), 500);  // the rule
    EXPECT_TRUE(AnyInRect(c, {24, 97, 476, 125}, text));  // headline
    EXPECT_EQ(c.at(24, 158), text);  // track frame
    EXPECT_EQ(c.at(25, 160), highlight);  // fill, 225 pixels
    EXPECT_EQ(c.at(474, 160), window);  // empty track
    // "50%" straddles the fill's end at x = 250.
    EXPECT_TRUE(AnyInRect(c, {200, 159, 250, 178}, onHighlight));
    EXPECT_TRUE(AnyInRect(c, {250, 159, 300, 178}, text));
    EXPECT_FALSE(AnyInRect(c, {0, 0, 500, 265}, RGB(212, 175, 55)));
    state.highContrast = false;
    EXPECT_EQ(Paint(96, state).at(25, 160), kGold);
}
