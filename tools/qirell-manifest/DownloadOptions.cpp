#include "Tool.h"

bool ParseConnections(const std::string& text, unsigned& connections) {
    if (text.empty() || text.size() > 1 || text[0] < '1' || text[0] > '0' + static_cast<int>(kMaxConnections))
        return false;
    connections = static_cast<unsigned>(text[0] - '0');
    return true;
}

bool AddDownloadMember(std::string& text, unsigned connections, bool resume) {
    if (connections <= 1 && !resume) return true;
    const size_t end = text.rfind("\n}");
    if (end == std::string::npos) return false;
    std::string member = ",\n  \"download\": {";
    if (connections > 1) member += "\"connections\": " + std::to_string(connections);
    if (resume) member += std::string(connections > 1 ? ", " : "") + "\"resume\": true";
    member += "}";
    text.insert(end, member);
    return true;
}
