#include "publish/make_list.h"

#include "common/limits.h"
#include "common/path_rules.h"
#include "common/utc_clock.h"
#include "publish/atomic_file.h"
#include "publish/cp949.h"
#include "publish/errors.h"
#include "publish/file_digest.h"
#include "publish/signing.h"
#include "publish/url_text.h"
#include "publish/utf8.h"
#include "trust/signed_list_values.h"

#include <algorithm>

namespace tallowfin::publish {

namespace {

void CheckRoot(const std::string& root)
{
    if (root.empty()) throw InputError("the root folder is empty: the updater needs a folder in every entry");
    if (!IsValidUtf8(root)) throw InputError("the root folder " + Quoted(root) + " is not UTF-8 text");
    // The updater reads the path trimmed, and expands every "%PROGRAM%" in it
    // to a whole folder path, so only a leading one can be meant.
    if (std::string_view(" \t\r\n").find(root.front()) != std::string_view::npos ||
        std::string_view(" \t\r\n").find(root.back()) != std::string_view::npos)
        throw InputError("the root folder " + Quoted(root) +
                         " begins or ends with white space, which the updater trims off");
    if (root.find("%PROGRAM%", 1) != std::string::npos)
        throw InputError("the root folder " + Quoted(root) +
                         " holds \"%PROGRAM%\" after its start; the updater would put its own folder there too");
    if (const auto missing = FirstCharacterNotInCp949(root))
        throw InputError("the root folder " + Quoted(root) + " holds " + Quoted(*missing) +
                         ", which code page 949 does not have");
}

void CheckPrefix(const std::string& prefix)
{
    if (const std::string problem = RelativeAddressProblem(prefix); !problem.empty())
        throw InputError("the address prefix " + Quoted(prefix) + " " + problem);
    for (const char c : prefix) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F)
            throw InputError("the address prefix " + Quoted(prefix) +
                             " holds a blank, control or non-ASCII character; percent-encode it");
    }
}

}  // namespace

std::vector<ListEntry> EntriesOf(const ReleaseScan& scan, const std::string& root, const std::string& urlPrefix)
{
    CheckRoot(root);
    CheckPrefix(urlPrefix);
    std::string prefix = urlPrefix;
    if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');

    std::vector<ListEntry> entries;
    entries.reserve(scan.files.size());
    for (const auto& file : scan.files) {
        ListEntry entry;
        entry.path = root;
        std::string address;
        for (const auto& folder : file.folders) {
            if (entry.path.back() != '\\') entry.path.push_back('\\');
            entry.path += folder;
            address += PercentEncodePath(folder) + "/";
        }
        entry.name = file.name;
        auto checkSize = [&](std::uint64_t bytes) {
            if (bytes > limits::kLargestFile)
                throw InputError("cannot publish " + Quoted(Utf8FromPath(file.source)) + ": it is " +
                                 std::to_string(bytes) + " bytes, more than the updater can fetch (" +
                                 std::to_string(limits::kLargestFile) + " bytes)");
        };
        // Before it is hashed, which would take long for nothing.
        std::error_code error;
        if (const auto bytes = std::filesystem::file_size(file.source, error); !error) checkSize(bytes);
        FileDigests digests = DigestsOfFile(file.source);
        entry.hash = std::move(digests.md5);
        entry.sha256 = std::move(digests.sha256);
        // The size is that of the bytes the digests were taken of, should the
        // file have changed since it was measured.
        checkSize(digests.size);
        entry.bytes = digests.size;
        entry.downurl = prefix + address + PercentEncodePath(file.name);
        entry.regist = AsciiLower(ExtensionOf(file.name)) == ".dll";
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::uint64_t NextSerial(std::optional<std::uint64_t> previous, std::uint64_t now)
{
    if (previous && *previous >= kLargestListSerial)
        throw InputError("the previous list has the largest serial there is; no later publication can follow it");
    const std::uint64_t next = previous ? *previous + 1 : 1;
    return std::clamp<std::uint64_t>(now, next, kLargestListSerial);
}

void CheckSerialAgainstClock(std::uint64_t serial, std::uint64_t now, const std::string& previous)
{
    if (!SerialTooFarAhead(serial, now)) return;
    // Once a client took it, such a serial would shut out every real list
    // below it; so no updater takes it, and no list should carry it.
    std::string message = "the serial " + std::to_string(serial) + " lies more than a day ahead of the clock (" +
                          std::to_string(now) + " UTC seconds now): every updater with keys refuses the list";
    if (!previous.empty())
        message += "; it follows " + previous + " serial, which is itself ahead of the clock: give a serial " +
                   "with --serial once the clock has passed it, or check this machine's clock";
    throw InputError(message);
}

MakeResult MakeFileList(const MakeOptions& options)
{
    // Checked before the release is hashed, which may take long.
    CheckRoot(options.root);
    CheckPrefix(options.urlPrefix);
    const bool prepared = options.privateKey || options.serial;
    const std::uint64_t now = UtcSecondsNow();
    if (options.serial) CheckSerialAgainstClock(*options.serial, now);
    if (options.privateKey) {
        const P256PublicKey key = PublicKeyOfPrivate(*options.privateKey);
        if (options.publicKey) {
            const auto keys = ReadPublicKeyFile(*options.publicKey);
            if (std::find(keys.begin(), keys.end(), key) == keys.end())
                throw InputError("the private key " + Quoted(Utf8FromPath(*options.privateKey)) +
                                 " does not belong to a public key of " + Quoted(Utf8FromPath(*options.publicKey)) +
                                 ": every updater built with that file would refuse the list");
        }
    }
    // What the tool writes beside the list is addressed from the list: a
    // prefix for files served elsewhere cannot apply to it.
    if (options.immutable && !options.urlPrefix.empty())
        throw InputError("--immutable and --url-prefix do not go together: objects are written beside the list and "
                         "addressed from it");
    const std::filesystem::path signatureFile = SignatureFileOf(options.output);
    const std::filesystem::path servedDir =
        options.output.has_parent_path() ? options.output.parent_path() : std::filesystem::path(".");
    // Patches and objects are written before the list: its folder must be there.
    if (std::error_code error; (!options.patchesFrom.empty() || options.immutable) &&
                               !std::filesystem::is_directory(servedDir, error))
        throw InputError("cannot write " + Quoted(Utf8FromPath(options.output)) + ": the folder " +
                         Quoted(Utf8FromPath(servedDir)) + " does not exist");
    // The previous list and the serial are settled before the release is
    // hashed and diffed, which may take long, and before patches and objects
    // are written: a serial that must be refused refuses the run at once.
    MakeResult result;
    std::optional<std::vector<InstalledFile>> previousFiles;
    std::optional<std::uint64_t> previousSerial;
    std::error_code error;
    if (std::filesystem::exists(options.output, error)) {
        try {
            const XmlNode previous = ReadListFile(options.output);
            previousFiles = InstalledFilesOf(previous);
            if (const auto serial = previous.Attribute("serial")) previousSerial = ReadListSerial(*serial);
        } catch (const ListDocumentError& failure) {
            result.previousProblem = failure.what();
        }
    }
    // The list at the output path may be older than the served one (another
    // workspace published since, or none is kept here): the higher counts.
    const bool servedIsHigher = options.servedSerial && (!previousSerial || *options.servedSerial > *previousSerial);
    if (servedIsHigher) previousSerial = options.servedSerial;
    const std::string previousName = servedIsHigher ? "the served list's" : "the previous list's";
    if (options.serial && previousSerial && *options.serial < *previousSerial)
        throw InputError("the serial " + std::to_string(*options.serial) + " is below " + previousName + " (" +
                         std::to_string(*previousSerial) +
                         "): every client that took that list would refuse this one as a replay");
    if (prepared) {
        result.serial = options.serial ? *options.serial : NextSerial(previousSerial, now);
        if (!options.serial) CheckSerialAgainstClock(*result.serial, now, previousName);
        if (options.expiresInDays) result.expires = now + *options.expiresInDays * 86400;
    }

    const ReleaseScan scan =
        ScanRelease(options.releaseDir, {options.output, signatureFile, servedDir / PathFromUtf8(kPatchFolder),
                                         servedDir / PathFromUtf8(kObjectFolder)});
    auto entries = EntriesOf(scan, options.root, options.urlPrefix);

    result.skippedFolders = scan.skippedFolders;
    // Patches and objects are in place before the list that names them.
    result.patches = AddPatches(entries, scan,
                                {options.patchesFrom, options.largestDiffed, servedDir, options.immutable,
                                 options.progress});
    if (options.immutable) result.objects = PlaceObjects(entries, scan, servedDir);
    result.entries = entries.size();
    result.emptyFolders = scan.emptyFolders;
    result.forEveryone = DownloadOfEverything(entries);
    if (previousFiles) {
        result.forPrevious = DownloadAfter(entries, *previousFiles);
        result.previousRead = true;
    }

    const std::string xml =
        FileListXml(entries, result.serial ? std::optional<ListHead>(ListHead{*result.serial, result.expires})
                                           : std::nullopt);
    if (xml.size() > limits::kLargestList)
        throw InputError("the list would be " + std::to_string(xml.size()) + " bytes, more than the updater reads (" +
                         std::to_string(limits::kLargestList) + "); publish fewer files");
    const std::string signature = options.privateKey ? SignatureOf(*options.privateKey, xml) : std::string();
    // The list first: a client that fetches between the two writes gets a
    // list and a signature that do not match, refuses it like an unreadable
    // list, and takes the publication on its next run.
    WriteFileAtomically(options.output, xml);
    if (options.privateKey) {
        WriteFileAtomically(signatureFile, signature);
        result.signedList = true;
    } else {
        result.staleSignature = std::filesystem::exists(signatureFile, error);
    }
    return result;
}

}  // namespace tallowfin::publish
