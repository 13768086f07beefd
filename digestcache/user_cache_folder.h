// The per-user folder of one installation's kept files (see cache_location.h).
#pragma once

#include <string>

namespace tallowfin {

// "<local application data>\Kestal\Tallowfin\Update\<key>", not created
// here; empty when the system names no local application data folder, and
// then nothing is kept between runs.
std::string UserCacheFolder(const std::string& programDirectory, const std::string& baseUrl);

}  // namespace tallowfin
