#include "platform/http/http_client.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace platform {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool hasLineBreakOrNul(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string trimmed(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    auto last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

struct CurlGlobal {
    CurlGlobal() { curl_global_init(CURL_GLOBAL_DEFAULT); }
};

void initialiseCurlOnce() {
    static CurlGlobal global;
}

HttpError errorFor(CURLcode code, const char* detail) {
    std::string text = detail && *detail ? detail : curl_easy_strerror(code);
    switch (code) {
        case CURLE_URL_MALFORMAT:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return HttpError(HttpError::Kind::invalidRequest, "unsupported URL");
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return HttpError(HttpError::Kind::cannotConnect, "Could not connect to the server: " + text);
        case CURLE_OPERATION_TIMEDOUT:
            return HttpError(HttpError::Kind::timedOut, "The request timed out.");
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
            return HttpError(HttpError::Kind::connectionLost, "The network connection was lost.");
        default:
            return HttpError(HttpError::Kind::transport, text);
    }
}

HttpError cancelledError() { return HttpError(HttpError::Kind::cancelled, "cancelled"); }
HttpError shutDownError() { return HttpError(HttpError::Kind::shutDown, "The HTTP client was shut down."); }

// One transfer: the easy handle and everything it points into.
struct Transfer {
    HttpClient::RequestId id = 0;
    HttpRequest request;
    HttpClient::Completion completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    HttpResponse response;
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headers) curl_slist_free_all(headers);
    }

    bool bodyTooLarge = false;

    static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self) {
        auto& transfer = *static_cast<Transfer*>(self);
        const auto& limit = transfer.request.maxBodySize;
        if (limit && size * count > *limit - transfer.response.body.size()) {
            transfer.bodyTooLarge = true;
            return 0;  // ends the transfer
        }
        transfer.response.body.append(data, size * count);
        return size * count;
    }

    static std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* self) {
        auto& response = static_cast<Transfer*>(self)->response;
        std::string_view line(data, size * count);
        if (line.rfind("HTTP/", 0) == 0) {
            response.headers.clear();  // a new reply (after a 100 Continue, say)
        } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
            response.headers.emplace_back(std::string(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
        }
        return size * count;
    }

    // Sets the handle up; an error when the request itself is unusable.
    std::optional<HttpError> prepare() {
        for (auto& [name, value] : request.headers) {
            if (name.empty() || hasLineBreakOrNul(name) || hasLineBreakOrNul(value) ||
                name.find(':') != std::string::npos) {
                return HttpError(HttpError::Kind::invalidRequest, "invalid header in request");
            }
        }
        if (hasLineBreakOrNul(request.method) || request.method.empty()) {
            return HttpError(HttpError::Kind::invalidRequest, "invalid request method");
        }
        easy = curl_easy_init();
        if (!easy) return HttpError(HttpError::Kind::transport, "cannot create a transfer");

        bool hasContentType = false;
        for (auto& [name, value] : request.headers) {
            hasContentType = hasContentType || equalsIgnoringCase(name, "Content-Type");
            // "Name;" is how libcurl is told to send a header with an empty value.
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            headers = curl_slist_append(headers, line.c_str());
        }
        // libcurl would otherwise add headers of its own choosing to requests with a body.
        headers = curl_slist_append(headers, "Expect:");
        if (request.body && !hasContentType) headers = curl_slist_append(headers, "Content-Type:");

        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::max<std::int64_t>(1, request.timeout.count())));
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request.followRedirects ? 1L : 0L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

        if (request.method == "GET" && !request.body) {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD" && !request.body) {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else {
            if (request.body) {
                curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->data());
            }
            if (request.method != "POST" || !request.body) {
                curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
            }
        }
        return std::nullopt;
    }
};

void complete(Transfer& transfer, HttpResult result) {
    auto completion = std::exchange(transfer.completion, {});
    if (!completion) return;
    try {
        completion(std::move(result));
    } catch (...) {
        // A completion's own failure must not take the worker thread down.
    }
}

}  // namespace

bool HttpClient::isValidUrl(const std::string& url) {
    initialiseCurlOnce();
    CURLU* parsed = curl_url();
    if (!parsed) return false;
    bool valid = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    char* scheme = nullptr;
    if (valid && curl_url_get(parsed, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) {
        valid = std::string_view(scheme) == "http" || std::string_view(scheme) == "https";
        curl_free(scheme);
    }
    curl_url_cleanup(parsed);
    return valid;
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

struct HttpClient::Worker {
    CURLM* multi = nullptr;
    std::thread thread;

    std::mutex mutex;
    std::condition_variable idle;  // the worker waits here while no transfer runs
    bool stopping = false;
    RequestId nextId = 1;
    std::deque<std::unique_ptr<Transfer>> incoming;
    std::vector<RequestId> cancelled;

    // Owned by the worker thread only.
    std::map<RequestId, std::unique_ptr<Transfer>> running;

    ~Worker() {
        if (multi) curl_multi_cleanup(multi);
    }

    // Called after changing the shared state under the mutex.
    void wake() {
        curl_multi_wakeup(multi);
        idle.notify_one();
    }

    void finish(RequestId id, HttpResult result) {
        auto found = running.find(id);
        if (found == running.end()) return;
        auto transfer = std::move(found->second);
        running.erase(found);
        curl_multi_remove_handle(multi, transfer->easy);
        complete(*transfer, std::move(result));
    }

    void run() {
        while (true) {
            std::deque<std::unique_ptr<Transfer>> added;
            std::vector<RequestId> toCancel;
            bool stop;
            {
                std::lock_guard lock(mutex);
                added.swap(incoming);
                toCancel.swap(cancelled);
                stop = stopping;
            }
            for (auto& transfer : added) {
                if (stop) {
                    complete(*transfer, shutDownError());
                    continue;
                }
                if (std::find(toCancel.begin(), toCancel.end(), transfer->id) != toCancel.end()) {
                    complete(*transfer, cancelledError());
                    continue;
                }
                if (auto error = transfer->prepare()) {
                    complete(*transfer, std::move(*error));
                    continue;
                }
                curl_multi_add_handle(multi, transfer->easy);
                auto id = transfer->id;
                running.emplace(id, std::move(transfer));
            }
            for (auto id : toCancel) finish(id, cancelledError());
            if (stop) {
                while (!running.empty()) finish(running.begin()->first, shutDownError());
                return;
            }

            int stillRunning = 0;
            curl_multi_perform(multi, &stillRunning);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
                if (message->msg != CURLMSG_DONE) continue;
                Transfer* transfer = nullptr;
                curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &transfer);
                CURLcode code = message->data.result;
                if (code == CURLE_OK) {
                    long status = 0;
                    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
                    transfer->response.status = static_cast<int>(status);
                    finish(transfer->id, std::move(transfer->response));
                } else if (transfer->bodyTooLarge) {
                    finish(transfer->id, HttpError(HttpError::Kind::replyTooLarge,
                                                   "The reply is larger than " +
                                                       std::to_string(*transfer->request.maxBodySize) + " bytes."));
                } else {
                    finish(transfer->id, errorFor(code, transfer->errorText));
                }
            }
            if (running.empty()) {
                // Nothing to watch: sleep until a request, a cancellation or the shutdown comes.
                std::unique_lock lock(mutex);
                idle.wait(lock, [&] { return stopping || !incoming.empty() || !cancelled.empty(); });
                continue;
            }
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }
};

HttpClient::HttpClient() : worker_(std::make_shared<Worker>()) {
    initialiseCurlOnce();
    worker_->multi = curl_multi_init();
    if (!worker_->multi) throw std::runtime_error("cannot start the HTTP client");
    // The thread shares the worker, so that a client let go on the worker thread itself can
    // leave it running to its end.
    worker_->thread = std::thread([worker = worker_] { worker->run(); });
}

HttpClient::~HttpClient() {
    {
        std::lock_guard lock(worker_->mutex);
        worker_->stopping = true;
    }
    worker_->wake();
    if (worker_->thread.get_id() == std::this_thread::get_id()) {
        // The last owner was a completion: the worker cannot join itself; it completes what it
        // still holds as shut down and ends once that completion has returned.
        worker_->thread.detach();
    } else {
        worker_->thread.join();
    }
}

HttpClient::RequestId HttpClient::start(HttpRequest request, Completion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    RequestId id;
    {
        std::lock_guard lock(worker_->mutex);
        id = worker_->nextId++;
        transfer->id = id;
        if (!worker_->stopping) {
            worker_->incoming.push_back(std::move(transfer));
        }
    }
    if (transfer) {
        // The client is shutting down: the worker will not look at new requests any more.
        complete(*transfer, shutDownError());
        return id;
    }
    worker_->wake();
    return id;
}

void HttpClient::cancel(RequestId id) { canceller(id)(); }

std::function<void()> HttpClient::canceller(RequestId id) const {
    std::weak_ptr<Worker> weak = worker_;
    // Holding the worker keeps its multi handle valid for the wake-up, even during shutdown.
    return [weak, id] {
        auto worker = weak.lock();
        if (!worker) return;
        {
            std::lock_guard lock(worker->mutex);
            if (worker->stopping) return;
            worker->cancelled.push_back(id);
        }
        worker->wake();
    };
}

boost::asio::awaitable<HttpResponse> HttpClient::perform(HttpRequest request) {
    return asyncPerform(std::move(request), boost::asio::use_awaitable);
}

}  // namespace platform
