// A file's download address: how build writes it and how verify follows it to a published file.
// The patcher sends the address as it stands (no escaping of its own that could be relied on), the
// server stops the path at '?' or '#' and decodes %XX, so every other byte must be one that travels
// unchanged. '+' is escaped too: some servers read it as a space.
#include "Tool.h"
#include "text/Hex.h"

namespace {

bool TravelsAsIs(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    for (char k : std::string("-._~/!$&'(),;=@"))
        if (c == static_cast<unsigned char>(k)) return true;
    return false;
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The file a decoded path names under the published folder, as the server resolves it.
bool FolderPath(const std::string& decoded, std::string& local, std::string& problem) {
    local.clear();
    for (size_t start = 0; start <= decoded.size();) {
        size_t end = decoded.find('/', start);
        if (end == std::string::npos) end = decoded.size();
        std::string part = decoded.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            problem = "leaves the published folder";
            return false;
        }
        local += (local.empty() ? "" : "/") + part;
    }
    if (local.empty()) problem = "names no file";
    return !local.empty();
}

}  // namespace

bool IsAbsoluteAddress(const std::string& url) { return StartsWith(url, "http://") || StartsWith(url, "https://"); }

bool DecodeAddressPath(const std::string& text, std::string& decoded, std::string& problem) {
    decoded.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '?' || c == '#') {
            problem = std::string("holds '") + static_cast<char>(c) + "': the server sees only " +
                      Printable(text.substr(0, i));
            return false;
        }
        if (c == '%') {
            int hi = i + 2 < text.size() ? HexDigitValue(text[i + 1]) : -1, lo = hi >= 0 ? HexDigitValue(text[i + 2]) : -1;
            if (lo < 0 || (hi == 0 && lo == 0)) {
                problem = "holds a bad escape at '" + Printable(text.substr(i, 3)) + "'";
                return false;
            }
            decoded += static_cast<char>(hi * 16 + lo);
            i += 2;
            continue;
        }
        if (!TravelsAsIs(c) && c != ':') {
            problem = "holds '" + Printable(std::string(1, static_cast<char>(c))) + "' unescaped";
            return false;
        }
        decoded += static_cast<char>(c);
    }
    return true;
}

std::string EscapePath(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (TravelsAsIs(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string FileAddress(const std::string& path, const std::string& urlPrefix) {
    if (!urlPrefix.empty()) return urlPrefix + EscapePath(path);
    std::string escaped = EscapePath(path);
    return escaped == path ? "" : "files/" + escaped;  // empty: the reader's default reaches it
}

bool AddressToPublished(const std::string& url, const std::string& path, const std::string& urlPrefix,
                        std::string& local, std::string& problem) {
    std::string decoded;
    // Addresses under the prefix are published under files/, as build lays them out.
    if (!urlPrefix.empty() && StartsWith(url, urlPrefix)) {
        if (!DecodeAddressPath(url.substr(urlPrefix.size()), decoded, problem)) return false;
        return FolderPath("files/" + decoded, local, problem);
    }
    if (!IsAbsoluteAddress(url)) {
        if (!url.empty() && url[0] == '/') {
            problem = "starts with '/', which the patcher puts after the manifest's folder";
            return false;
        }
        return DecodeAddressPath(url, decoded, problem) && FolderPath(decoded, local, problem);
    }
    if (!urlPrefix.empty()) {
        problem = "is not under the --url-prefix given";
        return false;
    }
    size_t host = url.find("//") + 2, slash = url.find('/', host);
    if (!DecodeAddressPath(slash == std::string::npos ? "" : url.substr(slash), decoded, problem)) return false;
    if (decoded.size() <= path.size() || decoded.compare(decoded.size() - path.size(), path.size(), path) != 0 ||
        decoded[decoded.size() - path.size() - 1] != '/') {
        problem = "does not end in the file's path; give the --url-prefix it was built with";
        return false;
    }
    return FolderPath("files/" + path, local, problem);
}
