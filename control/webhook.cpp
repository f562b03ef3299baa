#include "control/webhook.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

namespace sequelo::control {
namespace {

// The answer's body is not used: read up to this much (so the connection
// can serve the next request), then the transfer is cut.
constexpr std::size_t kMaxAnswerBody = 64 * 1024;

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string DurationText(std::uint32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string UrlPart(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) {
    return {};
  }
  std::string result(text);
  curl_free(text);
  return result;
}

}  // namespace

struct WebhookForwarder::Transfer {
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::size_t received = 0;
  bool answerCut = false;

  ~Transfer() {
    if (easy != nullptr) {
      curl_easy_cleanup(easy);
    }
    if (multi != nullptr) {
      curl_multi_cleanup(multi);
    }
    curl_slist_free_all(headers);
  }

  static std::size_t Discard(char*, std::size_t size, std::size_t count, void* self) {
    auto* transfer = static_cast<Transfer*>(self);
    transfer->received += size * count;
    if (transfer->received > kMaxAnswerBody) {
      transfer->answerCut = true;
      return 0;
    }
    return size * count;
  }
};

WebhookForwarder::WebhookForwarder(std::string url, core::EventLog& log, WebhookOptions options)
    : url_(std::move(url)),
      options_(options),
      delivery_(
          "Webhook",
          [this](const AlarmEvent& event, std::string& error) { return Post(event, error); }, log,
          options.limits) {
  GlobalInit();
  CURLU* parsed = curl_url();
  if (parsed == nullptr || curl_url_set(parsed, CURLUPART_URL, url_.c_str(), 0) != CURLUE_OK) {
    error_ = "WebhookUrl is not a URL";
  } else {
    const std::string scheme = UrlPart(parsed, CURLUPART_SCHEME);
    const std::string host = UrlPart(parsed, CURLUPART_HOST);
    if (scheme != "http" && scheme != "https") {
      error_ = "WebhookUrl is not an http or https URL";
    } else if (host.empty()) {
      error_ = "WebhookUrl has no host";
    } else {
      safeUrl_ = scheme + "://" + host + ":" + UrlPart(parsed, CURLUPART_PORT, CURLU_DEFAULT_PORT) +
                 UrlPart(parsed, CURLUPART_PATH);
    }
  }
  curl_url_cleanup(parsed);
  if (!error_.empty()) {
    return;
  }

  transfer_ = std::make_unique<Transfer>();
  Transfer& t = *transfer_;
  t.multi = curl_multi_init();
  t.easy = curl_easy_init();
  t.headers = curl_slist_append(nullptr, "Content-Type: application/json");
  // No "Expect: 100-continue" round trip before a larger event.
  t.headers = t.headers != nullptr ? curl_slist_append(t.headers, "Expect:") : nullptr;
  if (t.multi == nullptr || t.easy == nullptr || t.headers == nullptr) {
    error_ = "cannot set up HTTP requests";
    safeUrl_.clear();
    transfer_.reset();
    return;
  }
  curl_easy_setopt(t.easy, CURLOPT_URL, url_.c_str());
  curl_easy_setopt(t.easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(t.easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(t.easy, CURLOPT_POST, 1L);
  curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers);
  curl_easy_setopt(t.easy, CURLOPT_USERAGENT, "Sequelo/" SEQUELO_VERSION);
  curl_easy_setopt(t.easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(options_.connectTimeoutMs));
  curl_easy_setopt(t.easy, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.timeoutMs));
  curl_easy_setopt(t.easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, &Transfer::Discard);
  curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t);
}

WebhookForwarder::~WebhookForwarder() {
  Stop();
}

std::string WebhookForwarder::ConfigError() const {
  return error_.empty() ? std::string() : "Webhook not used: " + error_;
}

void WebhookForwarder::Start() {
  if (!Configured()) {
    return;
  }
  stopping_ = false;
  delivery_.Start();
}

void WebhookForwarder::Stop() {
  stopping_ = true;
  if (transfer_ != nullptr) {
    curl_multi_wakeup(transfer_->multi);
  }
  delivery_.Stop();
}

void WebhookForwarder::OnAlarm(const AlarmEvent& event) {
  if (Configured()) {
    delivery_.OnAlarm(event);
  }
}

bool WebhookForwarder::Post(const AlarmEvent& event, std::string& error) {
  Transfer& t = *transfer_;
  const std::string body = AlarmEventJson(event);
  curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, body.c_str());
  curl_easy_setopt(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  t.received = 0;
  t.answerCut = false;

  // The multi interface only to be woken by Stop: one transfer at a time.
  curl_multi_add_handle(t.multi, t.easy);
  bool stopped = false;
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    curl_multi_perform(t.multi, &running);
    if (running == 0) {
      break;
    }
    if (stopping_) {
      stopped = true;
      break;
    }
    curl_multi_poll(t.multi, nullptr, 0, 1000, nullptr);
  }
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(t.multi, &left)) {
    if (msg->msg == CURLMSG_DONE) {
      result = msg->data.result;
    }
  }
  curl_multi_remove_handle(t.multi, t.easy);
  if (stopped) {
    error = "stopped at shut-down";
    return false;
  }

  long status = 0;
  curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
  if (result == CURLE_OK || (result == CURLE_WRITE_ERROR && t.answerCut)) {
    if (status >= 200 && status < 300) {
      return true;
    }
    error = "HTTP " + std::to_string(status);
    return false;
  }
  switch (result) {
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connectUs = 0;
      curl_easy_getinfo(t.easy, CURLINFO_CONNECT_TIME_T, &connectUs);
      error = connectUs > 0
                  ? "timeout after " + DurationText(options_.timeoutMs)
                  : "connect timeout after " +
                        DurationText(std::min(options_.connectTimeoutMs, options_.timeoutMs));
      break;
    }
    case CURLE_COULDNT_CONNECT: {
      long osError = 0;
      curl_easy_getinfo(t.easy, CURLINFO_OS_ERRNO, &osError);
      char text[128] = "";
      error = osError == ECONNREFUSED ? std::string("connection refused")
              : osError == 0
                  ? std::string("cannot connect")
                  : "cannot connect: " +
                        std::string(::strerror_r(static_cast<int>(osError), text, sizeof text));
      break;
    }
    case CURLE_COULDNT_RESOLVE_HOST:
      error = "host not found";
      break;
    default:
      error = curl_easy_strerror(result);
      break;
  }
  return false;
}

}  // namespace sequelo::control
