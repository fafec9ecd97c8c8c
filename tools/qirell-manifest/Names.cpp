// Which names a player's Windows folder can hold exactly as the release holds them.
#include <cstdio>

#include "Tool.h"
#include "manifest/PathRule.h"
#include "state/StateNames.h"
#include "text/Utf8.h"

namespace {

constexpr size_t kMaxNameUnits = 255;          // UTF-16 units per name on NTFS
constexpr const char kSideSuffix[] = ".patch.tmp";  // appended by the patcher while a file downloads

// One code point from text at i; false on anything that is not strict UTF-8 (overlong forms,
// surrogates and values above U+10FFFF included).
bool NextCodePoint(const std::string& text, size_t& i, char32_t& cp) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char b = byte(i);
    size_t extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 4;
    if (extra == 4 || i + extra >= text.size() + (extra ? 0 : 1)) return false;
    cp = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
    return true;
}

// Lower-case letters and their capitals. kDelta: the whole range moves by delta; kPairs: capitals at
// the range's first code point and every second one after it, each followed by its small letter.
enum FoldKind { kDelta, kPairs };
struct FoldRange {
    char32_t first, last;
    FoldKind kind;
    int delta;
};
constexpr FoldRange kFolds[] = {
    {0x0061, 0x007A, kDelta, -32},  {0x00B5, 0x00B5, kDelta, 0x39C - 0xB5},
    {0x00E0, 0x00F6, kDelta, -32},  {0x00F8, 0x00FE, kDelta, -32},
    {0x00FF, 0x00FF, kDelta, 0x178 - 0xFF},
    {0x0100, 0x012F, kPairs, 0},    {0x0131, 0x0131, kDelta, 0x49 - 0x131},
    {0x0132, 0x0137, kPairs, 0},    {0x0139, 0x0148, kPairs, 0},
    {0x014A, 0x0177, kPairs, 0},    {0x0179, 0x017E, kPairs, 0},
    {0x017F, 0x017F, kDelta, 0x53 - 0x17F},
    {0x01CD, 0x01DC, kPairs, 0},    {0x01DE, 0x01EF, kPairs, 0},
    {0x01F8, 0x021F, kPairs, 0},    {0x0222, 0x0233, kPairs, 0},
    {0x0246, 0x024F, kPairs, 0},
    {0x03AC, 0x03AC, kDelta, 0x386 - 0x3AC}, {0x03AD, 0x03AF, kDelta, -37},
    {0x03B1, 0x03C1, kDelta, -32},  {0x03C2, 0x03C2, kDelta, 0x3A3 - 0x3C2},
    {0x03C3, 0x03CB, kDelta, -32},  {0x03CC, 0x03CC, kDelta, 0x38C - 0x3CC},
    {0x03CD, 0x03CE, kDelta, -63},  {0x03D8, 0x03EF, kPairs, 0},
    {0x0430, 0x044F, kDelta, -32},  {0x0450, 0x045F, kDelta, -80},
    {0x0460, 0x0481, kPairs, 0},    {0x048A, 0x04BF, kPairs, 0},
    {0x04C1, 0x04CE, kPairs, 0},    {0x04CF, 0x04CF, kDelta, 0x4C0 - 0x4CF},
    {0x04D0, 0x052F, kPairs, 0},    {0x0561, 0x0586, kDelta, -48},
    {0x1E00, 0x1E95, kPairs, 0},    {0x1EA0, 0x1EFF, kPairs, 0},
    {0x2170, 0x217F, kDelta, -16},  {0x24D0, 0x24E9, kDelta, -26},
    {0xFF41, 0xFF5A, kDelta, -32},
};

char32_t Upper(char32_t cp) {
    switch (cp) {  // the three-form letters: capital, title case, small
        case 0x1C5: case 0x1C6: return 0x1C4;
        case 0x1C8: case 0x1C9: return 0x1C7;
        case 0x1CB: case 0x1CC: return 0x1CA;
        case 0x1F2: case 0x1F3: return 0x1F1;
        default: break;
    }
    for (const FoldRange& r : kFolds) {
        if (cp < r.first || cp > r.last) continue;
        if (r.kind == kDelta) return static_cast<char32_t>(static_cast<int>(cp) + r.delta);
        return ((cp - r.first) % 2) ? cp - 1 : cp;
    }
    return cp;
}

bool IsDeviceStem(std::string stem) {
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
    std::string upper;
    for (char c : stem) upper += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
    for (const char* d : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (upper == d) return true;
    if (upper.size() < 4 || (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)) return false;
    std::string digit = upper.substr(3);
    // Windows also takes the superscript digits one to three as port numbers.
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" || digit == "\xC2\xB2" ||
           digit == "\xC2\xB3";
}

std::string ComponentProblem(const std::string& name) {
    if (name.empty()) return "has an empty name between two separators";
    if (name == ".") return "has a '.' folder";
    if (name.find("..") != std::string::npos) return "holds '..', which the patcher refuses";
    if (name.back() == '.' || name.back() == ' ')
        return "has a name ending in a dot or space, which Windows drops (\"" + name + "\")";
    if (IsDeviceStem(name.substr(0, name.find('.'))))
        return "uses the Windows device name " + name.substr(0, name.find('.'));
    if (Utf16Length(name) + sizeof kSideSuffix - 1 > kMaxNameUnits)
        return "has a name longer than " + std::to_string(kMaxNameUnits - (sizeof kSideSuffix - 1)) +
               " UTF-16 units (the patcher adds " + kSideSuffix + " while downloading)";
    return "";
}

}  // namespace

bool IsValidUtf8(const std::string& text) {
    char32_t cp;
    for (size_t i = 0; i < text.size();)
        if (!NextCodePoint(text, i, cp)) return false;
    return true;
}

size_t Utf16Length(const std::string& text) {
    size_t units = 0;
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        if (!NextCodePoint(text, i, cp)) {
            ++i;
            cp = 0xFFFD;
        }
        units += cp >= 0x10000 ? 2 : 1;
    }
    return units;
}

std::string Printable(const std::string& text) {
    std::string out;
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        size_t at = i;
        if (NextCodePoint(text, i, cp) && cp >= 0x20 && cp != 0x7F) {
            out.append(text, at, i - at);
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[at]));
        out += hex;
        i = at + 1;
    }
    return out;
}

std::string FoldCase(const std::string& text) {
    std::string out;
    char32_t cp;
    for (size_t i = 0; i < text.size();) {
        if (NextCodePoint(text, i, cp)) {
            AppendUtf8(out, Upper(cp));
        } else {
            out += text[i++];
        }
    }
    return out;
}

std::string StagingProblem() {
    return std::string("is or lies in ") + kStagingFolderName +
           " (any letter case) at the top of the game folder, where players' patchers keep the next release's "
           "files until its release day";
}

bool InStagingFolder(const std::string& path) {
    const std::string resolved = ResolveRelativePath(path);
    return FoldCase(resolved.substr(0, resolved.find('/'))) == FoldCase(kStagingFolderName);
}

std::string NameProblem(const std::string& path) {
    if (path.empty()) return "is empty";
    if (!IsValidUtf8(path)) return "is not valid UTF-8 (a player's folder would get U+FFFD in its place)";
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7F) return "holds a control character";
    if (path[0] == '/' || path[0] == '\\') return "starts with a separator";
    if (path.find('\\') != std::string::npos) return "holds a backslash, a folder separator on Windows";
    for (char c : std::string("<>:\"|?*"))
        if (path.find(c) != std::string::npos) return std::string("holds '") + c + "', which Windows does not allow";
    for (size_t start = 0;;) {
        size_t end = path.find('/', start);
        std::string problem = ComponentProblem(path.substr(start, end == std::string::npos ? end : end - start));
        if (!problem.empty()) return problem;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    // Start-up deletes the patcher's previous executable, left under this name by a self-update.
    if (FoldCase(path) == "QIRELLPATCHER.EXE.OLD")
        return "is the name the patcher deletes at every start (its previous executable after a self-update); "
               "players would download it again on every run";
    if (InStagingFolder(path)) return StagingProblem();
    if (path.size() >= sizeof kSideSuffix - 1 &&
        path.compare(path.size() - (sizeof kSideSuffix - 1), std::string::npos, kSideSuffix) == 0)
        return std::string("ends in ") + kSideSuffix + ", the patcher's name for a file being downloaded";
    if (!IsSafeRelativePath(path)) return "is refused by the patcher's path rule";
    const std::string name = path.substr(path.rfind('/') + 1);
    if (IsPatcherStateName(name.data(), name.size()))
        return "is named like the patcher's own state or support log (" + std::string(kLogFileName) + ", " +
               kOldLogFileName + ", " + kStatePrefix + "*" + kStateSuffix +
               "), which players are asked to send to support; rename it";
    return "";
}
