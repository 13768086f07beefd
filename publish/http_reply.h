// What verify makes of an HTTP reply: the head as both internet libraries
// hand it over (one line at a time), and what the updater would do with it.
// Plain values, so each decision is tested without a network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallowfin::publish {

struct HttpResponse {
    std::string statusLine;
    int status = 0;  // 0 when the status line is not "HTTP/d.d ddd[ reason]"
    std::vector<std::pair<std::string, std::string>> headers;  // value trimmed, folded lines joined

    // Every value of the header of this name (any letter case), in order.
    std::vector<std::string> Values(std::string_view name) const;
};

// Adds one line of a head to the reply (line ends may still be on it). A
// status line starts the reply afresh, as an interim "100 Continue" or a
// redirect is followed by another head.
void AddHeadLine(HttpResponse& response, std::string_view line);

// The updater's view of a file's final reply: it takes the body only from a
// 200 reply with one length of plain digits no larger than its sizes hold,
// and counts the file as missing otherwise.
struct FileReply {
    bool usable = false;
    std::uint64_t length = 0;
    std::string problem;  // why not usable
};
FileReply JudgeFileReply(const HttpResponse& response);

// Redirects the updater's internet library follows: 301, 302, 303, 307 and
// 308 with a Location, to http:// or https://, never from https:// down to
// http://, and no more than kMostRedirects for one file.
inline constexpr std::size_t kMostRedirects = 10;

struct RedirectStep {
    enum class Kind { NotARedirect, Follow, Refused } kind = Kind::NotARedirect;
    std::string problem;  // why refused
};
// `target` is the Location resolved against `from` (empty without one);
// `hops` the redirects already followed for this file.
RedirectStep JudgeRedirect(std::string_view from, const HttpResponse& response, std::string_view target,
                           std::size_t hops);

}  // namespace tallowfin::publish
