#pragma once

#include <stdexcept>
#include <string>

namespace tallowfin::pe {

// Thrown for any file that is not a well-formed PE image. The reader is fed
// release files, but a damaged or foreign file must end in this message, never
// in a read outside the buffer.
class PeFormatError : public std::runtime_error {
public:
    explicit PeFormatError(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace tallowfin::pe
