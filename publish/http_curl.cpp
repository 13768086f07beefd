// HTTP through libcurl: the library does the framing, TLS and the proxy (the
// http_proxy, https_proxy and no_proxy variables); verify sees every line of
// the head as it arrives and judges it itself.
#include "publish/http_transport.h"

#include <curl/curl.h>

#include <algorithm>

namespace tallowfin::publish {

namespace {

struct CurlDeleter {
    void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

// What the callbacks share with the request; they run inside the library and
// must not throw through it.
struct Transfer {
    HttpExchange exchange;
    const WantBody* wantBody = nullptr;
    const BodySink* body = nullptr;
    std::uint64_t maxBytes = 0;
    bool tooLarge = false;
};

std::size_t OnHeader(char* data, std::size_t, std::size_t size, void* context)
{
    auto& transfer = *static_cast<Transfer*>(context);
    const std::string_view line(data, size);
    AddHeadLine(transfer.exchange.response, line);
    // The empty line ends a head; an interim 1xx head is followed by another.
    const bool end = line == "\r\n" || line == "\n";
    const int status = transfer.exchange.response.status;
    if (end && !(status >= 100 && status < 200)) {
        transfer.exchange.headComplete = true;
        try {
            if (!(*transfer.wantBody)(transfer.exchange.response)) {
                transfer.exchange.bodyRefused = true;
                return 0;
            }
        } catch (...) {
            return 0;
        }
    }
    return size;
}

std::size_t OnBody(char* data, std::size_t, std::size_t size, void* context)
{
    auto& transfer = *static_cast<Transfer*>(context);
    if (transfer.exchange.bodyBytes + size > transfer.maxBytes) {
        transfer.tooLarge = true;
        return 0;
    }
    transfer.exchange.bodyBytes += size;
    try {
        (*transfer.body)(data, size);
    } catch (...) {
        return 0;
    }
    return size;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// A Location resolved against the address it came from, as the library
// would follow it; empty when it cannot be.
std::string Resolved(const std::string& base, const std::string& location)
{
    std::unique_ptr<CURLU, UrlDeleter> url(curl_url());
    char* text = nullptr;
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK ||
        curl_url_set(url.get(), CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK ||
        curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK)
        return {};
    std::string resolved = text;
    curl_free(text);
    return resolved;
}

class CurlTransport final : public HttpTransport {
public:
    CurlTransport() : curl_(curl_easy_init())
    {
        if (!curl_) throw std::runtime_error("libcurl cannot be started");
    }

    HttpExchange Get(const std::string& url, std::chrono::steady_clock::time_point deadline, std::uint64_t maxBytes,
                     const WantBody& wantBody, const BodySink& body) override
    {
        Transfer transfer;
        transfer.wantBody = &wantBody;
        transfer.body = &body;
        transfer.maxBytes = maxBytes;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            transfer.exchange.failure = "no time left";
            transfer.exchange.timedOut = true;
            return transfer.exchange;
        }

        CURL* curl = curl_.get();
        curl_easy_reset(curl);
        char error[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
        curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(maxBytes));
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &OnHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
        // No Accept-Encoding, as the updater sends none: the bytes that
        // arrive are the file's. And, like the updater, never from a cache.
        curl_slist* headers = curl_slist_append(nullptr, "Cache-Control: no-cache");
        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headerList(headers, &curl_slist_free_all);
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

        const CURLcode result = curl_easy_perform(curl);
        if (const auto locations = transfer.exchange.response.Values("Location"); !locations.empty())
            transfer.exchange.redirectTarget = Resolved(url, locations.front());
        if (result != CURLE_OK && !transfer.exchange.bodyRefused) {
            if (transfer.tooLarge || result == CURLE_FILESIZE_EXCEEDED)
                transfer.exchange.failure = "the body goes on past " + std::to_string(maxBytes) + " bytes";
            else
                transfer.exchange.failure = error[0] ? error : curl_easy_strerror(result);
            transfer.exchange.timedOut = result == CURLE_OPERATION_TIMEDOUT;
        }
        return transfer.exchange;
    }

private:
    std::unique_ptr<CURL, CurlDeleter> curl_;
};

}  // namespace

std::unique_ptr<HttpTransport> SystemHttpTransport() { return std::make_unique<CurlTransport>(); }

}  // namespace tallowfin::publish
