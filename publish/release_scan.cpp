#include "publish/release_scan.h"

#include "common/path_rules.h"
#include "publish/cp949.h"
#include "publish/errors.h"
#include "publish/utf8.h"
#include "publish/windows_names.h"

#include <map>
#include <memory>
#include <system_error>

namespace tallowfin::publish {

namespace {

namespace fs = std::filesystem;

// Deeper than any real release and far below what Windows paths allow; it
// also bounds the recursion.
constexpr std::size_t kMaxDepth = 64;

struct Folder {
    std::map<std::string, fs::path> files;  // byte order of the UTF-8 names
    std::map<std::string, std::unique_ptr<Folder>> folders;
};

std::string Join(const std::vector<std::string>& parts, std::string_view separator)
{
    std::string out;
    for (const auto& part : parts) {
        if (!out.empty()) out.append(separator);
        out.append(part);
    }
    return out;
}

class Scanner {
public:
    explicit Scanner(const std::vector<fs::path>& skip) : skip_(skip) {}

    std::vector<std::string> skippedFolders;

    std::unique_ptr<Folder> Read(const fs::path& directory, const std::vector<std::string>& relative)
    {
        if (relative.size() > kMaxDepth)
            throw InputError("folders nested deeper than " + std::to_string(kMaxDepth) + " levels at " +
                             Quoted(Join(relative, "/")));
        auto folder = std::make_unique<Folder>();
        std::map<std::string, std::string> byFoldedName;  // Windows sees one name per letter case
        std::error_code error;
        fs::directory_iterator it(directory, error);
        if (error) throw InputError("cannot read the folder " + Quoted(Utf8FromPath(directory)) + ": " + error.message());
        for (; it != fs::directory_iterator(); it.increment(error)) {
            const fs::path& path = it->path();
            const std::string name = Utf8FromPath(path.filename());
            std::vector<std::string> itemPath = relative;
            itemPath.push_back(name);
            const std::string shown = Quoted(Join(itemPath, "/"));
            if (!IsValidUtf8(name)) throw InputError("the name " + shown + " is not UTF-8 text");
            if (const std::string problem = WindowsNameProblem(name); !problem.empty())
                throw InputError("cannot publish " + shown + ": " + problem);
            if (const std::string problem = ListedNameProblem(name); !problem.empty())
                throw InputError("cannot publish " + shown + ": " + problem);
            if (const auto missing = FirstCharacterNotInCp949(name))
                throw InputError("cannot publish " + shown + ": code page 949, which the updater converts names to, has no " +
                                 Quoted(*missing));
            if (const auto [other, added] = byFoldedName.emplace(AsciiLower(name), name); !added)
                throw InputError("cannot publish " + shown + ": Windows takes it and " + Quoted(other->second) +
                                 " for the same name");

            const fs::file_status linkStatus = it->symlink_status(error);
            const fs::file_status status = it->status(error);
            if (fs::is_directory(status)) {
                if (Skipped(path)) {
                    skippedFolders.push_back(Join(itemPath, "/"));
                    continue;
                }
                if (fs::is_symlink(linkStatus))
                    throw InputError("cannot publish " + shown + ": links to folders are not followed");
                folder->folders.emplace(name, Read(path, itemPath));
            } else if (fs::is_regular_file(status)) {
                if (!Skipped(path)) folder->files.emplace(name, path);
            } else {
                throw InputError("cannot publish " + shown + ": it is not a regular file or folder");
            }
        }
        if (error) throw InputError("cannot read the folder " + Quoted(Utf8FromPath(directory)) + ": " + error.message());
        return folder;
    }

private:
    bool Skipped(const fs::path& path) const
    {
        for (const auto& other : skip_) {
            std::error_code error;
            if (fs::equivalent(path, other, error)) return true;
        }
        return false;
    }

    const std::vector<fs::path>& skip_;
};

// Finds a file somewhere below the folder to name in an error, and appends
// its path to `relative`; false when there is none.
bool AnyFileBelow(const Folder& folder, std::vector<std::string>& relative)
{
    if (!folder.files.empty()) {
        relative.push_back(folder.files.begin()->first);
        return true;
    }
    for (const auto& [name, sub] : folder.folders) {
        relative.push_back(name);
        if (AnyFileBelow(*sub, relative)) return true;
        relative.pop_back();
    }
    return false;
}

void Emit(const Folder& folder, std::vector<std::string>& relative, ReleaseScan& scan)
{
    for (const auto& [name, source] : folder.files) scan.files.push_back({relative, name, source});
    for (const auto& [name, sub] : folder.folders) {
        relative.push_back(name);
        if (sub->files.empty()) {
            std::vector<std::string> below = relative;
            if (AnyFileBelow(*sub, below))
                throw InputError("the folder " + Quoted(Join(relative, "/")) +
                                 " holds no file, so no entry can make the updater create it and it could never install " +
                                 Quoted(Join(below, "/")) + "; put a file into " + Quoted(Join(relative, "/")));
            scan.emptyFolders.push_back(Join(relative, "/"));
        } else {
            Emit(*sub, relative, scan);
        }
        relative.pop_back();
    }
}

}  // namespace

std::string ListedNameProblem(std::string_view name)
{
    // The updater's XML parser hands values over trimmed, so " a.txt" would be
    // installed as "a.txt". Trailing blanks are Windows' problem already.
    if (!name.empty() && std::string_view(" \t\r\n").find(name.front()) != std::string_view::npos)
        return "the updater reads list values trimmed and would install it without its leading blank";
    // A folder's name goes into the path, where the updater replaces every
    // "%PROGRAM%" with its own folder; a file of that name would be as
    // misleading to whoever reads the list.
    if (name.find("%PROGRAM%") != std::string_view::npos)
        return "the list uses \"%PROGRAM%\" for the updater's own folder, so no name may hold it; rename it";
    return {};
}

ReleaseScan ScanRelease(const fs::path& releaseDir, const std::vector<fs::path>& skip)
{
    std::error_code error;
    if (!fs::exists(releaseDir, error))
        throw InputError("the release folder " + Quoted(Utf8FromPath(releaseDir)) + " does not exist");
    if (!fs::is_directory(releaseDir, error))
        throw InputError(Quoted(Utf8FromPath(releaseDir)) + " is not a folder");

    Scanner scanner(skip);
    const auto root = scanner.Read(releaseDir, {});
    ReleaseScan scan;
    scan.skippedFolders = scanner.skippedFolders;
    std::vector<std::string> relative;
    Emit(*root, relative, scan);
    if (scan.files.empty())
        throw InputError("the release folder " + Quoted(Utf8FromPath(releaseDir)) + " holds no files to publish");
    return scan;
}

}  // namespace tallowfin::publish
