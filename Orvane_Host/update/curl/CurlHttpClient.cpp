#include "Orvane_Host/update/curl/CurlHttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <stdexcept>

namespace orvane {

struct CurlHttpClient::Transfer {
    HttpRequest request;
    Completion done;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string body;
    bool tooLarge = false;
    char error[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headers) curl_slist_free_all(headers);
    }
};

namespace {

CURLM* multi(void* m) {
    return static_cast<CURLM*>(m);
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    auto* t = static_cast<CurlHttpClient::Transfer*>(user);
    size_t n = size * count;
    if (t->body.size() + n > CurlHttpClient::maxBody) {
        t->tooLarge = true;
        return 0;  // ends the transfer with a write error
    }
    t->body.append(data, n);
    return n;
}

// Words for a person, with curl's own detail for whoever reads the log.
std::string describe(CURLcode code, const CurlHttpClient::Transfer& t) {
    std::string what;
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            what = "The request timed out.";
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
            what = "A server with the specified hostname could not be found.";
            break;
        case CURLE_COULDNT_CONNECT:
            what = "Could not connect to the server.";
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
            what = "The certificate for this server is invalid.";
            break;
        case CURLE_SSL_CONNECT_ERROR:
            what = "A secure connection to the server could not be made.";
            break;
        case CURLE_WRITE_ERROR:
            if (t.tooLarge) what = "The server's answer is too large.";
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            what = "The server sent the request on to an address that is not allowed.";
            break;
        case CURLE_ABORTED_BY_CALLBACK:
            what = "The request was cancelled.";
            break;
        default:
            break;
    }
    if (what.empty()) what = std::string(curl_easy_strerror(code)) + ".";
    if (t.error[0] && !t.tooLarge) what += std::string(" (") + t.error + ")";
    return what;
}

void setUp(CurlHttpClient::Transfer& t) {
    CURL* e = t.easy;
    const auto& r = t.request;
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.error);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    // A feed fetched over https must not be steered to plain http on the way.
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!r.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, r.caFile.c_str());
    // The timeout is for silence, as a browser's request timeout is: connecting (TLS included)
    // or waiting between bytes. A server that trickles is cut off by an overall cap.
    auto ms = std::max<long>(1, static_cast<long>(r.timeout.count()));
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, ms);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, std::max<long>(1, (ms + 999) / 1000));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, ms * 4);
    if (r.ignoreCache) {
        t.headers = curl_slist_append(t.headers, "Cache-Control: no-cache");
        t.headers = curl_slist_append(t.headers, "Pragma: no-cache");
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headers);
    }
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
}

}  // namespace

CurlHttpClient::CurlHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    multi_ = curl_multi_init();
    if (!multi_) throw std::runtime_error("libcurl could not start");
    thread_ = std::thread([this] { run(); });
}

CurlHttpClient::~CurlHttpClient() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    curl_multi_wakeup(multi(multi_));
    thread_.join();
    curl_multi_cleanup(multi(multi_));
}

void CurlHttpClient::get(HttpRequest request, Completion done) {
    auto t = std::make_unique<Transfer>();
    t->request = std::move(request);
    t->done = std::move(done);
    {
        std::lock_guard lock(mutex_);
        if (!stopping_) {
            incoming_.push_back(std::move(t));
            t = nullptr;
        }
    }
    if (t) {
        t->done(HttpResult::failure("The request was cancelled."));
        return;
    }
    curl_multi_wakeup(multi(multi_));
}

void CurlHttpClient::run() {
    std::map<CURL*, std::unique_ptr<Transfer>> running;
    auto complete = [&](CURL* easy, HttpResult result) {
        auto node = running.extract(easy);
        curl_multi_remove_handle(multi(multi_), easy);
        node.mapped()->done(std::move(result));
    };
    for (;;) {
        std::vector<std::unique_ptr<Transfer>> fresh;
        bool stop;
        {
            std::lock_guard lock(mutex_);
            fresh.swap(incoming_);
            stop = stopping_;
        }
        for (auto& t : fresh) {
            t->easy = curl_easy_init();
            if (!t->easy) {
                t->done(HttpResult::failure("The request could not be made."));
                continue;
            }
            setUp(*t);
            curl_multi_add_handle(multi(multi_), t->easy);
            CURL* key = t->easy;
            running.emplace(key, std::move(t));
        }
        if (stop) break;

        int active = 0;
        curl_multi_perform(multi(multi_), &active);
        int left = 0;
        while (CURLMsg* m = curl_multi_info_read(multi(multi_), &left)) {
            if (m->msg != CURLMSG_DONE) continue;
            CURL* easy = m->easy_handle;
            CURLcode code = m->data.result;
            auto& t = *running.at(easy);
            if (code == CURLE_OK) {
                long status = 0;
                curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
                complete(easy, HttpResult::response(status, std::move(t.body)));
            } else {
                complete(easy, HttpResult::failure(describe(code, t)));
            }
        }
        curl_multi_poll(multi(multi_), nullptr, 0, 1000, nullptr);
    }
    while (!running.empty())
        complete(running.begin()->first, HttpResult::failure("The request was cancelled."));
}

}  // namespace orvane
