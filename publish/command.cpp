#include "publish/command.h"

#include "publish/errors.h"
#include "publish/make_list.h"
#include "publish/utf8.h"
#include "publish/verify_list.h"

#include <charconv>
#include <chrono>
#include <map>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>

namespace tallowfin::publish {

namespace {

constexpr const char* kUsage =
    "usage: tallowfin-publish make RELEASE_DIR -o FILELIST [--root ROOT] [--url-prefix PREFIX]\n"
    "       tallowfin-publish verify FILELIST (--dir SERVED_DIR | --url BASE [--time-limit SECONDS])\n";

// The whole of one file, redirects and body, within this time unless the user
// says otherwise: 2 GiB at 10 MB/s takes 215 s.
constexpr int kDefaultSecondsPerFile = 300;

class UsageError : public InputError {
public:
    using InputError::InputError;
};

// One positional argument and options that each take a value.
struct Arguments {
    std::string positional;
    std::map<std::string, std::string> options;

    std::optional<std::string> Option(const std::string& name) const
    {
        const auto it = options.find(name);
        return it == options.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
};

Arguments Parse(const std::vector<std::string>& arguments, const std::map<std::string, std::string>& known)
{
    Arguments parsed;
    bool havePositional = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() > 1 && argument[0] == '-') {
            const auto it = known.find(argument);
            if (it == known.end()) throw UsageError("unknown option " + Quoted(argument));
            if (i + 1 >= arguments.size()) throw UsageError(argument + " needs a value");
            if (!parsed.options.emplace(it->second, arguments[++i]).second)
                throw UsageError(argument + " given twice");
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
        Parse(arguments, {{"-o", "output"}, {"--output", "output"}, {"--root", "root"}, {"--url-prefix", "prefix"}});
    if (parsed.positional.empty()) throw UsageError("make needs the release folder");
    const auto output = parsed.Option("output");
    if (!output || output->empty()) throw UsageError("make needs the output file (-o FILELIST)");

    MakeOptions options;
    options.releaseDir = PathFromUtf8(parsed.positional);
    options.output = PathFromUtf8(*output);
    if (const auto root = parsed.Option("root")) options.root = *root;
    if (const auto prefix = parsed.Option("prefix")) options.urlPrefix = *prefix;

    const MakeResult result = MakeFileList(options);
    for (const auto& folder : result.emptyFolders)
        err << "warning: the empty folder " << Quoted(folder) << " is left out: a list can only carry files\n";
    out << "wrote " << Quoted(*output) << " with " << result.entries << (result.entries == 1 ? " entry" : " entries")
        << "\n";
    auto files = [](const Download& download) {
        return std::to_string(download.files) + (download.files == 1 ? " file, " : " files, ") +
               std::to_string(download.bytes) + " bytes";
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
    const Arguments parsed = Parse(arguments, {{"--dir", "dir"}, {"--url", "url"}, {"--time-limit", "time"}});
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
    const auto served = dir ? ServedFromFolder(PathFromUtf8(*dir)) : ServedOverHttp(*url, std::chrono::seconds(seconds));
    const VerifyReport report = VerifyFileList(PathFromUtf8(parsed.positional), *served);
    auto where = [](const Finding& finding) {
        return finding.entry == 0 ? std::string("list: ") : "entry " + std::to_string(finding.entry) + ": ";
    };
    for (const auto& problem : report.problems) out << where(problem) << problem.message << "\n";
    for (const auto& note : report.notes) out << "note: " << where(note) << note.message << "\n";

    const std::string entries = std::to_string(report.entries) + (report.entries == 1 ? " entry, " : " entries, ");
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
