#include "publish/patch_check.h"

#include "common/limits.h"
#include "common/md5.h"
#include "patch/apply.h"
#include "patch/memory_io.h"
#include "publish/errors.h"
#include "publish/file_digest.h"
#include "publish/signing.h"
#include "publish/url_text.h"
#include "publish/utf8.h"

#include <charconv>
#include <fstream>

namespace tallowfin::publish {

namespace {

namespace fs = std::filesystem;

bool IsLowerHex(const std::string& text, std::size_t digits)
{
    return text.size() == digits && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The base, read at offsets from its file.
class FileBase : public patch::BaseInput {
public:
    explicit FileBase(const fs::path& file) : in_(file, std::ios::binary)
    {
        std::error_code error;
        size_ = fs::file_size(file, error);
        if (error) in_.setstate(std::ios::failbit);
    }
    bool Size(std::uint64_t& size) override
    {
        size = size_;
        return static_cast<bool>(in_);
    }
    bool ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override
    {
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(size));
        return in_ && static_cast<std::size_t>(in_.gcount()) == size;
    }

private:
    std::ifstream in_;
    std::uint64_t size_ = 0;
};

// The result is only digested: the applier takes its MD5, this its SHA-256.
class DigestingOutput : public patch::ResultOutput {
public:
    bool Write(const void* data, std::size_t size) override
    {
        sha256.Update(data, size);
        return true;
    }
    Sha256Digester sha256;
};

}  // namespace

PatchChecks::PatchChecks(ServedFiles& served, std::vector<fs::path> bases)
    : served_(served), baseFolders_(std::move(bases))
{
}

const fs::path* PatchChecks::BaseWithMd5(const std::string& md5)
{
    if (!bases_) {
        bases_.emplace();
        for (const auto& folder : baseFolders_) {
            std::error_code error;
            if (!fs::is_directory(folder, error))
                throw InputError("the folder of bases " + Quoted(Utf8FromPath(folder)) + " does not exist");
            for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
                if (it->is_regular_file(error)) bases_->emplace(DigestsOfFile(it->path()).md5, it->path());
            if (error) throw InputError("cannot read the folder " + Quoted(Utf8FromPath(folder)) + ": " + error.message());
        }
    }
    const auto it = bases_->find(md5);
    return it == bases_->end() ? nullptr : &it->second;
}

void PatchChecks::Check(const XmlNode& entry, const std::string& hash, const std::string& sha256, bool signedList,
                        const Report& report)
{
    for (const XmlNode& element : entry.children) {
        if (element.kind != XmlNodeKind::Element || element.name != "patch") continue;
        ++patches_;
        const std::optional<std::string> address = UpdaterValue(element);
        const std::string label = "patch " + Quoted(address.value_or(""));
        bool usable = true;
        auto problem = [&](const std::string& message) {
            report.problem(label + " " + message);
            usable = false;
        };
        if (!address || address->empty()) problem("has no address as its one text");
        else if (const std::string why = DownloadAddressProblem(*address); !why.empty()) problem(why);

        const std::string base = element.Attribute("base").value_or("");
        const auto baseSha256 = element.Attribute("base_sha256");
        const auto patchSha256 = element.Attribute("sha256");
        const std::string sizeText = element.Attribute("size").value_or("");
        if (!IsLowerHex(base, 32)) problem("has no base of 32 lower-case hexadecimal digits (the earlier file's MD5)");
        if (baseSha256 ? !IsLowerHex(*baseSha256, 64) : signedList)
            problem("has no base_sha256 of 64 lower-case hexadecimal digits; a signed list needs it");
        if (patchSha256 ? !IsLowerHex(*patchSha256, 64) : signedList)
            problem("has no sha256 of 64 lower-case hexadecimal digits; a signed list needs it");
        std::uint64_t size = 0;
        const auto [end, failed] = std::from_chars(sizeText.data(), sizeText.data() + sizeText.size(), size);
        if (failed != std::errc{} || end != sizeText.data() + sizeText.size() || sizeText.empty() ||
            (sizeText.size() > 1 && sizeText[0] == '0') || size > limits::kLargestFile)
            problem("has no size of decimal digits up to " + std::to_string(limits::kLargestFile));
        if (!usable) continue;

        const ServedContent content = served_.Content(*address, size);
        switch (content.file.state) {
        case ServedFile::State::Found: break;
        case ServedFile::State::NotCheckable: report.note(label + " not checked: " + content.file.detail); continue;
        case ServedFile::State::Missing:
        case ServedFile::State::Failed: problem("is not served: " + content.file.detail); continue;
        }
        if (content.bytes.size() != size)
            problem("is " + std::to_string(content.bytes.size()) + " bytes, not the listed " + std::to_string(size));
        if (patchSha256 && content.file.sha256 != *patchSha256)
            problem("has the SHA-256 " + content.file.sha256 + ", not the listed sha256");
        const patch::HeaderRead read = patch::DecodeHeader(patch::BytesOf(content.bytes));
        if (!read.header) {
            problem("is not a well-formed patch: " + read.problem);
            continue;
        }
        const patch::PatchHeader& header = *read.header;
        if (patch::PatchSizeOf(header) != content.bytes.size())
            problem("has a header describing " + std::to_string(*patch::PatchSizeOf(header)) + " bytes of patch, not " +
                    std::to_string(content.bytes.size()));
        if (!hash.empty() && DigestText(header.resultMd5) != hash)
            problem("makes a file of MD5 " + DigestText(header.resultMd5) + ", not the entry's hash");
        if (!sha256.empty() && DigestText(header.resultSha256) != sha256)
            problem("makes a file of SHA-256 " + DigestText(header.resultSha256) + ", not the entry's sha256");
        if (DigestText(header.baseMd5) != base)
            problem("was made from a file of MD5 " + DigestText(header.baseMd5) + ", not its base");
        if (baseSha256 && DigestText(header.baseSha256) != *baseSha256)
            problem("was made from a file of SHA-256 " + DigestText(header.baseSha256) + ", not its base_sha256");
        if (!usable || baseFolders_.empty()) continue;

        const fs::path* baseFile = BaseWithMd5(base);
        if (!baseFile) {
            report.note(label + " not applied: no file of the --bases folders has its base's MD5");
            continue;
        }
        FileBase baseInput(*baseFile);
        patch::MemoryPatchInput patchInput(patch::BytesOf(content.bytes));
        DigestingOutput output;
        patch::ApplyOptions options;
        options.largestResult = limits::kLargestFile;
        const patch::ApplyResult applied = patch::ApplyPatch(patchInput, baseInput, output, options);
        if (!applied.Applied()) {
            problem("applied to " + Quoted(Utf8FromPath(*baseFile)) + ": " + patch::OutcomeName(applied.outcome) +
                    " (" + applied.detail + ")");
            continue;
        }
        const std::string resultSha256 = output.sha256.FinishText();
        if ((!hash.empty() && DigestText(applied.resultMd5) != hash) || (!sha256.empty() && resultSha256 != sha256))
            problem("applied to " + Quoted(Utf8FromPath(*baseFile)) + " gives another file than the entry's");
        else
            ++applied_;
    }
}

}  // namespace tallowfin::publish
