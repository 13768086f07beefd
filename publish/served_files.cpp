#include "publish/served_files.h"

#include "control/md5.h"
#include "publish/errors.h"
#include "publish/file_digest.h"
#include "publish/http_fetch.h"
#include "publish/url_text.h"
#include "publish/utf8.h"

namespace tallowfin::publish {

namespace {

class FolderFiles : public ServedFiles {
public:
    explicit FolderFiles(std::filesystem::path folder) : folder_(std::move(folder)) {}

    ServedFile Fetch(const std::string& downurl) override
    {
        if (IsAbsoluteHttpAddress(downurl))
            return {ServedFile::State::NotCheckable, {}, "an absolute address cannot be checked against a folder"};

        // The server answers for the path; a query or fragment does not
        // change which file it serves.
        const std::string_view address = std::string_view(downurl).substr(0, downurl.find_first_of("?#"));
        std::filesystem::path file = folder_;
        std::size_t from = 0;
        while (from <= address.size()) {
            const std::size_t slash = std::min(address.find('/', from), address.size());
            const std::string segment = PercentDecode(address.substr(from, slash - from));
            from = slash + 1;
            if (segment.empty() || segment == ".") continue;
            if (segment == "..") return {ServedFile::State::Failed, {}, "the address climbs out of the served folder"};
            if (!IsValidUtf8(segment)) return {ServedFile::State::Missing, {}, "the address is not UTF-8 once decoded"};
            file /= PathFromUtf8(segment);
        }
        std::error_code error;
        if (!std::filesystem::is_regular_file(file, error))
            return {ServedFile::State::Missing, {}, "no file " + Quoted(Utf8FromPath(file))};
        try {
            return {ServedFile::State::Found, DigestOfFile(file), {}};
        } catch (const InputError& failure) {
            return {ServedFile::State::Failed, {}, failure.what()};
        }
    }

private:
    std::filesystem::path folder_;
};

class HttpFiles : public ServedFiles {
public:
    explicit HttpFiles(std::string base) : base_(std::move(base))
    {
        if (!base_.empty() && base_.back() != '/') base_.push_back('/');
    }

    ServedFile Fetch(const std::string& downurl) override
    {
        const std::string url = IsAbsoluteHttpAddress(downurl) ? downurl : base_ + downurl;
        Md5 md5;
        try {
            const int status = HttpGet(url, [&](const char* data, std::size_t size) { md5.Update(data, size); });
            if (status != 200)
                return {ServedFile::State::Missing, {}, url + " answers status " + std::to_string(status)};
        } catch (const HttpError& failure) {
            return {ServedFile::State::Failed, {}, url + ": " + failure.what()};
        }
        return {ServedFile::State::Found, DigestText(md5.Finish()), {}};
    }

private:
    std::string base_;
};

}  // namespace

std::unique_ptr<ServedFiles> ServedFromFolder(const std::filesystem::path& folder)
{
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        throw InputError("the served folder " + Quoted(Utf8FromPath(folder)) + " does not exist");
    return std::make_unique<FolderFiles>(folder);
}

std::unique_ptr<ServedFiles> ServedOverHttp(std::string base)
{
    if (!ParseHttpAddress(base))
        throw InputError("the base address " + Quoted(base) + " is not an http:// address (only http:// is supported)");
    return std::make_unique<HttpFiles>(std::move(base));
}

}  // namespace tallowfin::publish
