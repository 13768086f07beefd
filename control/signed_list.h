// The file list of an updater built with keys: taken only as its publisher
// signed it, never older than one this user or this installation took
// before, never after it expired, and never with a serial far ahead of the
// clock. A list that is not trusted fails like a list that cannot be read:
// nothing is fetched or installed, and the run ends by starting the main
// program. Whoever is on the way to the server can then only withhold
// updates, which blocking the server does anyway, and only until the list
// they replay expires.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/handle.h"
#include "control/xml_document.h"
#include "trust/public_key.h"

namespace tallowfin {

class UntrustedList : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Opens the fetched list and checks its signature against `keys`. The list is
// returned held open for reading and refused to writers, so that the parser
// then reads the very bytes whose signature was checked. Throws UntrustedList.
FileHandle HoldSignedList(const std::vector<P256PublicKey>& keys, const std::string& listFile,
                          const std::string& signatureFile);

// Where the highest accepted serial is kept beside the per-user record, and
// the lowest serial the build takes.
struct SerialRecords {
    std::string installationFile;  // trust/accepted_serial.h; empty: the per-user record only
    std::uint64_t floor = 0;       // TALLOWFIN_LIST_SERIAL_FLOOR
};

// The document element of a signed list: its serial must be well-formed, no
// lower than the highest accepted (per user, per installation, the build's
// floor) and no more than a day ahead of the clock; an "expires" it carries
// must be well-formed and still ahead; and every entry must carry a
// well-formed "sha256". Returns each entry's SHA-256 text, in list order,
// after recording the serial as accepted in both places. Throws
// UntrustedList.
std::vector<std::string> AcceptSignedList(const TXmlNode& root, const SerialRecords& records);

}  // namespace tallowfin
