// libFuzzer target: arbitrary bytes as a manifest, then every stored url through ResolveFileUrl.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "manifest/Manifest.h"

namespace {

// Byte by byte, so every url byte stays visible in the resolved address.
std::wstring Widen(const std::string& bytes) {
    std::wstring out;
    for (char ch : bytes) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(ch)));
    return out;
}

bool SameFile(const ManifestFile& a, const ManifestFile& b) {
    return a.path == b.path && a.url == b.url && a.size == b.size && a.sha256 == b.sha256;
}

bool SameManifest(const PatchManifest& a, const PatchManifest& b) {
    if (a.version != b.version || a.delete_dirs != b.delete_dirs ||
        a.delete_files != b.delete_files || a.files.size() != b.files.size())
        return false;
    for (size_t i = 0; i < a.files.size(); ++i)
        if (!SameFile(a.files[i], b.files[i])) return false;
    return true;
}

bool EndsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsAbsolute(const std::wstring& url) {
    return url.rfind(L"http://", 0) == 0 || url.rfind(L"https://", 0) == 0;
}

void CheckEntry(const ManifestFile& f) {
    if (f.path.empty() || f.sha256.empty() || f.url.empty()) abort();
    for (char ch : f.sha256)
        if (ch >= 'A' && ch <= 'Z') abort();

    static const wchar_t* const kBases[] = {
        L"https://update.example/patch/manifest.json",
        L"https://update.example/patch/manifest.json?from=/a/b",
        L"https://update.example",
        L"manifest.json",
        L"",
    };
    const std::wstring url = Widen(f.url);
    for (const wchar_t* base : kBases) {
        const std::wstring resolved = ResolveFileUrl(base, url);
        if (IsAbsolute(url) ? resolved != url : !EndsWith(resolved, url)) abort();
        if (resolved.find(L'?') < resolved.size() - url.size()) abort();  // the base's query never leaks
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    PatchManifest manifest;
    if (!ParseManifest(text, manifest)) return 0;
    for (const ManifestFile& f : manifest.files) CheckEntry(f);

    // Nothing after the root object is read, so more bytes there cannot change the result; this also
    // catches a read at or past the end of the text, which would see the appended byte.
    PatchManifest extended;
    if (!ParseManifest(text + "\"0[{", extended) || !SameManifest(manifest, extended)) abort();
    return 0;
}
