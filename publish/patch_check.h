// What verify checks of an entry's <patch> elements: well-formed attributes
// and address; the served patch of the listed size and SHA-256; its header
// well-formed, describing a file of its size, made from the listed base and
// making the entry's file; and, where the base is at hand (verify --bases),
// that applying it gives the entry's file.
#pragma once

#include "publish/list_document.h"
#include "publish/served_files.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tallowfin::publish {

class PatchChecks {
public:
    // `bases`: folders whose files may be the bases of patches, found by
    // their MD5 (read once, when the first patch needs them).
    PatchChecks(ServedFiles& served, std::vector<std::filesystem::path> bases);

    struct Report {
        std::function<void(const std::string&)> problem;
        std::function<void(const std::string&)> note;
    };
    // The entry's digests as checked so far (lower case), empty where it has
    // none usable; `signedList` requires the patches' SHA-256 digests.
    void Check(const XmlNode& entry, const std::string& hash, const std::string& sha256, bool signedList,
               const Report& report);

    std::size_t Patches() const { return patches_; }
    std::size_t Applied() const { return applied_; }

private:
    const std::filesystem::path* BaseWithMd5(const std::string& md5);

    ServedFiles& served_;
    std::vector<std::filesystem::path> baseFolders_;
    std::optional<std::map<std::string, std::filesystem::path>> bases_;
    std::size_t patches_ = 0;
    std::size_t applied_ = 0;
};

}  // namespace tallowfin::publish
