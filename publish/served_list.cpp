#include "download/url_rules.h"
#include "publish/served_list.h"

#include "common/limits.h"
#include "publish/errors.h"
#include "publish/list_document.h"
#include "publish/url_text.h"
#include "publish/utf8.h"
#include "trust/signature_der.h"
#include "trust/signed_list_values.h"

#ifdef _WIN32
#include <windows.h>

#include <filesystem>
#include <fstream>
#endif

namespace tallowfin::publish {

namespace {

constexpr int kNotFound = 404;

ServedBody FetchBody(HttpTransport& transport, std::string url, std::chrono::milliseconds timeLimit,
                     std::uint64_t largest)
{
    ServedBody body;
    body.url = std::move(url);
    body.outcome = FetchAsUpdater(transport, body.url, timeLimit, largest,
                                  [&](const char* data, std::size_t size) { body.bytes.append(data, size); });
    if (body.outcome.state != FetchOutcome::State::Found) body.bytes.clear();
    return body;
}

XmlNode ReadServedList(const std::string& bytes)
{
#ifdef _WIN32
    // The Windows build reads lists from files only, through the updater's
    // own document class.
    struct Scratch {
        std::filesystem::path path = std::filesystem::temp_directory_path() /
                                     ("tallowfin-publish-served-" + std::to_string(GetCurrentProcessId()) + ".xml");
        ~Scratch()
        {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
        }
    } scratch;
    {
        std::ofstream out(scratch.path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) throw ListDocumentError("it cannot be stored for reading in the temporary folder");
    }
    return ReadListFile(scratch.path);
#else
    return ReadListBytes(bytes);
#endif
}

}  // namespace

ServedPublication FetchServedPublication(std::string base, std::chrono::milliseconds timeLimit, bool withSignature,
                                         HttpTransport& transport)
{
    if (!IsAbsoluteUrl(base) || base.find_first_of(" \t\r\n") != std::string::npos)
        throw InputError("the base address " + Quoted(base) + " is not an http:// or https:// address");
    if (base.back() != '/') base.push_back('/');
    ServedPublication served;
    served.list = FetchBody(transport, base + "filelist.xml", timeLimit, limits::kLargestList);
    if (withSignature) served.signature = FetchBody(transport, base + "filelist.xml.sig", timeLimit, kLongestSignatureDer);
    return served;
}

ServedPublication FetchServedPublication(std::string base, std::chrono::milliseconds timeLimit, bool withSignature)
{
    const auto transport = SystemHttpTransport();
    return FetchServedPublication(std::move(base), timeLimit, withSignature, *transport);
}

std::optional<std::uint64_t> ServedListSerial(const ServedBody& list)
{
    if (list.outcome.state != FetchOutcome::State::Found) {
        if (list.outcome.status == kNotFound) return std::nullopt;
        throw InputError("the served list's serial cannot be read: " + list.outcome.detail);
    }
    try {
        const XmlNode root = ReadServedList(list.bytes);
        const auto text = root.Attribute("serial");
        if (!text) return std::nullopt;
        const auto serial = ReadListSerial(*text);
        if (!serial) throw InputError("the list served at " + list.url + " has the serial " + Quoted(*text) +
                                      ", which is not one");
        return serial;
    } catch (const ListDocumentError& failure) {
        throw InputError("the list served at " + list.url + " cannot be read for its serial: " + failure.what());
    }
}

}  // namespace tallowfin::publish
