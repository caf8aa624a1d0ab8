#include "UriList.h"

#include "instrument/BankText.h"

namespace urilist {

namespace {

constexpr std::string_view kFileScheme = "file://";

// "%41" is "A"; a "%" without two hex digits stands for itself. Fails on a
// decoded NUL, which no path holds.
bool decode(std::string_view text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && banktext::hexDigit(text[i + 1]) >= 0 && banktext::hexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(banktext::hexDigit(text[i + 1]) * 16 + banktext::hexDigit(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
        if (out.back() == '\0')
            return false;
    }
    return true;
}

bool sameIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> filePaths(std::string_view text, std::string_view hostName)
{
    std::vector<std::string> paths;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.size() < kFileScheme.size() || !sameIgnoringCase(line.substr(0, kFileScheme.size()), kFileScheme))
            continue;  // comments, blank lines and other schemes
        line.remove_prefix(kFileScheme.size());
        const size_t slash = line.find('/');
        if (slash == std::string_view::npos)
            continue;
        const std::string_view host = line.substr(0, slash);
        if (!host.empty() && !sameIgnoringCase(host, "localhost") && !(hostName.size() && host == hostName))
            continue;
        std::string path;
        if (decode(line.substr(slash), path))
            paths.push_back(std::move(path));
    }
    return paths;
}

}  // namespace urilist
