#include "control/signed_list.h"

#include <windows.h>

#include <algorithm>

#include "common/file_system.h"
#include "common/utc_clock.h"
#include "trust/accepted_serial.h"
#include "trust/list_signature.h"
#include "trust/signature_der.h"
#include "trust/signed_list_values.h"

namespace tallowfin {

FileHandle HoldSignedList(const std::vector<P256PublicKey>& keys, const std::string& listFile,
                          const std::string& signatureFile)
{
    // Held open, shared for reading only, until the parser has read it: the
    // bytes it reads are those whose signature was checked.
    FileHandle list(CreateFileA(listFile.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    const auto listBytes = ReadWholeFile(list);
    const auto signatureBytes = ReadWholeFile(signatureFile, kLongestSignatureDer);
    if (!listBytes || !signatureBytes)
        throw UntrustedList("The file list or its signature is missing, unreadable or too long to be one");
    if (!ListSignedByOneOf(keys, *listBytes, *signatureBytes))
        throw UntrustedList("The file list is not signed with a key of this updater");
    return list;
}

std::vector<std::string> AcceptSignedList(const TXmlNode& root, const SerialRecords& records)
{
    const std::uint64_t highest = std::max({HighestAcceptedSerial(), InstallationAcceptedSerial(records.installationFile),
                                            records.floor});
    const auto serialText = root.Attribute(L"serial");
    const auto expiresText = root.Attribute(L"expires");
    const ListHeadVerdict verdict =
        JudgeSignedListHead(serialText ? std::optional<std::string_view>(*serialText) : std::nullopt,
                            expiresText ? std::optional<std::string_view>(*expiresText) : std::nullopt, highest,
                            UtcSecondsNow());
    if (!verdict.serial) throw UntrustedList(verdict.problem);

    std::vector<std::string> digests;
    const long count = root.ChildCount();
    for (long i = 0; i < count; ++i) {
        const auto element = root.Child(i).FirstChildElement(L"sha256");
        auto digest = element ? ReadListedSha256(element->Text()) : std::nullopt;
        if (!digest) throw UntrustedList("An entry of the file list has no well-formed \"sha256\"");
        digests.push_back(std::move(*digest));
    }
    RecordAcceptedSerial(*verdict.serial);
    RecordInstallationSerial(records.installationFile, *verdict.serial);
    return digests;
}

}  // namespace tallowfin
