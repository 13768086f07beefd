#include "publish/command.h"

#include "publish/errors.h"
#include "publish/make_list.h"
#include "publish/patch_maker.h"
#include "publish/served_list.h"
#include "publish/signing.h"
#include "publish/utf8.h"
#include "publish/verify_list.h"
#include "trust/signed_list_values.h"

#include <charconv>
#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <ostream>
#include <string_view>
#include <utility>

namespace tallowfin::publish {

namespace {

constexpr const char* kUsage =
    "usage: tallowfin-publish make RELEASE_DIR -o FILELIST [--root ROOT] [--url-prefix PREFIX]\n"
    "                         [--sign PRIVATE.pem --public PUBLIC.pem] [--serial N] [--expires DAYS]\n"
    "                         [--url BASE]\n"
    "                         [--patches-from EARLIER_RELEASE_DIR]... [--diff-limit MIB] [--immutable]\n"
    "       tallowfin-publish verify FILELIST (--dir SERVED_DIR | --url BASE [--time-limit SECONDS])\n"
    "                         [--key PUBLIC.pem] [--bases EARLIER_RELEASE_DIR]...\n"
    "       tallowfin-publish keygen PRIVATE.pem PUBLIC.pem\n"
    "       tallowfin-publish serial BASE      (prints the serial of the list served at BASE; 0 for none)\n"
    "\n"
    "make --root: the local folder the release folder stands for, \"%PROGRAM%\" (the updater's own) by default.\n"
    "make --url-prefix: put before every file's address: a folder of the base, or an http:// or https://\n"
    "  address of another server.\n"
    "make --sign: sign the list into FILELIST.sig with PRIVATE.pem, which must belong to a key of PUBLIC.pem,\n"
    "  the key file the updater is built with (Linux tool only; elsewhere give --serial and sign with openssl).\n"
    "make --serial: the list's serial; without --sign, the list is prepared for signing elsewhere. A signed\n"
    "  list without it takes one above the previous list's (at FILELIST, or served at --url BASE), or the\n"
    "  UTC time in seconds when that is larger.\n"
    "make --expires: updaters with keys refuse the list DAYS days (1 to 3650) after it is made (with --sign\n"
    "  or --serial).\n"
    "make --url: read the serial of the list served at BASE, so that the new one never goes below it.\n"
    "make --patches-from: a patch from the earlier release's copy of each changed file, listed where it is\n"
    "  smaller than half the file, written into \"patches/\" beside the list (repeat the option for several\n"
    "  earlier releases; files above --diff-limit MiB, 64 by default, are not diffed; Linux tool only).\n"
    "make --immutable: every file and patch copied to \"objects/<sha256>/<name>\" beside the list and listed\n"
    "  there, so that only the list ever changes.\n"
    "verify --dir: hash the files of the served folder; --url: fetch every file and the served list (with\n"
    "  --key its signature too) from BASE, each within --time-limit seconds (300 by default).\n"
    "verify --key: check the list and its signature as an updater built with PUBLIC.pem does.\n"
    "verify --bases: apply each patch to its base, found by its digest among the files of these folders.\n";

// The whole of one file, redirects and body, within this time unless the user
// says otherwise: 2 GiB at 10 MB/s takes 215 s.
constexpr int kDefaultSecondsPerFile = 300;

class UsageError : public InputError {
public:
    using InputError::InputError;
};

// One positional argument, options that each take a value, options that may
// be given again (each value kept), and flags.
struct Arguments {
    std::string positional;
    std::map<std::string, std::string> options;
    std::map<std::string, std::vector<std::string>> repeated;
    std::set<std::string> flags;

    bool Flag(const std::string& name) const { return flags.contains(name); }
    std::vector<std::string> Values(const std::string& name) const
    {
        const auto it = repeated.find(name);
        return it == repeated.end() ? std::vector<std::string>{} : it->second;
    }

    std::optional<std::string> Option(const std::string& name) const
    {
        const auto it = options.find(name);
        return it == options.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

// Up to `positionals` positional arguments, and options that each take a
// value; those named in `repeatable` may come again, those in `flags` take none.
Arguments Parse(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& known,
                std::vector<std::string>* positionals = nullptr, const std::set<std::string>& repeatable = {},
                const std::set<std::string>& flags = {})
{
    Arguments parsed;
    bool havePositional = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() > 1 && argument[0] == '-') {
            const auto it = known.find(argument);
            if (it == known.end()) throw UsageError("unknown option " + Quoted(argument));
            if (flags.contains(it->second)) {
                if (!parsed.flags.insert(it->second).second) throw UsageError(argument + " given twice");
                continue;
            }
            if (i + 1 >= arguments.size()) throw UsageError(argument + " needs a value");
            if (repeatable.contains(it->second)) parsed.repeated[it->second].push_back(arguments[++i]);
            else if (!parsed.options.emplace(it->second, arguments[++i]).second)
                throw UsageError(argument + " given twice");
        } else if (positionals) {
            positionals->push_back(argument);
        } else if (havePositional) {
            throw UsageError("unexpected argument " + Quoted(argument));
        } else {
            parsed.positional = argument;
            havePositional = true;
        }
    }
    return parsed;
}

int Make(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    const Arguments parsed =
        Parse(arguments,
              {{"-o", "output"}, {"--output", "output"}, {"--root", "root"}, {"--url-prefix", "prefix"},
               {"--sign", "sign"}, {"--public", "public"}, {"--serial", "serial"}, {"--expires", "expires"},
               {"--url", "url"}, {"--patches-from", "patches"}, {"--diff-limit", "limit"},
               {"--immutable", "immutable"}},
              nullptr, {"patches"}, {"immutable"});
    if (parsed.positional.empty()) throw UsageError("make needs the release folder");
    const auto output = parsed.Option("output");
    if (!output || output->empty()) throw UsageError("make needs the output file (-o FILELIST)");

    MakeOptions options;
    options.releaseDir = PathFromUtf8(parsed.positional);
    options.output = PathFromUtf8(*output);
    if (const auto root = parsed.Option("root")) options.root = *root;
    if (const auto prefix = parsed.Option("prefix")) options.urlPrefix = *prefix;
    if (const auto key = parsed.Option("sign")) options.privateKey = PathFromUtf8(*key);
    if (const auto key = parsed.Option("public")) {
        if (!options.privateKey) throw UsageError("--public goes with --sign");
        options.publicKey = PathFromUtf8(*key);
    }
    // The public keys the updater is built with are what a signature must
    // answer to: signing with whatever key lies at hand publishes a list
    // every client refuses.
    if (options.privateKey && !options.publicKey)
        throw UsageError("--sign needs --public PUBLIC.pem, the key file the updater is built with");
    if (const auto serial = parsed.Option("serial")) {
        options.serial = ReadListSerial(*serial);
        if (!options.serial)
            throw UsageError("--serial needs a number from 1 to " + std::to_string(kLargestListSerial) +
                             " without leading zeros, not " + Quoted(*serial));
    }

    if (const auto days = parsed.Option("expires")) {
        if (!options.privateKey && !options.serial)
            throw UsageError("--expires goes with --sign or --serial: only a signed list expires");
        std::uint64_t value = 0;
        const auto [end, failed] = std::from_chars(days->data(), days->data() + days->size(), value);
        if (failed != std::errc{} || end != days->data() + days->size() || value < 1 || value > kLongestExpiryDays)
            throw UsageError("--expires needs a number of days from 1 to " + std::to_string(kLongestExpiryDays) +
                             ", not " + Quoted(*days));
        options.expiresInDays = value;
    }
    for (const auto& earlier : parsed.Values("patches")) options.patchesFrom.push_back(PathFromUtf8(earlier));
    if (!options.patchesFrom.empty() && !CanMakePatches())
        throw UsageError("--patches-from: this build of the tool makes no patches (it has no suffix sort library); "
                         "publish with the Linux tool");
    if (const auto limit = parsed.Option("limit")) {
        if (options.patchesFrom.empty()) throw UsageError("--diff-limit goes with --patches-from");
        std::uint64_t mebibytes = 0;
        const auto [end, failed] = std::from_chars(limit->data(), limit->data() + limit->size(), mebibytes);
        // The maker's suffix array holds 32-bit positions.
        if (failed != std::errc{} || end != limit->data() + limit->size() || mebibytes == 0 || mebibytes > 2047)
            throw UsageError("--diff-limit needs a number of MiB from 1 to 2047, not " + Quoted(*limit));
        options.largestDiffed = mebibytes << 20;
    }
    options.immutable = parsed.Flag("immutable");
    options.progress = [&err](const std::string& line) { err << line << "\n" << std::flush; };
    // The served list is read last: every option is checked before the
    // network is asked.
    if (const auto base = parsed.Option("url")) {
        const ServedPublication served =
            FetchServedPublication(*base, std::chrono::seconds(kDefaultSecondsPerFile), false);
        options.servedSerial = ServedListSerial(served.list);
        if (options.servedSerial)
            out << "the list served at " << served.list.url << " has the serial " << *options.servedSerial << "\n";
        else if (served.list.outcome.state == FetchOutcome::State::Found)
            out << "the list served at " << served.list.url << " has no serial\n";
        else
            out << "no list is served at " << served.list.url << " yet\n";
    }

    const MakeResult result = MakeFileList(options);
    for (const auto& folder : result.emptyFolders)
        err << "warning: the empty folder " << Quoted(folder) << " is left out: a list can only carry files\n";
    for (const auto& folder : result.skippedFolders)
        err << "warning: the folder " << Quoted(folder) << " is left out of the release: the tool writes its "
            << "patches and objects there, beside the list; keep the list outside the release folder to publish a "
            << "folder of that name\n";
    for (const auto& file : result.patches.tooLarge)
        err << "note: " << Quoted(file) << " is not diffed: it or its earlier copy is larger than --diff-limit ("
            << (options.largestDiffed >> 20) << " MiB)\n";
    out << "wrote " << Quoted(*output) << " with " << result.entries << (result.entries == 1 ? " entry" : " entries");
    if (result.serial) out << ", serial " << *result.serial;
    if (result.expires) out << ", expires at " << *result.expires << " (UTC seconds)";
    out << "\n";
    const std::string signatureFile = Utf8FromPath(SignatureFileOf(options.output));
    if (result.signedList) out << "signed it: " << Quoted(signatureFile) << "\n";
    else if (result.serial)
        out << "sign it before it is served: openssl dgst -sha256 -sign PRIVATE.pem -out " << Quoted(signatureFile)
            << " " << Quoted(*output) << "\n";
    if (result.staleSignature)
        err << "warning: " << Quoted(signatureFile) << " is the signature of another list; sign this one before it "
            << "is served\n";
    if (!options.patchesFrom.empty())
        out << "diffed " << result.patches.diffed << (result.patches.diffed == 1 ? " file" : " files") << ", listed "
            << result.patches.listed << (result.patches.listed == 1 ? " patch" : " patches") << " of "
            << result.patches.listedBytes << " bytes\n";
    if (result.objects)
        out << "objects: " << result.objects->copied << " copied, " << result.objects->kept << " already there\n";
    auto files = [](const Download& download) {
        std::string text = std::to_string(download.files) + (download.files == 1 ? " file, " : " files, ") +
                           std::to_string(download.bytes) + " bytes";
        if (download.patched > 0)
            text += " (" + std::to_string(download.patched) + " through a patch; " +
                    std::to_string(download.wholeBytes) + " bytes whole)";
        return text;
    };
    if (result.previousRead)
        out << "a client holding the previous list downloads " << files(result.forPrevious) << "\n";
    else if (!result.previousProblem.empty())
        out << "a client holding the previous list: not known, the list that was at the output path cannot be read ("
            << result.previousProblem << ")\n";
    else
        out << "a client holding the previous list: none, no list was at the output path\n";
    out << "a client with nothing installed downloads " << files(result.forEveryone) << "\n";
    return 0;
}

int Verify(const std::vector<std::string>& arguments, std::ostream& out, std::ostream&)
{
    const Arguments parsed = Parse(
        arguments, {{"--dir", "dir"}, {"--url", "url"}, {"--time-limit", "time"}, {"--key", "key"}, {"--bases", "bases"}},
        nullptr, {"bases"});
    if (parsed.positional.empty()) throw UsageError("verify needs the list file");
    const auto dir = parsed.Option("dir");
    const auto url = parsed.Option("url");
    if (dir.has_value() == url.has_value()) throw UsageError("verify needs either --dir SERVED_DIR or --url BASE");

    int seconds = kDefaultSecondsPerFile;
    if (const auto time = parsed.Option("time")) {
        if (!url) throw UsageError("--time-limit goes with --url");
        const auto [end, failed] = std::from_chars(time->data(), time->data() + time->size(), seconds);
        if (failed != std::errc{} || end != time->data() + time->size() || seconds <= 0 || seconds > 86400)
            throw UsageError("--time-limit needs a number of seconds from 1 to 86400, not " + Quoted(*time));
    }
    std::vector<std::filesystem::path> bases;
    for (const auto& folder : parsed.Values("bases")) {
        bases.push_back(PathFromUtf8(folder));
        if (std::error_code error; !std::filesystem::is_directory(bases.back(), error))
            throw UsageError("--bases " + Quoted(folder) + " is not a folder");
    }
    std::optional<std::vector<P256PublicKey>> keys;
    if (const auto key = parsed.Option("key")) keys = ReadPublicKeyFile(PathFromUtf8(*key));
    const auto served = dir ? ServedFromFolder(PathFromUtf8(*dir)) : ServedOverHttp(*url, std::chrono::seconds(seconds));
    // Over the network, what clients get is checked too: the list and, with
    // keys, its signature as the server serves them now.
    std::optional<ServedPublication> publication;
    if (url) publication = FetchServedPublication(*url, std::chrono::seconds(seconds), keys.has_value());
    const VerifyReport report = VerifyFileList(PathFromUtf8(parsed.positional), *served, keys ? &*keys : nullptr,
                                               publication ? &*publication : nullptr, bases);
    auto where = [](const Finding& finding) {
        return finding.entry == 0 ? std::string("list: ") : "entry " + std::to_string(finding.entry) + ": ";
    };
    for (const auto& problem : report.problems) out << where(problem) << problem.message << "\n";
    for (const auto& warning : report.warnings) out << "warning: " << where(warning) << warning.message << "\n";
    for (const auto& note : report.notes) out << "note: " << where(note) << note.message << "\n";

    std::string entries = std::to_string(report.entries) + (report.entries == 1 ? " entry, " : " entries, ");
    if (report.patches > 0)
        entries += std::to_string(report.patches) + (report.patches == 1 ? " patch" : " patches") + " (" +
                   std::to_string(report.patchesApplied) + " applied to their bases), ";
    const std::string unchecked =
        report.notes.empty() ? "" : " (" + std::to_string(report.notes.size()) + " not checked)";
    if (report.problems.empty()) {
        out << entries << "no problems" << unchecked << "\n";
        return 0;
    }
    out << entries << report.problems.size() << (report.problems.size() == 1 ? " problem" : " problems") << unchecked
        << "\n";
    return 1;
}

int Keygen(const std::vector<std::string>& arguments, std::ostream& out, std::ostream&)
{
    std::vector<std::string> files;
    Parse(arguments, {}, &files);
    if (files.size() != 2) throw UsageError("keygen needs the private key file and the public key file");
    const auto privateFile = PathFromUtf8(files[0]);
    const auto publicFile = PathFromUtf8(files[1]);
    GenerateKeyPair(privateFile, publicFile);
    out << "wrote the private key " << Quoted(files[0]) << " (readable by you only: keep it off the update server)\n"
        << "wrote the public key " << Quoted(files[1]) << " (build the updater with -DTALLOWFIN_LIST_KEYS="
        << files[1] << ")\n";
    return 0;
}

// The serial of the list served now, alone on a line, for a script to take:
// "make release" builds it in as the lowest serial the updater takes.
int Serial(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    const Arguments parsed = Parse(arguments, {});
    if (parsed.positional.empty()) throw UsageError("serial needs the base address the list is served at");
    const ServedPublication served =
        FetchServedPublication(parsed.positional, std::chrono::seconds(kDefaultSecondsPerFile), false);
    const auto serial = ServedListSerial(served.list);
    if (!serial) err << "note: " << served.list.url << " serves no list with a serial; 0 sets no lowest serial\n";
    out << serial.value_or(0) << "\n";
    return 0;
}

}  // namespace

int RunPublishCommand(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    try {
        if (arguments.empty()) throw UsageError("no command given");
        const std::string& command = arguments.front();
        if (command == "-h" || command == "--help" || command == "help") {
            out << kUsage;
            return 0;
        }
        // One row per command; each gets the whole argument list.
        using Command = int (*)(const std::vector<std::string>&, std::ostream&, std::ostream&);
        static constexpr std::pair<std::string_view, Command> kCommands[] = {
            {"make", &Make},
            {"verify", &Verify},
            {"keygen", &Keygen},
            {"serial", &Serial},
        };
        for (const auto& [name, run] : kCommands)
            if (command == name) return run(arguments, out, err);
        throw UsageError("unknown command " + Quoted(command));
    } catch (const UsageError& failure) {
        err << "error: " << failure.what() << " (tallowfin-publish --help shows the usage)\n";
        return 2;
    } catch (const InputError& failure) {
        err << "error: " << failure.what() << "\n";
        return 2;
    } catch (const std::exception& failure) {
        err << "error: " << failure.what() << "\n";
        return 3;
    }
}

}  // namespace tallowfin::publish
