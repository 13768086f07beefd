// Reading the fetched file list and finding the files that changed.
#include <windows.h>

#include <array>
#include <cstdint>
#include <exception>
#include <map>
#include <set>
#include <stdexcept>

#include "common/file_system.h"
#include "common/kept_file.h"
#include "common/limits.h"
#include "common/path_rules.h"
#include "control/main_form.h"
#include "control/patch_choice.h"
#include "control/signed_list.h"
#include "digestcache/cache_location.h"
#include "digestcache/file_digest.h"
#include "digestcache/local_digests.h"
#include "download/kept_part.h"
#include "download/resume_rules.h"
#include "trust/accepted_serial.h"
#include "trust/signed_list_values.h"

namespace tallowfin {

namespace {

class ListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void CheckListSize(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.empty() || !GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return;
    const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    if (size > limits::kLargestList) throw ListError("The file list is too large");
}

// The elements of an entry, looked up in one pass over its children.
constexpr std::array<std::wstring_view, 6> kValues = {L"path", L"name", L"hash", L"downurl", L"regist", L"size"};
enum Value { kPath, kName, kHash, kDownUrl, kRegist, kSize };

// A required value: present and not empty.
std::string Required(const std::optional<TXmlNode>& element, Value value)
{
    const std::string label(kValues[value].begin(), kValues[value].end());
    if (!element) throw ListError("An entry of the file list has no \"" + label + "\"");
    std::string text = element->Text();
    if (text.empty()) throw ListError("An entry of the file list has an empty \"" + label + "\"");
    return text;
}

// The patches an entry lists. One that cannot serve (a malformed attribute,
// content other than its address) is passed over: readers that do not know
// patches ignore them, and so does this one where it cannot use them.
std::vector<TListedPatch> PatchesOf(const std::vector<TXmlNode>& elements)
{
    std::vector<TListedPatch> patches;
    for (const TXmlNode& element : elements) {
        try {
            if (auto patch = ReadListedPatch(element.Attribute(L"base"), element.Attribute(L"base_sha256"),
                                             element.Attribute(L"size"), element.Attribute(L"sha256"), element.Text()))
                patches.push_back(std::move(*patch));
        } catch (const TXmlError&) {
            // Not a single text: not an address.
        }
    }
    return patches;
}

// Deletes the list file when reading is over, whatever the outcome: every
// fetched list left behind takes one of the 65,535 temporary names a prefix
// has, and once they are gone every fetch fails.
class ListFileRemover {
public:
    explicit ListFileRemover(const std::string& path) : path_(path) {}
    ~ListFileRemover()
    {
        if (!path_.empty()) DeleteFileA(path_.c_str());
    }
    ListFileRemover(const ListFileRemover&) = delete;
    ListFileRemover& operator=(const ListFileRemover&) = delete;

private:
    const std::string& path_;
};

}  // namespace

UpdateRecords TMainForm::CollectChangedFiles(const std::string& ListFile, const std::string& SignatureFile)
{
    ListFileRemover remover(ListFile);
    ListFileRemover signatureRemover(SignatureFile);
    UpdateRecords result;
    CheckListSize(ListFile);
    // Which publication a release comes from, for its journal.
    listIdentity_ = ListFile.empty() ? std::string() : FileDigestText(ListFile);
    // Made before the parse: it reads the digest cache and lists its folders meanwhile.
    LocalDigests& digests = LocalDigestsOfFiles();
    // A signed list is checked before the parser sees a byte of it, and
    // before anything is created or compared for its entries.
    //
    // A list that is not trusted may be the copy kept from the run before,
    // handed over on "not modified": beside a new signature (servers whose
    // tags are made of the time in seconds and the size answer so for a list
    // republished within the second at the same size), or an old or expired
    // list once served in place of the real one, with the real one's
    // validators so that the server goes on answering "not modified". Without
    // the kept copy the next run asks for the list whole.
    auto dropKeptList = [&] {
        if (!settings_.CacheFolder.empty()) DeleteKeptFile(settings_.CacheFolder + "\\" + kKeptListFile);
    };
    FileHandle signedList;
    if (SignedLists()) {
        try {
            signedList = HoldSignedList(settings_.ListKeys, ListFile, SignatureFile);
        } catch (const UntrustedList&) {
            dropKeptList();
            throw;
        }
    }
    XMLDocument.LoadFromFile(ListFile);
    XMLDocument.SetEncoding("euc-kr");
    signedList.reset();

    // The entries' values are read first and the local files' digests then
    // taken together, so that they can come from the digest cache or be read
    // in parallel. Folders are still created and records made in list order,
    // and an entry that fails still fails the list at its own place: after
    // the folders of the entries before it, and before any after it.
    struct Listed {
        std::string path, localPath, hash, url;
        std::optional<std::uint64_t> size;
        std::vector<TListedPatch> patches;
    };
    std::vector<Listed> entries;
    std::exception_ptr badEntry;
    const TXmlNode root = XMLDocument.DocumentElement();
    std::vector<std::string> sha256;
    if (SignedLists()) {
        try {
            sha256 = AcceptSignedList(root, {InstallationSerialFileOf(ProgramDirectoryOf(settings_.OwnPath)),
                                             settings_.ListSerialFloor});
        } catch (const UntrustedList&) {
            dropKeptList();
            throw;
        }
    }
    const long count = root.ChildCount();
    try {
        for (long i = 0; i < count; ++i) {
            // The entry is looked up once and its children read in one pass:
            // each costs calls into the parser, ten thousand entries over.
            std::vector<TXmlNode> patchElements;
            const auto values = root.Child(i).FirstChildElements(kValues, L"patch", &patchElements);
            Listed entry;
            entry.path = ExpandProgramPath(Required(values[kPath], kPath));
            const std::string name = Required(values[kName], kName);
            entry.hash = Required(values[kHash], kHash);
            entry.url = Required(values[kDownUrl], kDownUrl);
            // Its value decides nothing, but it must be well-formed like the others.
            if (values[kRegist]) values[kRegist]->Text();
            // Optional, for lists written before it existed; where it is
            // given it must be a length.
            if (values[kSize]) {
                entry.size = ReadListedSize(values[kSize]->Text());
                if (!entry.size) throw ListError("An entry of the file list has a \"size\" that is no length in bytes");
            }
            entry.localPath = entry.path + "\\" + name;
            entry.patches = PatchesOf(patchElements);
            entries.push_back(std::move(entry));
        }
    } catch (...) {
        badEntry = std::current_exception();
    }

    std::vector<std::string> localPaths;
    for (const Listed& entry : entries) localPaths.push_back(entry.localPath);
    // Creating a folder never makes a file appear, so the digests taken
    // before the folders are made are those the files had after.
    const auto known = digests.Of(localPaths);

    // Folders known to exist: thousands of entries share a few folders.
    std::set<std::string> folders;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Listed& entry = entries[i];
        if (folders.count(entry.path) == 0 &&
            (DirectoryExists(entry.path) || CreateDirectoryA(entry.path.c_str(), nullptr)))
            folders.insert(entry.path);
        if (known[i].error) std::rethrow_exception(known[i].error);
        if (entry.hash != known[i].text) {
            auto record = std::make_unique<TUpdateRec>();
            record->Url = entry.url;
            record->LocalPath = entry.localPath;
            record->Size = entry.size;
            record->Listed.Md5 = entry.hash;
            if (SignedLists()) record->Listed.Sha256 = sha256[i];
            // A patch from the installed file is fetched in its place; the
            // whole file stays at hand for when the patch cannot serve.
            if (auto patch = ChoosePatch(entry.patches, known[i].text, entry.size, SignedLists(),
                                         [&] { return FileSha256Text(entry.localPath); })) {
                record->WholeUrl = record->Url;
                record->WholeSize = record->Size;
                record->BaseMd5 = known[i].text;
                record->Url = patch->Url;
                record->Size = patch->Size;
                record->Patch = std::move(patch);
            }
            result.push_back(std::move(record));
        }
    }
    if (badEntry) std::rethrow_exception(badEntry);
    digests.KeepOnly(localPaths);
    KeepOnlyPartsOf(result);
    return result;
}

void TMainForm::KeepOnlyPartsOf(const UpdateRecords& records)
{
    // A run that is not alone leaves the parts be: another run may be
    // about to resume one its list names.
    if (PartsFolder().empty() || !soleRun_.Sole()) return;
    // The parts of the files this list has fetched and no others: a file
    // installed (by this updater or otherwise), no longer listed, or listed
    // with another digest has its part removed, and none is larger than its
    // entry allows.
    std::map<std::string, std::uint64_t> wanted;
    for (const auto& record : records) {
        if (const auto name = PartNameOf(*record)) wanted[*name] = record->Size.value_or(limits::kLargestFile);
        // The whole file's part stays beside a patch's: the pass falls back
        // to it when the patch cannot serve.
        if (const auto name = record->Patch ? PartName(record->Listed.Sha256, record->Listed.Md5) : std::nullopt)
            wanted[*name] = record->WholeSize.value_or(limits::kLargestFile);
    }
    KeepPartsOnly(PartsFolder(), wanted);
}

LocalDigests& TMainForm::LocalDigestsOfFiles()
{
    // Made on first use: the cache is read once per run.
    if (!digests_) {
        const std::string cacheFile =
            settings_.CacheFolder.empty() ? std::string() : settings_.CacheFolder + "\\" + kDigestCacheFile;
        digests_ = std::make_unique<LocalDigests>(cacheFile, settings_.HashingThreads);
    }
    return *digests_;
}

}  // namespace tallowfin
