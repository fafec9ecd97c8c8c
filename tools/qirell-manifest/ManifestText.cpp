#include "Tool.h"
#include "manifest/Json.h"

bool AppendJsonString(std::string& out, const std::string& value) {
    out += '"';
    for (char c : value) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // The reader does not decode \u escapes, so other control bytes cannot be written at all.
                if (static_cast<unsigned char>(c) < 0x20) return false;
                out += c;  // UTF-8 passes through as it is
        }
    }
    out += '"';
    return true;
}

namespace {

bool AppendStringList(std::string& out, const char* name, const std::vector<std::string>& items, std::string& error) {
    out += "  \"";
    out += name;
    out += "\": [";
    for (size_t i = 0; i < items.size(); ++i) {
        out += i ? ",\n    " : "\n    ";
        if (!AppendJsonString(out, items[i])) {
            error = items[i] + ": holds a control character";
            return false;
        }
    }
    out += items.empty() ? "]" : "\n  ]";
    return true;
}

}  // namespace

bool ManifestText(const std::string& version, const std::vector<ReleaseFile>& files, const std::string& urlPrefix,
                  const std::vector<std::string>& deleteFiles, const std::vector<std::string>& deleteDirs,
                  std::string& text, std::string& error) {
    text = "{\n  \"version\": ";
    if (!AppendJsonString(text, version)) {
        error = "the version text holds a control character";
        return false;
    }
    text += ",\n  \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        const ReleaseFile& f = files[i];
        text += i ? ",\n    {\"path\": " : "\n    {\"path\": ";
        bool ok = AppendJsonString(text, f.path);
        const std::string url = FileAddress(f.path, urlPrefix);
        if (ok && !url.empty()) {
            text += ", \"url\": ";
            ok = AppendJsonString(text, url);
        }
        if (!ok) {
            error = f.path + ": holds a control character";
            return false;
        }
        text += ", \"size\": " + std::to_string(f.size) + ", \"sha256\": \"" + f.sha256 + "\"";
        if (!f.map.url.empty())
            text += ", \"delta\": {\"url\": \"" + f.map.url + "\", \"size\": " + std::to_string(f.map.size) +
                    ", \"sha256\": \"" + f.map.sha256 + "\"}";
        text += "}";
    }
    text += files.empty() ? "],\n" : "\n  ],\n";
    if (!AppendStringList(text, "delete_files", deleteFiles, error)) return false;
    text += ",\n";
    if (!AppendStringList(text, "delete_dirs", deleteDirs, error)) return false;
    // Every folder this tool lists was named by the operator; the next build may carry them on.
    if (!deleteDirs.empty()) text += ",\n  \"delete_dirs_named\": true";
    text += "\n}\n";
    return true;
}

bool DeleteDirsNamed(const std::string& text) {
    if (!CursorCanAddress(text.size())) return false;
    JsonCursor c{text};
    if (!Consume(c, '{') || Consume(c, '}')) return false;
    bool named = false;
    std::string name;
    for (;;) {
        if (!ReadString(c, name) || !Consume(c, ':')) return false;
        if (name == "delete_dirs_named") {
            SkipWhitespace(c);
            named = text.compare(c.pos, 4, "true") == 0;
        }
        if (!SkipValue(c)) return false;
        if (!Consume(c, ',')) return named;
    }
}
