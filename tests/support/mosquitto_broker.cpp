// Starts and stops a private mosquitto by PID; the subscriber runs on
// libmosquitto's own network thread (mosquitto_loop_start).
#include "tests/support/mosquitto_broker.h"

#include "tests/support/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace sequelo::testsupport {
namespace {

constexpr auto kStartLimit = std::chrono::seconds(5);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr auto kPollStep = std::chrono::milliseconds(10);

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return false;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return ok;
}

// Runs a program to its end; its output goes to `log`. True on exit 0.
bool RunProgram(std::vector<std::string> args, const std::string& log) {
  const pid_t pid = SpawnProgram(std::move(args), log, false);
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

MosquittoBroker::MosquittoBroker(std::vector<BrokerUser> users) : users_(std::move(users)) {}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  if (!folder_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
}

std::string MosquittoBroker::Program() {
  return FindProgram("mosquitto");
}

std::string MosquittoBroker::Log() const {
  std::ifstream in(folder_ + "/mosquitto.log");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool MosquittoBroker::Prepare() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "sequelo-mosquitto-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    error_ = std::string("cannot make a temporary folder: ") + std::strerror(errno);
    return false;
  }
  folder_ = pattern;
  if (users_.empty()) {
    return true;
  }
  const std::string tool = FindProgram("mosquitto_passwd");
  if (tool.empty()) {
    error_ = "mosquitto_passwd not found";
    return false;
  }
  bool first = true;
  for (const auto& user : users_) {
    std::vector<std::string> args = {tool};
    if (first) {
      args.emplace_back("-c");
    }
    args.insert(args.end(), {"-b", folder_ + "/passwords", user.name, user.password});
    if (!RunProgram(args, folder_ + "/mosquitto_passwd.log")) {
      error_ = "mosquitto_passwd failed";
      return false;
    }
    first = false;
  }
  return true;
}

bool MosquittoBroker::Launch() {
  {
    std::ofstream conf(folder_ + "/mosquitto.conf", std::ios::trunc);
    conf << "listener " << port_ << " 127.0.0.1\n"
         << "allow_anonymous " << (users_.empty() ? "true" : "false") << "\n"
         << "persistence true\n"
         << "persistence_location " << folder_ << "/\n"
         << "max_queued_messages 100000\n"
         << "set_tcp_nodelay true\n"
         << "log_dest stderr\n";
    if (!users_.empty()) {
      conf << "password_file " << folder_ << "/passwords\n";
    }
    if (::geteuid() == 0) {
      conf << "user root\n";  // else it changes to the user "mosquitto"
    }
  }
  const std::string program = Program();
  const pid_t pid =
      SpawnProgram({program, "-c", folder_ + "/mosquitto.conf"}, folder_ + "/mosquitto.log", false);
  if (pid < 0) {
    error_ = "cannot start mosquitto";
    return false;
  }
  pid_ = pid;
  const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
  for (;;) {
    if (Accepts(port_)) {
      return true;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "mosquitto ended early: " + Log();
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error_ = "mosquitto took no connection in time: " + Log();
      Stop();
      return false;
    }
    std::this_thread::sleep_for(kPollStep);
  }
}

bool MosquittoBroker::Start() {
  if (pid_ > 0) {
    return true;
  }
  if (Program().empty()) {
    error_ = "mosquitto not found";
    return false;
  }
  if (folder_.empty() && !Prepare()) {
    return false;
  }
  return LaunchOnFreePort(port_, [this] { return Launch(); });
}

void MosquittoBroker::Stop() {
  StopProgram(pid_, kStopLimit);
}

MqttSubscriber::MqttSubscriber(int port, std::vector<std::string> topics, std::string clientId,
                               std::string user, std::string password)
    : port_(port),
      topics_(std::move(topics)),
      clientId_(std::move(clientId)),
      user_(std::move(user)),
      password_(std::move(password)) {}

MqttSubscriber::~MqttSubscriber() {
  Stop();
}

bool MqttSubscriber::Start() {
  if (mosq_ != nullptr) {
    return true;
  }
  InitLibrary();
  mosq_ = mosquitto_new(clientId_.empty() ? nullptr : clientId_.c_str(), clientId_.empty(), this);
  if (mosq_ == nullptr) {
    return false;
  }
  if (!user_.empty()) {
    mosquitto_username_pw_set(mosq_, user_.c_str(), password_.c_str());
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
  mosquitto_connect_callback_set(mosq_, &MqttSubscriber::OnConnect);
  mosquitto_subscribe_callback_set(mosq_, &MqttSubscriber::OnSubscribe);
  mosquitto_message_callback_set(mosq_, &MqttSubscriber::OnMessage);
  if (mosquitto_connect_async(mosq_, "127.0.0.1", port_, 10) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS) {
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    return false;
  }
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, kStartLimit, [this] { return subacks_ >= topics_.size(); });
}

void MqttSubscriber::Stop() {
  if (mosq_ == nullptr) {
    return;
  }
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

std::vector<MqttMessage> MqttSubscriber::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

bool MqttSubscriber::WaitFor(const std::function<bool(const std::vector<MqttMessage>&)>& done,
                             std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return done(messages_); });
}

void MqttSubscriber::SetHandler(std::function<void(const MqttMessage&)> handler, bool keep) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
  keep_ = keep;
}

void MqttSubscriber::OnConnect(struct mosquitto* m, void* self, int rc) {
  auto* s = static_cast<MqttSubscriber*>(self);
  if (rc != 0) {
    return;
  }
  for (const auto& topic : s->topics_) {
    mosquitto_subscribe(m, nullptr, topic.c_str(), 1);
  }
}

void MqttSubscriber::OnSubscribe(struct mosquitto*, void* self, int, int, const int*) {
  auto* s = static_cast<MqttSubscriber*>(self);
  {
    std::lock_guard lock(s->mutex_);
    ++s->subacks_;
  }
  s->changed_.notify_all();
}

void MqttSubscriber::OnMessage(struct mosquitto*, void* self,
                               const struct mosquitto_message* message) {
  auto* s = static_cast<MqttSubscriber*>(self);
  MqttMessage m;
  m.topic = message->topic != nullptr ? message->topic : "";
  if (message->payload != nullptr && message->payloadlen > 0) {
    m.payload.assign(static_cast<const char*>(message->payload),
                     static_cast<std::size_t>(message->payloadlen));
  }
  m.retained = message->retain;
  {
    std::lock_guard lock(s->mutex_);
    if (s->handler_) {
      s->handler_(m);
    }
    if (s->keep_) {
      s->messages_.push_back(std::move(m));
    }
  }
  s->changed_.notify_all();
}

}  // namespace sequelo::testsupport
