#include "publish/http_reply.h"

#include "common/limits.h"
#include "download/url_rules.h"
#include "publish/url_text.h"
#include "publish/utf8.h"

namespace tallowfin::publish {

namespace {

std::string_view Trimmed(std::string_view text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "HTTP/1.1 200 OK": a version of one digit each side of the dot, three digits
// of status, then nothing or a blank and the reason.
int StatusOf(std::string_view line)
{
    if (line.size() < 12 || !line.starts_with("HTTP/") || !IsDigit(line[5]) || line[6] != '.' || !IsDigit(line[7]) ||
        line[8] != ' ' || !IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]))
        return 0;
    if (line.size() > 12 && line[12] != ' ') return 0;
    return (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
}

}  // namespace

std::vector<std::string> HttpResponse::Values(std::string_view name) const
{
    std::vector<std::string> values;
    for (const auto& [header, value] : headers)
        if (header.size() == name.size() && StartsWithNoCase(header, name)) values.push_back(value);
    return values;
}

void AddHeadLine(HttpResponse& response, std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.empty()) return;
    if (line.starts_with("HTTP/")) {
        response = {};
        response.statusLine = std::string(line);
        response.status = StatusOf(line);
        return;
    }
    // A line that starts with a blank continues the header before it.
    if ((line.front() == ' ' || line.front() == '\t') && !response.headers.empty()) {
        std::string& value = response.headers.back().second;
        const std::string_view more = Trimmed(line);
        if (!more.empty() && !value.empty()) value += ' ';
        value += more;
        return;
    }
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return;
    response.headers.emplace_back(std::string(line.substr(0, colon)), std::string(Trimmed(line.substr(colon + 1))));
}

FileReply JudgeFileReply(const HttpResponse& response)
{
    FileReply reply;
    const std::string missing = "; the updater counts the file as missing and no client installs it";
    if (response.status == 0) {
        reply.problem = "answers with the malformed status line " + Quoted(response.statusLine) + missing;
        return reply;
    }
    if (response.status != 200) {
        reply.problem = "answers status " + std::to_string(response.status) + missing;
        return reply;
    }
    if (const auto codings = response.Values("Transfer-Encoding"); !codings.empty()) {
        reply.problem = "is sent with the transfer coding " + Quoted(codings.front()) + " and so without a length" +
                        missing;
        return reply;
    }
    const auto lengths = response.Values("Content-Length");
    if (lengths.empty()) {
        reply.problem = "is sent without a length" + missing;
        return reply;
    }
    for (const auto& other : lengths) {
        if (other != lengths.front()) {
            reply.problem = "gives two different lengths, " + Quoted(lengths.front()) + " and " + Quoted(other) +
                            "; no client can tell where the file ends";
            return reply;
        }
    }
    // The updater reads plain decimal digits only: no sign, no blanks inside.
    const std::string& text = lengths.front();
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) {
        reply.problem = "gives the length " + Quoted(text) + ", which the updater cannot read" + missing;
        return reply;
    }
    reply.length = std::stoull(text);
    if (reply.length > limits::kLargestFile) {
        reply.problem = "is " + std::to_string(reply.length) + " bytes long, more than the updater can fetch (" +
                        std::to_string(limits::kLargestFile) + " bytes)";
        return reply;
    }
    reply.usable = true;
    return reply;
}

RedirectStep JudgeRedirect(std::string_view from, const HttpResponse& response, std::string_view target,
                           std::size_t hops)
{
    const int status = response.status;
    if ((status != 301 && status != 302 && status != 303 && status != 307 && status != 308) || target.empty())
        return {};
    const std::string where = "answers status " + std::to_string(status) + " to " + Quoted(target);
    if (!IsAbsoluteUrl(target))
        return {RedirectStep::Kind::Refused, where + ", which the updater cannot fetch"};
    if (IsDowngrade(from, target))
        return {RedirectStep::Kind::Refused,
                where + "; the updater refuses a redirect from https:// to plain http:// and counts the file as missing"};
    if (hops >= kMostRedirects)
        return {RedirectStep::Kind::Refused,
                where + ", after " + std::to_string(hops) + " redirects already; the updater gives up"};
    return {RedirectStep::Kind::Follow, {}};
}

}  // namespace tallowfin::publish
