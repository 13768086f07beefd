// The reader of a list's DER signature against a second reader that knows
// the only shape a P-256 signature can take (every length fits one byte), and
// the writer that turns r || s back into DER. Properties:
// - the two readers agree on every input, value for value;
// - what the reader takes, the writer gives back byte for byte (one text per
//   signature: no other encoding of r and s passes);
// - any r || s without a zero half survives the writer and the reader.
#include "fuzz/fuzz_support.h"
#include "trust/signature_der.h"

#include <algorithm>
#include <optional>
#include <string>

using tallowfin::DerFromP256Signature;
using tallowfin::P256Signature;
using tallowfin::P256SignatureFromDer;

namespace {

// One INTEGER at `at`: tag, a one-byte length, a positive number in its
// fewest bytes (a zero first byte only before a byte with its high bit),
// nonzero, at most 32 bytes without that zero.
bool ReferenceInteger(const std::string& der, std::size_t& at, std::uint8_t* half)
{
    if (at + 2 > der.size() || der[at] != 0x02) return false;
    const std::size_t length = static_cast<std::uint8_t>(der[at + 1]);
    if (length == 0 || length >= 0x80 || at + 2 + length > der.size()) return false;
    std::string value = der.substr(at + 2, length);
    at += 2 + length;
    if (static_cast<std::uint8_t>(value[0]) >= 0x80) return false;
    if (value.size() > 1 && value[0] == 0) {
        if (static_cast<std::uint8_t>(value[1]) < 0x80) return false;
        value.erase(0, 1);
    }
    if (value.size() > 32 || value.find_first_not_of('\0') == std::string::npos) return false;
    std::fill(half, half + 32, 0);
    std::copy(value.begin(), value.end(), half + 32 - value.size());
    return true;
}

std::optional<P256Signature> ReferenceRead(const std::string& der)
{
    if (der.size() < 2 || der[0] != 0x30 || static_cast<std::uint8_t>(der[1]) != der.size() - 2) return std::nullopt;
    P256Signature rs{};
    std::size_t at = 2;
    if (!ReferenceInteger(der, at, rs.data()) || !ReferenceInteger(der, at, rs.data() + 32) || at != der.size())
        return std::nullopt;
    return rs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string der(reinterpret_cast<const char*>(data), size);
    const auto read = P256SignatureFromDer(der);
    const auto reference = ReferenceRead(der);
    FUZZ_CHECK_SAID(read == reference, tallowfin::fuzz::Shown(der));
    if (read) FUZZ_CHECK_SAID(DerFromP256Signature(*read) == der, tallowfin::fuzz::Shown(der));

    if (size >= 64) {
        P256Signature rs{};
        std::copy(data, data + 64, rs.begin());
        const auto zero = [](auto begin, auto end) { return std::all_of(begin, end, [](auto b) { return b == 0; }); };
        if (!zero(rs.begin(), rs.begin() + 32) && !zero(rs.begin() + 32, rs.end())) {
            const std::string written = DerFromP256Signature(rs);
            FUZZ_CHECK(written.size() <= tallowfin::kLongestSignatureDer);
            FUZZ_CHECK(P256SignatureFromDer(written) == rs);
        }
    }
    return 0;
}
