// Whether a file list declares a document type. A list needs none, and a
// declaration is where entities are defined that expand a small document into
// gigabytes: a list that has one is refused before the parser sees it, also
// by a parser that takes the hardening properties and ignores them.
#pragma once

#include <string_view>

namespace tallowfin {

// True when the document's prolog holds "<!DOCTYPE". The prolog is read in
// the encoding its byte-order mark or first characters show (UTF-8 or any
// single-byte code, UTF-16 and UTF-32 in either byte order), stepping over
// blanks, processing instructions and comments; it ends at anything else.
bool DeclaresDocumentType(std::string_view bytes);

}  // namespace tallowfin
