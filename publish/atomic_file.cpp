#include "publish/atomic_file.h"

#include "publish/errors.h"
#include "publish/utf8.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace tallowfin::publish {

namespace {

// Removes the temporary file unless it was renamed into place.
class TemporaryFile {
public:
    explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
    ~TemporaryFile()
    {
        if (!kept_) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
        }
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    void Keep() { kept_ = true; }

private:
    std::filesystem::path path_;
    bool kept_ = false;
};

std::string SystemReason()
{
    return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string();
}

std::string CheckedTarget(const std::filesystem::path& target)
{
    const std::string shown = Quoted(Utf8FromPath(target));
    if (target.filename().empty()) throw InputError("cannot write " + shown + ": it names no file");
    std::error_code error;
    if (std::filesystem::is_directory(target, error)) throw InputError("cannot write " + shown + ": it is a folder");
    const std::filesystem::path folder = target.parent_path();
    if (!folder.empty() && !std::filesystem::is_directory(folder, error))
        throw InputError("cannot write " + shown + ": the folder " + Quoted(Utf8FromPath(folder)) + " does not exist");
    return shown;
}

// In the target's own folder, so the rename stays on one file system; a
// random suffix keeps two runs from writing the same temporary file.
std::filesystem::path TemporaryBeside(const std::filesystem::path& target)
{
    std::random_device random;
    const std::string suffix = ".tmp-" + std::to_string(random()) + "-" + std::to_string(random());
    return target.parent_path() / (target.filename().native() + PathFromUtf8(suffix).native());
}

void RenameOver(TemporaryFile& temporary, const std::filesystem::path& target, const std::string& shown)
{
    std::error_code error;
    std::filesystem::rename(temporary.Path(), target, error);
    if (error) throw InputError("cannot replace " + shown + ": " + error.message());
    temporary.Keep();
}

}  // namespace

void WriteFileAtomically(const std::filesystem::path& target, std::string_view content)
{
    const std::string shown = CheckedTarget(target);
    TemporaryFile temporary(TemporaryBeside(target));
    {
        errno = 0;
        std::ofstream out(temporary.Path(), std::ios::binary | std::ios::trunc);
        if (!out) throw InputError("cannot write " + shown + SystemReason());
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        out.close();
        if (!out) throw InputError("cannot write " + shown + SystemReason());
    }
    RenameOver(temporary, target, shown);
}

void CopyFileAtomically(const std::filesystem::path& source, const std::filesystem::path& target)
{
    const std::string shown = CheckedTarget(target);
    TemporaryFile temporary(TemporaryBeside(target));
    std::error_code error;
    std::filesystem::copy_file(source, temporary.Path(), std::filesystem::copy_options::overwrite_existing, error);
    if (error)
        throw InputError("cannot copy " + Quoted(Utf8FromPath(source)) + " to " + shown + ": " + error.message());
    RenameOver(temporary, target, shown);
}

}  // namespace tallowfin::publish
