#include "publish/verify_list.h"

#include "common/limits.h"
#include "common/path_rules.h"
#include "publish/cp949.h"
#include "publish/errors.h"
#include "publish/patch_check.h"
#include "publish/signing.h"
#include "publish/url_text.h"
#include "publish/utf8.h"
#include "publish/windows_names.h"
#include "trust/signed_list_values.h"

#include <fstream>
#include <sstream>

#include <optional>
#include <set>

namespace tallowfin::publish {

namespace {

// Stands for the updater's own folder while folders are tracked. No Windows
// path can hold "|", so no folder written out in a list can be taken for it,
// and a "%program%" in another letter case, which the updater does not expand,
// stays apart from it.
constexpr std::string_view kProgramFolder = "|program|";

std::string TrimmedXmlSpace(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The key under which Windows knows a folder: either separator, doubled
// backslashes and a trailing one do not matter, nor does the case of ASCII
// letters.
std::string FolderKey(std::string_view path)
{
    std::string key = ExpandProgramPath(path, kProgramFolder);
    for (char& c : key)
        if (c == '/') c = '\\';
    key = CollapseDoubledBackslashes(key);
    while (key.size() > 1 && key.back() == '\\' && !(key.size() == 3 && key[1] == ':')) key.pop_back();
    return AsciiLower(key);
}

// A drive's root is taken to exist: the updater cannot create one, and a list
// that installs to "C:\x" expects its drive to be there, as the program's is.
bool IsDriveRoot(std::string_view key) { return key.size() == 3 && key[1] == ':' && key[2] == '\\'; }

std::string ParentKey(std::string_view key)
{
    const auto slash = key.rfind('\\');
    if (slash == std::string_view::npos || IsDriveRoot(key)) return {};
    if (slash == 2 && key[1] == ':') return std::string(key.substr(0, 3));
    return std::string(key.substr(0, slash));
}

// "3 days", "5 hours", "12 minutes": how far a moment lies, roughly.
std::string DurationText(std::uint64_t seconds)
{
    auto count = [](std::uint64_t n, const char* unit) {
        return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
    };
    if (seconds >= 2 * 86400) return count(seconds / 86400, "day");
    if (seconds >= 2 * 3600) return count(seconds / 3600, "hour");
    if (seconds >= 120) return count(seconds / 60, "minute");
    return count(seconds, "second");
}

// What clients get from the server must be the list verified, and an
// updater with keys must take it: a list left out of the upload, or a
// signature of an earlier list beside it, stalls every client.
void CheckServedPublication(VerifyReport& report, const std::string& local, const XmlNode& root,
                            const ServedPublication& served, const std::vector<P256PublicKey>* keys)
{
    auto problem = [&](const std::string& message) { report.problems.insert(report.problems.begin(), {0, message}); };
    if (served.signature && keys) {
        const ServedBody& signature = *served.signature;
        if (signature.outcome.state != FetchOutcome::State::Found)
            problem("the signature is not served: " + signature.outcome.detail);
        else if (served.list.outcome.state == FetchOutcome::State::Found &&
                 !SignedByOneOf(*keys, served.list.bytes, signature.bytes))
            problem("the signature served at " + signature.url + " does not verify the served list with the given " +
                    "keys: an updater built with them refuses it");
    }
    if (served.list.outcome.state != FetchOutcome::State::Found) {
        problem("the list is not served: " + served.list.outcome.detail);
        return;
    }
    if (served.list.bytes == local) return;
    // A list without a well-formed serial has its own problem already.
    const auto serialText = root.Attribute("serial");
    const std::uint64_t localSerial = serialText ? ReadListSerial(*serialText).value_or(0) : 0;
    try {
        const std::uint64_t servedSerial = ServedListSerial(served.list).value_or(0);
        if (localSerial != 0 && servedSerial > localSerial)
            problem("the list served at " + served.list.url + " has the serial " + std::to_string(servedSerial) +
                    ", above this list's " + std::to_string(localSerial) +
                    ": every client that took it would refuse this one as a replay");
    } catch (const InputError& failure) {
        problem(failure.what());
    }
    problem("the list served at " + served.list.url + " is not this file: clients get another list than the one " +
            "verified here");
}

class EntryChecker {
public:
    EntryChecker(ServedFiles& served, VerifyReport& report, bool signedList, PatchChecks& patches)
        : served_(served), report_(report), signedList_(signedList), patches_(patches)
    {
        knownFolders_.insert(std::string(kProgramFolder));
    }

    void Check(const XmlNode& entry, std::size_t position)
    {
        position_ = position;
        if (entry.kind != XmlNodeKind::Element) {
            Problem(std::string("a ") + XmlNodeKindName(entry.kind) +
                    " where an entry element must be; the updater rejects the whole list");
            return;
        }
        const auto path = Value(entry, "path", true);
        const auto name = Value(entry, "name", true);
        const auto hash = Value(entry, "hash");
        const auto downurl = Value(entry, "downurl");
        const std::string sha256 = Sha256Of(entry);
        const auto size = SizeOf(entry);
        if (path) CheckPath(*path);
        if (name) CheckName(*name);
        const bool hashUsable = hash && CheckHash(*hash);
        if (downurl && CheckAddress(*downurl))
            CheckServed(*downurl, hashUsable ? AsciiLower(*hash) : std::string(), sha256, size);
        patches_.Check(entry, hashUsable ? AsciiLower(*hash) : std::string(), sha256, signedList_,
                       {[&](const std::string& message) { Problem(message); },
                        [&](const std::string& message) { report_.notes.push_back({position_, message}); }});
    }

private:
    void Problem(const std::string& message) { report_.problems.push_back({position_, message}); }

    // The value as the updater takes it: the one text or CDATA node of the
    // first child element of that name. Text comes back trimmed, as the
    // parser returns it with white space not preserved. Where the value names
    // a file or folder (`trimMatters`), white space around it is a problem:
    // whoever wrote it meant a name the updater will not use.
    std::optional<std::string> Value(const XmlNode& entry, const char* name, bool trimMatters = false)
    {
        const std::string tag = std::string("<") + name + ">";
        const XmlNode* element = entry.FirstChildElement(name);
        if (!element) {
            Problem("no " + tag + " element; the updater rejects the whole list");
            return std::nullopt;
        }
        for (const auto& child : element->children) {
            if (child.kind == XmlNodeKind::Element) {
                Problem(tag + " holds the element <" + child.name + ">; the updater rejects the whole list");
                return std::nullopt;
            }
        }
        if (element->children.empty()) {
            Problem(tag + " is empty; the updater rejects the whole list");
            return std::nullopt;
        }
        if (element->children.size() > 1) {
            std::string kinds;
            for (const auto& child : element->children) {
                if (!kinds.empty()) kinds += ", ";
                kinds += XmlNodeKindName(child.kind);
            }
            Problem(tag + " holds " + kinds + " where a single text or CDATA section must be");
            return std::nullopt;
        }
        const XmlNode& node = element->children.front();
        if (node.kind != XmlNodeKind::Text && node.kind != XmlNodeKind::CData) {
            Problem(tag + " holds a " + XmlNodeKindName(node.kind) + " where a text or CDATA section must be");
            return std::nullopt;
        }
        std::string value = node.kind == XmlNodeKind::Text ? TrimmedXmlSpace(node.value) : node.value;
        if (TrimmedXmlSpace(value).empty()) {
            Problem(tag + " is empty; the updater rejects the whole list");
            return std::nullopt;
        }
        if (trimMatters && value != node.value)
            Problem(std::string(name) + " " + Quoted(node.value) + " begins or ends with white space; the updater " +
                    "reads it trimmed, as " + Quoted(value));
        return value;
    }

    // The entry's SHA-256 text in lower case, or empty where it has none or
    // one an updater with keys refuses (a problem where one is required).
    std::string Sha256Of(const XmlNode& entry)
    {
        if (!entry.FirstChildElement("sha256")) {
            if (signedList_) Problem("no <sha256> element; an updater with keys refuses the whole list");
            return {};
        }
        const auto value = UpdaterValue(entry, "sha256");
        const auto digest = value ? ReadListedSha256(*value) : std::nullopt;
        if (!digest) {
            Problem("<sha256> is not 64 hexadecimal digits; an updater with keys refuses the whole list");
            return {};
        }
        return *digest;
    }

    // The entry's size where it gives a well-formed one; a "size" that is no
    // length fails the list in the updater.
    std::optional<std::uint64_t> SizeOf(const XmlNode& entry)
    {
        if (!entry.FirstChildElement("size")) return std::nullopt;
        const auto value = UpdaterValue(entry, "size");
        const auto size = value ? ReadListedSize(*value) : std::nullopt;
        if (!size)
            Problem("<size> is not a length in bytes (decimal digits without leading zeros, at most " +
                    std::to_string(limits::kLargestFile) + "); the updater rejects the whole list");
        return size;
    }

    void CheckCp949(const char* what, const std::string& value)
    {
        if (const auto missing = FirstCharacterNotInCp949(value))
            Problem(std::string(what) + " " + Quoted(value) + " holds " + Quoted(*missing) +
                    ", which code page 949 does not have; the updater would use another name");
    }

    void CheckPath(const std::string& path)
    {
        CheckCp949("path", path);
        // The updater replaces every one with a whole folder path, so a second
        // one, or one after other text, cannot be meant.
        if (path.find("%PROGRAM%", 1) != std::string::npos)
            Problem("path " + Quoted(path) + " holds \"%PROGRAM%\" after its start; the updater replaces every " +
                    "one with its own folder");
        const std::string key = FolderKey(path);
        if (knownFolders_.contains(key) || IsDriveRoot(key)) return;
        const std::string parent = ParentKey(key);
        if (knownFolders_.contains(parent) || IsDriveRoot(parent)) {
            knownFolders_.insert(key);
            return;
        }
        // Once per folder: every later entry in it fails for the same reason.
        if (!reportedFolders_.insert(key).second) return;
        if (parent.empty())
            Problem("path " + Quoted(path) + " is neither below %PROGRAM% nor absolute: where it ends up " +
                    "depends on the updater's working folder");
        else
            Problem("path " + Quoted(path) + " cannot be created: the updater creates one folder level only, and " +
                    "no earlier entry creates its parent folder");
    }

    void CheckName(const std::string& name)
    {
        CheckCp949("name", name);
        if (const std::string problem = WindowsNameProblem(name); !problem.empty())
            Problem("name " + Quoted(name) + ": " + problem);
    }

    // True when the hash can be compared with a digest.
    bool CheckHash(const std::string& hash)
    {
        const bool hex = hash.size() == 32 && hash.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
        if (!hex) {
            Problem("hash " + Quoted(hash) + " is not 32 hexadecimal digits");
            return false;
        }
        if (hash != AsciiLower(hash))
            Problem("hash " + Quoted(hash) + " has upper-case digits; the updater compares it byte for byte " +
                    "with its lower-case digest and would fetch the file on every run");
        return true;
    }

    // True when the address is worth fetching.
    bool CheckAddress(const std::string& downurl)
    {
        if (const std::string problem = DownloadAddressProblem(downurl); !problem.empty()) {
            Problem("downurl " + Quoted(downurl) + " " + problem);
            return false;
        }
        return true;
    }

    void CheckServed(const std::string& downurl, const std::string& hash, const std::string& sha256,
                     std::optional<std::uint64_t> size)
    {
        const ServedFile file = served_.Fetch(downurl);
        switch (file.state) {
        case ServedFile::State::Found:
            if (size && file.size && *file.size != *size)
                Problem("downurl " + Quoted(downurl) + " serves " + std::to_string(*file.size) +
                        " bytes, not the listed size " + std::to_string(*size));
            if (!hash.empty() && file.digest != hash)
                Problem("downurl " + Quoted(downurl) + " serves content with the digest " + file.digest +
                        ", not the listed hash");
            if (!sha256.empty() && file.sha256 != sha256)
                Problem("downurl " + Quoted(downurl) + " serves content with the SHA-256 " + file.sha256 +
                        ", not the listed sha256");
            break;
        case ServedFile::State::NotCheckable:
            report_.notes.push_back({position_, "downurl " + Quoted(downurl) + " not checked: " + file.detail});
            break;
        case ServedFile::State::Missing:
        case ServedFile::State::Failed:
            Problem("downurl " + Quoted(downurl) + " is not served: " + file.detail);
            break;
        }
    }

    ServedFiles& served_;
    VerifyReport& report_;
    const bool signedList_;
    PatchChecks& patches_;
    std::size_t position_ = 0;
    std::set<std::string> knownFolders_;
    std::set<std::string> reportedFolders_;
};

}  // namespace

VerifyReport VerifyListDocument(const XmlNode& root, ServedFiles& served, bool signedList,
                                const std::vector<std::filesystem::path>& bases, std::uint64_t now)
{
    VerifyReport report;
    report.entries = root.children.size();
    if (root.children.empty()) report.problems.push_back({0, "the list has no entries"});
    if (const auto serial = root.Attribute("serial"); serial && !ReadListSerial(*serial))
        report.problems.push_back({0, "the serial " + Quoted(*serial) + " is not a decimal number from 1 to " +
                                          std::to_string(kLargestListSerial) +
                                          " without leading zeros; an updater with keys refuses the list"});
    else if (!serial && signedList)
        report.problems.push_back({0, "the list has no serial; an updater with keys refuses it"});
    else if (serial && SerialTooFarAhead(*ReadListSerial(*serial), now))
        report.problems.push_back({0, "the serial " + *serial + " lies more than a day ahead of the clock (" +
                                          std::to_string(now) + "); an updater with keys refuses the list"});
    if (const auto expires = root.Attribute("expires")) {
        const auto moment = ReadListExpiry(*expires);
        if (!moment)
            report.problems.push_back({0, "the expiry " + Quoted(*expires) + " is not a decimal number from 1 to " +
                                              std::to_string(kLargestListSerial) +
                                              " without leading zeros; an updater with keys refuses the list"});
        else if (ListExpired(*moment, now))
            report.problems.push_back({0, "the list expired " + DurationText(now - *moment) +
                                              " ago; an updater with keys refuses it: make and sign it again"});
        else if (*moment - now <= kExpiryWarningSeconds)
            report.warnings.push_back({0, "the list expires in " + DurationText(*moment - now) +
                                              "; make and sign it again before, or every updater with keys "
                                              "refuses it from then on"});
    }
    PatchChecks patches(served, bases);
    EntryChecker checker(served, report, signedList, patches);
    for (; report.checked < root.children.size(); ++report.checked) {
        if (report.problems.size() >= kMostProblems) {
            report.problems.push_back({0, "stopped at entry " + std::to_string(report.checked + 1) + " after " +
                                              std::to_string(report.problems.size()) +
                                              " problems; mend these and verify again"});
            break;
        }
        checker.Check(root.children[report.checked], report.checked + 1);
    }
    report.patches = patches.Patches();
    report.patchesApplied = patches.Applied();
    return report;
}

VerifyReport VerifyFileList(const std::filesystem::path& list, ServedFiles& served,
                            const std::vector<P256PublicKey>* keys, const ServedPublication* publication,
                            const std::vector<std::filesystem::path>& bases)
{
    const std::string shown = Quoted(Utf8FromPath(list));
    std::error_code error;
    if (!std::filesystem::is_regular_file(list, error)) throw InputError("no list file " + shown);
    if (const auto size = std::filesystem::file_size(list, error); !error && size > limits::kLargestList) {
        VerifyReport report;
        report.problems.push_back({0, "the list is " + std::to_string(size) + " bytes, more than the updater reads (" +
                                          std::to_string(limits::kLargestList) + "); every client refuses it"});
        return report;
    }
    XmlNode root;
    try {
        root = ReadListFile(list);
    } catch (const ListDocumentError& failure) {
        std::string where;
        if (failure.Line() != 0) where += ", line " + std::to_string(failure.Line());
        if (failure.Column() != 0) where += ", column " + std::to_string(failure.Column());
        throw InputError("the list " + shown + where + " cannot be read as the updater reads it: " + failure.what());
    }
    VerifyReport report = VerifyListDocument(root, served, keys != nullptr, bases);
    if (keys) {
        const std::filesystem::path signatureFile = SignatureFileOf(list);
        std::ifstream in(signatureFile, std::ios::binary);
        std::ostringstream signature;
        if (in) signature << in.rdbuf();
        std::string problem;
        if (!in)
            problem = "no signature " + Quoted(Utf8FromPath(signatureFile)) + " beside the list";
        else if (!SignedByOneOf(*keys, ListFileBytes(list), signature.str()))
            problem = "the signature " + Quoted(Utf8FromPath(signatureFile)) +
                      " does not verify with the given keys: an updater built with them refuses the list";
        if (!problem.empty()) report.problems.insert(report.problems.begin(), {0, problem});
    }
    if (publication) CheckServedPublication(report, ListFileBytes(list), root, *publication, keys);
    return report;
}

}  // namespace tallowfin::publish
