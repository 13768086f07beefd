// The file list as the updater reads it: one <file> element per file, holding
// the values as child elements.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowfin::publish {

// A patch from one earlier version of the entry's file, written as
// <patch base="MD5" base_sha256="SHA-256" size="bytes" sha256="SHA-256">address</patch>.
struct ListedPatch {
    std::string base;        // MD5 text of the earlier file
    std::string baseSha256;  // its SHA-256 text
    std::uint64_t size = 0;  // bytes of the patch
    std::string sha256;      // SHA-256 text of the patch
    std::string address;     // like downurl
};

struct ListEntry {
    std::string path;     // the local folder, "%PROGRAM%" for the updater's own
    std::string name;     // the file name, joined to the folder by a backslash
    std::string hash;     // digest text of the file
    std::string sha256;   // its SHA-256 text, written by a list prepared for signing; else empty
    std::string downurl;  // relative to the list's base address, or absolute http:// or https://
    bool regist = false;  // libraries the installer registers
    std::uint64_t bytes = 0;  // the file's size: its "size", and what the list costs clients
    std::vector<ListedPatch> patches{};
};

std::string EscapeXmlText(std::string_view text);

// What the document element of a list prepared for signing carries.
struct ListHead {
    std::uint64_t serial = 0;
    std::optional<std::uint64_t> expires{};  // UTC seconds since 1970; none: the list never expires
};

// A UTF-8 document with its declaration, one value per line, every entry
// with its "size" and its patches; with a head, a list prepared for signing (the serial and
// any expiry on the document element, and every entry's "sha256").
std::string FileListXml(const std::vector<ListEntry>& entries, std::optional<ListHead> head = std::nullopt);

}  // namespace tallowfin::publish
