// Failures caused by what the user handed the tool (arguments, folders, file
// lists) rather than by a fault of the tool: reported as one line, exit 2.
#pragma once

#include <stdexcept>

namespace tallowfin::publish {

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace tallowfin::publish
