// Where verify looks for the files a list names: a folder that is served at
// the list's base address, or the server itself.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace tallowfin::publish {

struct ServedFile {
    enum class State { Found, NotCheckable, Missing, Failed };
    State state = State::Missing;
    std::string digest;  // digest text of the content, when found
    std::string detail;  // what went wrong, or why it cannot be checked
};

class ServedFiles {
public:
    virtual ~ServedFiles() = default;
    // `downurl` as the list holds it: relative to the base, or absolute http://.
    virtual ServedFile Fetch(const std::string& downurl) = 0;
};

// Relative addresses map to files below the folder, percent-decoded; one that
// would reach outside the folder once decoded fails. Absolute addresses point
// at some other server: offline they cannot be checked.
std::unique_ptr<ServedFiles> ServedFromFolder(const std::filesystem::path& folder);

// Relative addresses are appended to `base` as the updater appends them to
// its own base address; a "/" is added to a base without one.
std::unique_ptr<ServedFiles> ServedOverHttp(std::string base);

}  // namespace tallowfin::publish
