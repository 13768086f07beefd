#include "publish/served_files.h"

#include "common/limits.h"
#include "common/md5.h"
#include "download/url_rules.h"
#include "publish/errors.h"
#include "publish/file_digest.h"
#include "publish/http_fetch.h"
#include "publish/http_transport.h"
#include "publish/signing.h"
#include "publish/url_text.h"
#include "publish/utf8.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tallowfin::publish {

namespace {

class FolderFiles : public ServedFiles {
public:
    explicit FolderFiles(std::filesystem::path folder) : folder_(std::move(folder)) {}

    ServedFile Fetch(const std::string& downurl) override
    {
        std::filesystem::path file;
        if (ServedFile problem = Resolve(downurl, file); problem.state != ServedFile::State::Found) return problem;
        try {
            const FileDigests digests = DigestsOfFile(file);
            return {ServedFile::State::Found, digests.md5, {}, digests.sha256, digests.size};
        } catch (const InputError& failure) {
            return {ServedFile::State::Failed, {}, failure.what()};
        }
    }

    ServedContent Content(const std::string& downurl, std::uint64_t largest) override
    {
        std::filesystem::path file;
        if (ServedFile problem = Resolve(downurl, file); problem.state != ServedFile::State::Found) return {problem, {}};
        std::error_code error;
        if (const auto size = std::filesystem::file_size(file, error); !error && size > largest)
            return {{ServedFile::State::Failed, {}, "the file is " + std::to_string(size) + " bytes, more than " +
                                                        std::to_string(largest)},
                    {}};
        std::ifstream in(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        if (!in) return {{ServedFile::State::Failed, {}, "cannot read " + Quoted(Utf8FromPath(file))}, {}};
        ServedContent content{
            {ServedFile::State::Found, Md5Text(bytes.str()), {}, Sha256TextOf(bytes.str()), bytes.str().size()},
            bytes.str()};
        return content;
    }

private:
    // The file an address names below the folder; Found when it is there.
    ServedFile Resolve(const std::string& downurl, std::filesystem::path& file) const
    {
        if (IsAbsoluteUrl(downurl))
            return {ServedFile::State::NotCheckable, {}, "an absolute address cannot be checked against a folder"};

        // The server answers for the path; a query or fragment does not
        // change which file it serves. The path is decoded before it is
        // checked: "..%2F" and "%2Fetc" are ".." and "/etc" to the file system.
        const std::string_view address = std::string_view(downurl).substr(0, downurl.find_first_of("?#"));
        const std::string decoded = PercentDecode(address);
        if (!IsValidUtf8(decoded)) return {ServedFile::State::Missing, {}, "the address is not UTF-8 once decoded"};
        if (decoded.find('\0') != std::string::npos)
            return {ServedFile::State::Missing, {}, "the address holds a zero byte once decoded"};
        // Appended to the base, a leading or doubled "/" adds an empty segment,
        // which servers ignore. A backslash separates folders on a Windows
        // server, so it separates here too, and no segment may climb or name a
        // drive or root, whatever the platform. Windows drops trailing dots and
        // blanks from a name, so ".. " or "..." may climb there as well.
        file = folder_;
        std::size_t from = 0;
        while (from <= decoded.size()) {
            const std::size_t end = std::min(decoded.find_first_of("/\\", from), decoded.size());
            const std::string_view segment = std::string_view(decoded).substr(from, end - from);
            from = end + 1;
            if (segment.empty() || segment == ".") continue;
            const std::filesystem::path part = PathFromUtf8(segment);
            const bool drive = segment.size() >= 2 && segment[1] == ':' &&
                               ((segment[0] >= 'A' && segment[0] <= 'Z') || (segment[0] >= 'a' && segment[0] <= 'z'));
            const bool climbs = segment.find_first_not_of(". ") == std::string_view::npos &&
                                std::count(segment.begin(), segment.end(), '.') >= 2;
            if (climbs || drive || part.has_root_path() || part.is_absolute())
                return {ServedFile::State::Failed, {}, "it leaves the served folder"};
            file /= part;
        }
        std::error_code error;
        if (!std::filesystem::is_regular_file(file, error))
            return {ServedFile::State::Missing, {}, "no file " + Quoted(Utf8FromPath(file))};
        if (const auto size = std::filesystem::file_size(file, error); !error && size > limits::kLargestFile)
            return {ServedFile::State::Failed, {}, "the file is " + std::to_string(size) +
                                                       " bytes, more than the updater can fetch (" +
                                                       std::to_string(limits::kLargestFile) + " bytes)"};
        return {ServedFile::State::Found, {}, {}};
    }

    std::filesystem::path folder_;
};

class HttpFiles : public ServedFiles {
public:
    HttpFiles(std::string base, std::chrono::milliseconds timeLimit, std::unique_ptr<HttpTransport> transport)
        : base_(std::move(base)), timeLimit_(timeLimit), transport_(std::move(transport))
    {
        if (!base_.empty() && base_.back() != '/') base_.push_back('/');
    }

    ServedFile Fetch(const std::string& downurl) override { return Get(downurl, nullptr, limits::kLargestFile); }

    ServedContent Content(const std::string& downurl, std::uint64_t largest) override
    {
        ServedContent content;
        content.file = Get(downurl, &content.bytes, largest);
        if (content.file.state != ServedFile::State::Found) content.bytes.clear();
        return content;
    }

private:
    // The reply judged as the updater takes it; with `keep`, the body kept
    // there up to `largest` bytes.
    ServedFile Get(const std::string& downurl, std::string* keep, std::uint64_t largest)
    {
        const std::string url = ResolveUrl(base_, downurl);
        Md5 md5;
        Sha256Digester sha256;
        if (keep) keep->clear();
        const FetchOutcome outcome = FetchAsUpdater(*transport_, url, timeLimit_, std::min(largest, limits::kLargestFile),
                                                    [&](const char* data, std::size_t size) {
                                                        md5.Update(data, size);
                                                        sha256.Update(data, size);
                                                        if (keep) keep->append(data, size);
                                                    });
        switch (outcome.state) {
        case FetchOutcome::State::Found:
            return {ServedFile::State::Found, DigestText(md5.Finish()), {}, sha256.FinishText(), outcome.length};
        case FetchOutcome::State::Missing: return {ServedFile::State::Missing, {}, outcome.detail};
        case FetchOutcome::State::Failed: break;
        }
        return {ServedFile::State::Failed, {}, outcome.detail};
    }

    std::string base_;
    std::chrono::milliseconds timeLimit_;
    std::unique_ptr<HttpTransport> transport_;
};

}  // namespace

std::unique_ptr<ServedFiles> ServedFromFolder(const std::filesystem::path& folder)
{
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        throw InputError("the served folder " + Quoted(Utf8FromPath(folder)) + " does not exist");
    return std::make_unique<FolderFiles>(folder);
}

std::unique_ptr<ServedFiles> ServedOverHttp(std::string base, std::chrono::milliseconds timeLimit,
                                            std::unique_ptr<HttpTransport> transport)
{
    if (!IsAbsoluteUrl(base) || base.find_first_of(" \t\r\n") != std::string::npos)
        throw InputError("the base address " + Quoted(base) + " is not an http:// or https:// address");
    return std::make_unique<HttpFiles>(std::move(base), timeLimit, std::move(transport));
}

std::unique_ptr<ServedFiles> ServedOverHttp(std::string base, std::chrono::milliseconds timeLimit)
{
    return ServedOverHttp(std::move(base), timeLimit, SystemHttpTransport());
}

}  // namespace tallowfin::publish
