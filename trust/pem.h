// PEM text: blocks of base64 between "-----BEGIN LABEL-----" and
// "-----END LABEL-----" lines, as openssl writes keys. Text outside the
// blocks is ignored, so a key file may say in words which key is which.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tallowfin {

struct PemBlock {
    std::string label;  // "PUBLIC KEY", "PRIVATE KEY", ...
    std::string der;    // the decoded bytes
};

struct PemReading {
    std::vector<PemBlock> blocks;
    std::string problem;  // empty when every block was read; else what is wrong, and the blocks before it
};

// The blocks in file order. A block must end with the label it began with,
// and its body must be canonical base64 (blanks and line breaks anywhere, "="
// only at the end, no bits left over): a damaged key file is reported, never
// half read.
PemReading ReadPem(std::string_view text);

}  // namespace tallowfin
