// Where verify looks for the files a list names: a folder that is served at
// the list's base address, or the server itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tallowfin::publish {

struct ServedFile {
    enum class State { Found, NotCheckable, Missing, Failed };
    State state = State::Missing;
    std::string digest;  // digest text of the content, when found
    std::string detail;  // what went wrong, or why it cannot be checked
    std::string sha256{};  // SHA-256 text of the content, when found
    std::optional<std::uint64_t> size{};  // its length, when found and known
};

// A served file with its bytes, for the checks that read it (a patch's
// header, its application to its base).
struct ServedContent {
    ServedFile file;
    std::string bytes;  // when found
};

class ServedFiles {
public:
    virtual ~ServedFiles() = default;
    // `downurl` as the list holds it: relative to the base, or absolute
    // http:// or https://.
    virtual ServedFile Fetch(const std::string& downurl) = 0;
    // The same, keeping the bytes; content longer than `largest` bytes is
    // Failed, and no more of it is kept.
    virtual ServedContent Content(const std::string& downurl, std::uint64_t largest) = 0;
};

// Relative addresses map to files below the folder, percent-decoded; one that
// would reach outside the folder once decoded fails, and so does a file
// larger than the updater can fetch. Absolute addresses point at some other
// server: offline they cannot be checked.
std::unique_ptr<ServedFiles> ServedFromFolder(const std::filesystem::path& folder);

// Relative addresses are appended to `base` (http:// or https://) as the
// updater appends them to its own base address; a "/" is added to a base
// without one. Each file is fetched through the system's internet library and
// judged as the updater would take the reply, redirects included; the whole
// of one file, redirects and body, must arrive within `timeLimit`.
std::unique_ptr<ServedFiles> ServedOverHttp(std::string base, std::chrono::milliseconds timeLimit);

class HttpTransport;
// The same over a given transport, for tests.
std::unique_ptr<ServedFiles> ServedOverHttp(std::string base, std::chrono::milliseconds timeLimit,
                                            std::unique_ptr<HttpTransport> transport);

}  // namespace tallowfin::publish
