// Reading the fetched file list and finding the files that changed.
#include <windows.h>

#include <array>
#include <cstdint>
#include <stdexcept>

#include "common/file_system.h"
#include "common/limits.h"
#include "control/file_digest.h"
#include "control/main_form.h"

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
constexpr std::array<std::wstring_view, 5> kValues = {L"path", L"name", L"hash", L"downurl", L"regist"};
enum Value { kPath, kName, kHash, kDownUrl, kRegist };

// A required value: present and not empty.
std::string Required(const std::optional<TXmlNode>& element, Value value)
{
    const std::string label(kValues[value].begin(), kValues[value].end());
    if (!element) throw ListError("An entry of the file list has no \"" + label + "\"");
    std::string text = element->Text();
    if (text.empty()) throw ListError("An entry of the file list has an empty \"" + label + "\"");
    return text;
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

UpdateRecords TMainForm::CollectChangedFiles(const std::string& ListFile)
{
    ListFileRemover remover(ListFile);
    UpdateRecords result;
    CheckListSize(ListFile);
    XMLDocument.LoadFromFile(ListFile);
    XMLDocument.SetEncoding("euc-kr");

    const TXmlNode root = XMLDocument.DocumentElement();
    const long count = root.ChildCount();
    for (long i = 0; i < count; ++i) {
        const auto values = root.Child(i).FirstChildElements(kValues);
        const std::string path = ExpandProgramPath(Required(values[kPath], kPath));
        const std::string name = Required(values[kName], kName);
        const std::string hash = Required(values[kHash], kHash);
        const std::string url = Required(values[kDownUrl], kDownUrl);
        // Its value decides nothing, but it must be well-formed like the others.
        if (values[kRegist]) values[kRegist]->Text();

        if (!DirectoryExists(path)) CreateDirectoryA(path.c_str(), nullptr);

        std::string localPath = path + "\\" + name;
        if (hash != FileDigestText(localPath)) {
            auto record = std::make_unique<TUpdateRec>();
            record->Url = url;
            record->LocalPath = std::move(localPath);
            record->Listed.Md5 = hash;
            result.push_back(std::move(record));
        }
    }
    return result;
}

}  // namespace tallowfin
