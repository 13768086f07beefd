#include "publish/immutable.h"

#include "publish/atomic_file.h"
#include "publish/errors.h"
#include "publish/url_text.h"
#include "publish/utf8.h"

namespace tallowfin::publish {

namespace {

namespace fs = std::filesystem;

fs::path ObjectPath(const fs::path& servedDir, const std::string& sha256, const std::string& name)
{
    return servedDir / PathFromUtf8(kObjectFolder) / PathFromUtf8(sha256) / PathFromUtf8(name);
}

// True when the object is there with this size: its address is its digest,
// so an object of the right size was written whole by an earlier run.
bool Present(const fs::path& object, std::uint64_t size)
{
    std::error_code error;
    return fs::is_regular_file(object, error) && fs::file_size(object, error) == size && !error;
}

void MakeFolderOf(const fs::path& object)
{
    std::error_code error;
    fs::create_directories(object.parent_path(), error);
    if (error) throw InputError("cannot create " + Quoted(Utf8FromPath(object.parent_path())) + ": " + error.message());
}

}  // namespace

std::string ObjectAddress(const std::string& sha256, const std::string& name)
{
    return std::string(kObjectFolder) + "/" + sha256 + "/" + PercentEncodePath(name);
}

std::string WriteObject(const fs::path& servedDir, const std::string& sha256, const std::string& name,
                        std::string_view bytes)
{
    const fs::path object = ObjectPath(servedDir, sha256, name);
    if (!Present(object, bytes.size())) {
        MakeFolderOf(object);
        WriteFileAtomically(object, bytes);
    }
    return ObjectAddress(sha256, name);
}

PlacedObjects PlaceObjects(std::vector<ListEntry>& entries, const ReleaseScan& scan, const fs::path& servedDir)
{
    PlacedObjects placed;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        ListEntry& entry = entries[i];
        const fs::path object = ObjectPath(servedDir, entry.sha256, entry.name);
        if (Present(object, entry.bytes)) {
            ++placed.kept;
        } else {
            MakeFolderOf(object);
            CopyFileAtomically(scan.files[i].source, object);
            ++placed.copied;
        }
        entry.downurl = ObjectAddress(entry.sha256, entry.name);
    }
    return placed;
}

}  // namespace tallowfin::publish
