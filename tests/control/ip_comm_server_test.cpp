// The remote-control server against real TCP clients on the loopback
// interface (IPv4 and IPv6): what is logged, run and sent, in which order,
// which connection counts as client 1, and that floods, stalls and garbage
// neither stop the server nor grow it; and the line splitter on its own.
// The server calls the fakes from its event thread; the test thread waits
// for what they record with a bounded wait.
#include "control/ip_comm_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "control/line_splitter.h"

namespace sequelo::control {
namespace {

using namespace std::string_literals;

constexpr auto kWait = std::chrono::seconds(10);

// The event log and the actions in one: records what the server did, in
// order: "log <text>", "activity <text>", "run <command>", "ran <command>"
// (the command returned), "call <code>". While held, a command blocks (as a
// transmission does) until Release.
// Lines about connections ("Remote connection ...") are left out unless
// `peers` is set. A refusal set with Refuse is returned by the actions.
class Recorder final : public core::EventLog, public RemoteActions {
 public:
  void WriteLogLine(std::string_view text) override { Log("log ", text); }
  void AddActivityLine(std::string_view text) override { Log("activity ", text); }
  std::string SendCall(std::string_view code) override {
    Add("call " + std::string(code));
    return Refusal();
  }
  std::string RunCommand(std::string_view commandText) override {
    Add("run " + std::string(commandText));
    bool released = false;
    {
      std::unique_lock lock(mutex_);
      released = changed_.wait_for(lock, kWait, [this] { return !held_; });
    }
    Add(released ? "ran " + std::string(commandText) : "held too long"s);
    return Refusal();
  }
  void Refuse(std::string why) {
    std::lock_guard lock(mutex_);
    refusal_ = std::move(why);
  }
  std::atomic<bool> peers{false};

  void Log(std::string_view sink, std::string_view text) {
    if (peers || text.substr(0, 17) != "Remote connection") {
      Add(std::string(sink) + std::string(text));
    }
  }
  std::string Refusal() {
    std::lock_guard lock(mutex_);
    return refusal_;
  }
  void Hold() { Set(held_, true); }
  void Release() { Set(held_, false); }

  std::vector<std::string> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::size_t Count(const std::string& entry) const {
    std::lock_guard lock(mutex_);
    return CountLocked(entry);
  }
  // True once `n` entries begin with `prefix`; false after kWait.
  bool WaitStarting(const std::string& prefix, std::size_t n) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      return static_cast<std::size_t>(
                 std::count_if(entries_.begin(), entries_.end(),
                               [&](const std::string& e) { return e.rfind(prefix, 0) == 0; })) >= n;
    });
  }
  // True once an entry holds `part`; false after kWait.
  bool WaitContaining(const std::string& part) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kWait, [&] {
      return std::any_of(entries_.begin(), entries_.end(),
                         [&](const std::string& e) { return e.find(part) != std::string::npos; });
    });
  }
  // True once `entry` has been recorded `times` times; false after kWait.
  bool WaitFor(const std::string& entry, std::size_t times = 1,
               std::chrono::milliseconds wait = kWait) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, wait, [&] { return CountLocked(entry) >= times; });
  }

 private:
  void Add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
  }
  void Set(bool& flag, bool value) {
    std::lock_guard lock(mutex_);
    flag = value;
    changed_.notify_all();
  }
  std::size_t CountLocked(const std::string& entry) const {
    return static_cast<std::size_t>(std::count(entries_.begin(), entries_.end(), entry));
  }

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> entries_;
  bool held_ = false;
  std::string refusal_;
};

std::vector<std::string> Reported(const std::string& text) {
  return {"log " + text, "activity " + text};
}

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& part : parts) {
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

const std::vector<std::string> kConnected = Reported("Socket Client connected");
const std::vector<std::string> kDisconnected = Reported("Socket Client disconnected");

socklen_t LoopbackAddress(int family, std::uint16_t port, sockaddr_storage& storage) {
  storage = {};
  if (family == AF_INET) {
    auto& address = reinterpret_cast<sockaddr_in&>(storage);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sizeof address;
  }
  auto& address = reinterpret_cast<sockaddr_in6&>(storage);
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  address.sin6_addr = in6addr_loopback;
  return sizeof address;
}

bool LoopbackAvailable(int family) {
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address;
  const socklen_t size = LoopbackAddress(family, 0, address);
  const bool available =
      fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
  ::close(fd);
  return available;
}

// A blocking TCP client on the loopback address; every wait is bounded.
class TestClient {
 public:
  TestClient() = default;
  TestClient(TestClient&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  TestClient& operator=(TestClient&&) = delete;
  ~TestClient() { Close(); }

  // `receiveBuffer` > 0 sets a small receive buffer (before connecting, so
  // the advertised window stays small).
  bool Connect(int family, std::uint16_t port, int receiveBuffer = 0) {
    fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{10, 0};  // a send the server never takes fails the test
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_storage address;
    const socklen_t size = LoopbackAddress(family, port, address);
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), size) == 0;
  }

  bool Send(std::string_view bytes) {
    while (!bytes.empty()) {
      const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent <= 0) {
        return false;
      }
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
  }

  // Up to `size` bytes: fewer only if the server closed or kWait passed.
  std::string Receive(std::size_t size) {
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    char buffer[4096];
    while (received.size() < size && WaitReadable(deadline)) {
      const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, size - received.size()), 0);
      if (got <= 0) {
        closed_ = got == 0 || errno == ECONNRESET;  // closed with our bytes unread
        break;
      }
      received.append(buffer, static_cast<std::size_t>(got));
    }
    return received;
  }

  // Ends the sending side, so the server closes the connection: what came
  // up to that close, or nothing if the close did not come.
  std::optional<std::string> FinishAndDrain() {
    ::shutdown(fd_, SHUT_WR);
    std::string received = Receive(std::string::npos);
    return closed_ ? std::optional(received) : std::nullopt;
  }

  int Fd() const { return fd_; }

  void Close() {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  bool WaitReadable(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{fd_, POLLIN, 0};
    return left.count() > 0 && ::poll(&entry, 1, static_cast<int>(left.count())) > 0;
  }

  int fd_ = -1;
  bool closed_ = false;
};

class IPCommServerTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!LoopbackAvailable(GetParam())) {
      GTEST_SKIP() << "no loopback address of this family";
    }
    std::string error;
    ASSERT_TRUE(server_.Start(0, access_, error)) << error;
    ASSERT_NE(server_.Port(), 0);
  }
  // Every connection and line welcome, unless a test says otherwise.
  static RemoteAccess Open() {
    RemoteAccess access;
    access.maxClients = 1000;
    access.linesPerSecond = 1e9;
    access.logLinesPerSecond = 1e9;
    access.logBurst = 1e9;
    return access;
  }
  void Restart(const RemoteAccess& access) {
    server_.Stop();
    access_ = access;
    std::string error;
    ASSERT_TRUE(server_.Start(0, access_, error)) << error;
  }

  TestClient Connect(int receiveBuffer = 0) {
    TestClient client;
    EXPECT_TRUE(client.Connect(GetParam(), server_.Port(), receiveBuffer));
    return client;
  }
  // Connects while no other client is connected, so this is client 1.
  TestClient ConnectClientOne(int receiveBuffer = 0) {
    const std::size_t before = journal_.Count(kConnected.back());
    TestClient client = Connect(receiveBuffer);
    EXPECT_TRUE(journal_.WaitFor(kConnected.back(), before + 1));
    return client;
  }
  // Client 1 closes; the server, which cannot tell that from a half-close,
  // lets it go once its time is up.
  void CloseClientOne(TestClient& client) {
    client.Close();
    WaitUntilClientOneLetGo();
  }
  void WaitUntilClientOneLetGo() {
    const std::size_t before = journal_.Count(kDisconnected.back());
    // The server may not have seen the close yet when the clock moves on.
    for (int i = 0; i < 20 && journal_.Count(kDisconnected.back()) == before; ++i) {
      clock_.Advance(IPCommServer::kHalfClosedTimeoutMs);
      journal_.WaitFor(kDisconnected.back(), before + 1, std::chrono::milliseconds(1500));
    }
    ASSERT_EQ(journal_.Count(kDisconnected.back()), before + 1);
  }
  // Everything this client sent before has been handled once this returns.
  void Sync(TestClient& client, const std::string& tag) {
    ASSERT_TRUE(client.Send("!" + tag + "\r\n"));
    ASSERT_TRUE(journal_.WaitFor("ran " + tag));
  }
  static std::vector<std::string> Command(const std::string& text) {
    return Joined({Reported("Socket command received: !" + text), {"run " + text, "ran " + text}});
  }
  static std::vector<std::string> Code(const std::string& code) {
    return Joined({Reported("Socket code received: " + code), {"call " + code}});
  }

  Recorder journal_;
  core::ManualTickClock clock_{1000};
  RemoteAccess access_ = Open();
  IPCommServer server_{journal_, journal_, clock_};  // last: stops before the recorder goes
};

INSTANTIATE_TEST_SUITE_P(Loopback, IPCommServerTest, ::testing::Values(AF_INET, AF_INET6),
                         [](const ::testing::TestParamInfo<int>& param) {
                           return param.param == AF_INET ? "IPv4"s : "IPv6"s;
                         });

TEST_P(IPCommServerTest, FirstClientIsReportedConnected) {
  EXPECT_FALSE(server_.ClientConnected());
  TestClient client = ConnectClientOne();
  EXPECT_TRUE(server_.ClientConnected());
  EXPECT_EQ(journal_.Entries(), kConnected);
}

TEST_P(IPCommServerTest, CodesAndCommandsAreLoggedThenActedOn) {
  TestClient client = ConnectClientOne();
  ASSERT_TRUE(client.Send("12345\r\n!P1000\r\n1234*\r\n!\r\n"));
  ASSERT_TRUE(journal_.WaitFor("ran "));
  EXPECT_EQ(journal_.Entries(),
            Joined({kConnected, Code("12345"), Command("P1000"), Code("1234*"), Command("")}));
}

TEST_P(IPCommServerTest, OtherLinesAreIgnoredWithoutALogLine) {
  TestClient client = ConnectClientOne();
  ASSERT_TRUE(
      client.Send("1234\r\n123456\r\n12a45\r\n\r\n 12345\r\n12345 \r\nabcde\r\n123\n4\r\n"));
  Sync(client, "end");
  EXPECT_EQ(journal_.Entries(), Joined({kConnected, Command("end")}));
}

TEST_P(IPCommServerTest, LineEndsAtCrLfAndItsTextAtAZeroByte) {
  TestClient client = ConnectClientOne();
  ASSERT_TRUE(client.Send("12345\0tail\r\n!P7\0more\r\n1234\0005\r\n!a\nb\rc\r\n!split\r"s));
  ASSERT_TRUE(client.Send("\n"));
  ASSERT_TRUE(journal_.WaitFor("ran split"));
  EXPECT_EQ(journal_.Entries(), Joined({kConnected, Code("12345"), Command("P7"),
                                        Command("a\nb\rc"), Command("split")}));
}

TEST_P(IPCommServerTest, EventsAreDeliveredInOrder) {
  TestClient client = ConnectClientOne();
  std::string burst;
  std::vector<std::string> expected = kConnected;
  for (int i = 0; i < 60; ++i) {
    std::string code = std::to_string(i * 1111);
    code.insert(0, 5 - code.size(), '0');
    burst += code + "\r\n";
    expected = Joined({expected, Code(code)});
    if (i % 10 == 9) {
      burst += "!C" + std::to_string(i) + "\r\n";
      expected = Joined({expected, Command("C" + std::to_string(i))});
    }
  }
  ASSERT_TRUE(client.Send(burst));
  Sync(client, "end");
  CloseClientOne(client);
  EXPECT_EQ(journal_.Entries(), Joined({expected, Command("end"), kDisconnected}));
  EXPECT_FALSE(server_.ClientConnected());
}

TEST_P(IPCommServerTest, SentCodesReachClientOneOnlyAndNothingElseIsSent) {
  TestClient first = ConnectClientOne();
  TestClient second = Connect();
  ASSERT_TRUE(first.Send("12345\r\n!P1\r\nhello\r\n"));
  Sync(first, "first");
  Sync(second, "second");
  server_.SendToClient("54321");
  EXPECT_EQ(first.Receive(7), "54321\r\n");
  EXPECT_EQ(second.FinishAndDrain(), ""s);
  server_.SendToClient("end");
  EXPECT_EQ(first.Receive(5), "end\r\n");  // nothing in between
  EXPECT_EQ(server_.DroppedLines(), 0u);
}

TEST_P(IPCommServerTest, SecondClientIsNotReportedButItsLinesCount) {
  TestClient first = ConnectClientOne();
  TestClient second = Connect();
  ASSERT_TRUE(second.Send("23456\r\n"));
  Sync(second, "second");
  ASSERT_EQ(second.FinishAndDrain(), ""s);  // the server has closed it
  Sync(first, "first");
  EXPECT_EQ(journal_.Entries(),
            Joined({kConnected, Code("23456"), Command("second"), Command("first")}));
  EXPECT_TRUE(server_.ClientConnected());
}

TEST_P(IPCommServerTest, FreedIdOneGoesToTheNextClient) {
  TestClient first = ConnectClientOne();
  TestClient second = Connect();
  Sync(second, "second");
  CloseClientOne(first);
  EXPECT_FALSE(server_.ClientConnected());
  server_.SendToClient("11111");  // nobody is client 1

  TestClient third = ConnectClientOne();
  EXPECT_TRUE(server_.ClientConnected());
  server_.SendToClient("22222");
  EXPECT_EQ(third.Receive(7), "22222\r\n");
  EXPECT_EQ(second.FinishAndDrain(), ""s);
  Sync(third, "third");
  EXPECT_EQ(journal_.Entries(),
            Joined({kConnected, Command("second"), kDisconnected, kConnected, Command("third")}));
}

TEST_P(IPCommServerTest, LineArrivingDuringACommandWaitsWhileSendingGoesOn) {
  TestClient client = ConnectClientOne();
  journal_.Hold();
  ASSERT_TRUE(client.Send("!hold\r\n"));
  ASSERT_TRUE(journal_.WaitFor("run hold"));
  ASSERT_TRUE(client.Send("12345\r\n"));
  server_.SendToClient("54321");
  EXPECT_EQ(client.Receive(7), "54321\r\n");
  TestClient other = Connect();  // accepting goes on too
  server_.SendToClient("67890");
  EXPECT_EQ(client.Receive(7), "67890\r\n");
  EXPECT_EQ(journal_.Count("call 12345"), 0u);
  journal_.Release();
  ASSERT_TRUE(journal_.WaitFor("call 12345"));
  EXPECT_EQ(journal_.Entries(), Joined({kConnected, Command("hold"), Code("12345")}));
}

TEST_P(IPCommServerTest, ManyConnectionsComeAndGo) {
  std::vector<TestClient> clients;
  for (int i = 0; i < 200; ++i) {
    clients.push_back(Connect());
  }
  // Last first: the server has accepted every earlier one when it closes the
  // last, so the ids are 1 to 200 and only client 1's going is reported.
  for (auto client = clients.rbegin(); client + 1 != clients.rend(); ++client) {
    ASSERT_EQ(client->FinishAndDrain(), ""s);
  }
  CloseClientOne(clients.front());
  clients.clear();
  TestClient last = ConnectClientOne();
  ASSERT_TRUE(last.Send("12345\r\n"));
  ASSERT_TRUE(journal_.WaitFor("call 12345"));
  EXPECT_EQ(journal_.Entries(), Joined({kConnected, kDisconnected, kConnected, Code("12345")}));
}

TEST_P(IPCommServerTest, AFloodOfConnectionsIsSummedUpInTheLog) {
  journal_.peers = true;
  TestClient first = ConnectClientOne();
  for (int i = 0; i < 99; ++i) {
    TestClient churn = Connect();
    ASSERT_EQ(churn.FinishAndDrain(), ""s);
  }
  Sync(first, "behind");  // every connection's arrival has been handled
  clock_.Advance(2000);
  TestClient last = Connect();
  ASSERT_TRUE(journal_.WaitContaining("log Remote connections not logged: 70"));
  // 30 at once, then the newcomer after the pause.
  EXPECT_TRUE(journal_.WaitStarting("activity Remote connection ", 31));
  std::size_t logged = 0;
  for (const std::string& e : journal_.Entries()) {
    logged += e.rfind("log Remote connection ", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(logged, 31u);
}

TEST_P(IPCommServerTest, LongLineIsCutTo1024Characters) {
  TestClient client = ConnectClientOne();
  std::string line = "!";
  for (int i = 0; i < 100000; ++i) {
    line += static_cast<char>('a' + i % 26);
  }
  ASSERT_TRUE(client.Send(line));
  ASSERT_TRUE(client.Send("\r\n12345\r\n"));
  ASSERT_TRUE(journal_.WaitFor("call 12345"));
  EXPECT_EQ(journal_.Entries(), Joined({kConnected, Command(line.substr(1, 1023)), Code("12345")}));
}

TEST_P(IPCommServerTest, RandomBytesLeaveTheServerServing) {
  TestClient client = ConnectClientOne();
  std::mt19937 random(20240611);
  std::string chunk(64 * 1024, '\0');
  for (std::size_t sent = 0; sent < 10'000'000; sent += chunk.size()) {
    for (char& c : chunk) {
      c = static_cast<char>(random() & 0xFF);
    }
    ASSERT_TRUE(client.Send(chunk));
  }
  ASSERT_TRUE(client.Send("\r\n"));
  Sync(client, "alive");
  EXPECT_TRUE(server_.ClientConnected());
  server_.SendToClient("54321");
  EXPECT_EQ(client.Receive(7), "54321\r\n");
  EXPECT_EQ(journal_.Count(kConnected.back()), 1u);
  EXPECT_EQ(journal_.Count(kDisconnected.back()), 0u);
}

TEST_P(IPCommServerTest, HalfLineIsDroppedAtDisconnect) {
  TestClient first = ConnectClientOne();
  ASSERT_TRUE(first.Send("12345\r"));
  CloseClientOne(first);
  TestClient next = ConnectClientOne();
  ASSERT_TRUE(next.Send("\n\r\n"));
  Sync(next, "next");
  EXPECT_EQ(journal_.Entries(), Joined({kConnected, kDisconnected, kConnected, Command("next")}));
}

TEST_P(IPCommServerTest, ClientThatNeverReadsHoldsUpNothing) {
  TestClient stalled = ConnectClientOne(4096);
  // The system buffers part of what is sent, so the lines together (1 MB)
  // go far beyond those buffers and the server's own queue.
  const std::string line = "12345" + std::string(1019, '*');
  for (int i = 0; i < 1000; ++i) {
    server_.SendToClient(line);
  }
  EXPECT_GT(server_.DroppedLines(), 0u);
  TestClient other = Connect();
  Sync(other, "other");
  ASSERT_TRUE(stalled.Send("12345\r\n"));
  ASSERT_TRUE(journal_.WaitFor("call 12345"));
  EXPECT_TRUE(server_.ClientConnected());
}

TEST_P(IPCommServerTest, StopClosesConnectionsAndStartServesAgain) {
  TestClient client = ConnectClientOne();
  server_.Stop();
  EXPECT_FALSE(server_.ClientConnected());
  EXPECT_EQ(server_.Port(), 0);
  EXPECT_EQ(client.FinishAndDrain(), ""s);

  std::string error;
  ASSERT_TRUE(server_.Start(0, access_, error)) << error;
  TestClient again = ConnectClientOne();
  ASSERT_TRUE(again.Send("12345\r\n"));
  ASSERT_TRUE(journal_.WaitFor("call 12345"));
}

TEST_P(IPCommServerTest, ClientOutsideTheAllowListIsClosedUnansweredAndLoggedOnce) {
  RemoteAccess access = Open();
  access.allow = "10.0.0.0/8, fd00::/8";
  Restart(access);
  journal_.peers = true;
  TestClient stranger = Connect();
  stranger.Send("12345\r\n!X\r\n");
  EXPECT_EQ(stranger.FinishAndDrain(), ""s);  // closed, not a byte said
  ASSERT_TRUE(journal_.WaitContaining("activity Remote connection refused"));
  const std::string peer = GetParam() == AF_INET ? "127.0.0.1:" : "[::1]:";
  const std::vector<std::string> entries = journal_.Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].rfind("log Remote connection refused from " + peer, 0), 0u) << entries[0];
  EXPECT_NE(entries[0].find("address not allowed (RemoteAllow)"), std::string::npos);
  EXPECT_FALSE(server_.ClientConnected());
}

TEST_P(IPCommServerTest, PeerIsLoggedOnceInALineOfItsOwn) {
  journal_.peers = true;
  TestClient client = ConnectClientOne();
  Sync(client, "x");
  const std::vector<std::string> entries = journal_.Entries();
  ASSERT_GE(entries.size(), 4u);
  const std::string peer = GetParam() == AF_INET ? "127.0.0.1:" : "[::1]:";
  EXPECT_EQ(entries[0].rfind("log Remote connection 1 from " + peer, 0), 0u) << entries[0];
  EXPECT_EQ(std::vector(entries.begin() + 2, entries.end()), Joined({kConnected, Command("x")}));
}

TEST_P(IPCommServerTest, WithASecretOnlyAClientThatSendsItFirstIsServed) {
  RemoteAccess access = Open();
  access.secret = "s3cret";
  Restart(access);
  TestClient wrong = Connect();
  wrong.Send("12345\r\n#AUTH s3cret\r\n12345\r\n");
  EXPECT_EQ(wrong.FinishAndDrain(), ""s);
  TestClient late = Connect();
  server_.SendToClient("99999");  // not authenticated: nothing for it
  late.Send("#AUTH s3cre\r\n");
  EXPECT_EQ(late.FinishAndDrain(), ""s);

  TestClient stranger = Connect();  // first, but without the secret: never client 1
  TestClient right = Connect();
  right.Send("#AUTH s3cret\r\n54321\r\n");
  ASSERT_TRUE(journal_.WaitFor("call 54321"));
  ASSERT_TRUE(journal_.WaitFor(kConnected.back()));  // client 1 once it has given the secret
  EXPECT_TRUE(server_.ClientConnected());
  server_.SendToClient("11111");
  EXPECT_EQ(right.Receive(7), "11111\r\n");
  clock_.Advance(IPCommServer::kAuthTimeoutMs);  // the stranger's time is up
  EXPECT_EQ(stranger.FinishAndDrain(), ""s);
  EXPECT_EQ(journal_.Count("call 12345"), 0u);
  for (const std::string& entry : journal_.Entries()) {
    EXPECT_EQ(entry.find("s3cret"), std::string::npos) << entry;
  }
}

TEST_P(IPCommServerTest, ReceiveOnlyClientsKeyNothingButGetCodes) {
  RemoteAccess access = Open();
  access.transmit = false;
  Restart(access);
  TestClient client = ConnectClientOne();
  client.Send("12345\r\n!XP9999\r\n");
  ASSERT_TRUE(journal_.WaitFor(
      "log Remote line not sent: remote clients may not transmit (RemoteTransmit=0): !XP9999"));
  EXPECT_EQ(journal_.Count("call 12345"), 0u);
  EXPECT_EQ(journal_.Count("run XP9999"), 0u);
  server_.SendToClient("54321");
  EXPECT_EQ(client.Receive(7), "54321\r\n");
}

TEST_P(IPCommServerTest, RefusedTransmissionIsLoggedWithItsReason) {
  journal_.Refuse("the queue is full");
  TestClient client = ConnectClientOne();
  client.Send("12345\r\n");
  EXPECT_TRUE(journal_.WaitFor("log Remote line not sent: the queue is full: 12345"));
}

TEST_P(IPCommServerTest, BeyondTheCapNewcomersAreRefusedUntilASilentOneGivesWay) {
  RemoteAccess access = Open();
  access.maxClients = 2;
  Restart(access);
  TestClient first = ConnectClientOne();
  TestClient second = Connect();
  Sync(second, "second");
  journal_.peers = true;
  TestClient third = Connect();
  EXPECT_EQ(third.FinishAndDrain(), ""s);
  EXPECT_TRUE(journal_.WaitContaining("2 clients connected already (RemoteMaxClients)"));
  // Client 1 never gives way; the second, silent for 10 s, does.
  clock_.Advance(11000);
  TestClient fourth = Connect();
  Sync(fourth, "fourth");
  EXPECT_EQ(second.FinishAndDrain(), ""s);
  server_.SendToClient("12345");
  EXPECT_EQ(first.Receive(7), "12345\r\n");
}

TEST_P(IPCommServerTest, LinesBeyondTheRateAreDroppedAndSummedUp) {
  RemoteAccess access = Open();
  access.linesPerSecond = 5;  // 10 at once
  Restart(access);
  TestClient flood = ConnectClientOne();
  TestClient other = Connect();
  std::string burst;
  for (int i = 0; i < 30; ++i) {
    burst += "12345\r\n";
  }
  ASSERT_TRUE(flood.Send(burst + "!a\r\n"));
  ASSERT_TRUE(journal_.WaitFor("call 12345", 10));
  Sync(other, "behind");  // queued after the whole burst
  EXPECT_EQ(journal_.Count("call 12345"), 10u);
  EXPECT_EQ(journal_.Count("run a"), 0u);
  clock_.Advance(1000);  // five more
  ASSERT_TRUE(flood.Send("!b0\r\n!b1\r\n!b2\r\n!b3\r\n!b4\r\n!b5\r\n"));
  ASSERT_TRUE(journal_.WaitFor("ran b4"));
  Sync(other, "after");
  EXPECT_EQ(journal_.Count("run b5"), 0u);
  CloseClientOne(flood);
  EXPECT_TRUE(journal_.WaitContaining(": 22 lines dropped (more than 5 a second)"));
}

TEST_P(IPCommServerTest, LogLinesBeyondTheClientsShareAreLeftOutAndCounted) {
  RemoteAccess access = Open();
  access.logLinesPerSecond = 1;
  access.logBurst = 4;
  Restart(access);
  TestClient client = ConnectClientOne();
  for (int i = 0; i < 10; ++i) {
    client.Send("!" + std::to_string(i) + "\r\n");
  }
  ASSERT_TRUE(journal_.WaitFor("ran 9"));
  EXPECT_EQ(journal_.Count("log Socket command received: !3"), 1u);
  EXPECT_EQ(journal_.Count("log Socket command received: !4"), 0u);
  clock_.Advance(10000);  // a while later: the summary comes with the next line
  client.Send("!late\r\n");
  ASSERT_TRUE(journal_.WaitFor("ran late"));
  EXPECT_TRUE(journal_.WaitContaining(": 6 log lines left out"));
  EXPECT_EQ(journal_.Count("log Socket command received: !late"), 1u);
}

TEST_P(IPCommServerTest, HalfClosedClientOneStillReceivesCodes) {
  TestClient client = ConnectClientOne();
  client.Send("12345\r\n");
  ::shutdown(client.Fd(), SHUT_WR);
  ASSERT_TRUE(journal_.WaitFor("call 12345"));
  server_.SendToClient("12345");
  EXPECT_EQ(client.Receive(7), "12345\r\n");
  clock_.Advance(IPCommServer::kHalfClosedTimeoutMs - 1);
  server_.SendToClient("23456");
  EXPECT_EQ(client.Receive(7), "23456\r\n");
  WaitUntilClientOneLetGo();  // once its time is up
  EXPECT_EQ(client.FinishAndDrain(), ""s);
}

TEST_P(IPCommServerTest, SilentConnectionIsDroppedWhileAReadingClientOneStays) {
  RemoteAccess access = Open();
  access.idleSeconds = 5;
  Restart(access);
  TestClient first = ConnectClientOne();
  TestClient silent = Connect();
  Sync(silent, "hello");
  clock_.Advance(6000);
  EXPECT_EQ(silent.FinishAndDrain(), ""s);  // closed by the once-a-second look
  server_.SendToClient("54321");
  EXPECT_EQ(first.Receive(7), "54321\r\n");
  EXPECT_TRUE(server_.ClientConnected());
}

TEST(IPCommServerStart, PortInUseFailsWithAReason) {
  Recorder journal;
  core::ManualTickClock clock;
  IPCommServer first(journal, journal, clock);
  IPCommServer second(journal, journal, clock);
  std::string error;
  ASSERT_TRUE(first.Start(0, {}, error)) << error;
  EXPECT_FALSE(first.Start(0, {}, error));
  EXPECT_FALSE(error.empty());

  RemoteAccess badList;
  badList.allow = "127.0.0.0/8, 10.0.0.0/33";
  EXPECT_FALSE(second.Start(0, badList, error));
  EXPECT_NE(error.find("10.0.0.0/33"), std::string::npos) << error;

  error.clear();
  EXPECT_FALSE(second.Start(first.Port(), {}, error));
  EXPECT_NE(error.find(std::to_string(first.Port())), std::string::npos) << error;
  EXPECT_EQ(second.Port(), 0);
  EXPECT_TRUE(journal.Entries().empty());
}

// ---- LineSplitter ----

struct SplitCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> lines;
};

void PrintTo(const SplitCase& splitCase, std::ostream* out) {
  *out << splitCase.name;
}

std::vector<std::string> Split(LineSplitter& splitter, const std::vector<std::string>& chunks) {
  std::vector<std::string> lines;
  for (const std::string& chunk : chunks) {
    splitter.Feed(chunk, [&](std::string_view line) { lines.emplace_back(line); });
  }
  return lines;
}

const std::string k1024(1024, 'x');

class LineSplitterCases : public ::testing::TestWithParam<SplitCase> {};

TEST_P(LineSplitterCases, ChunksGiveTheLines) {
  LineSplitter splitter;
  EXPECT_EQ(Split(splitter, GetParam().chunks), GetParam().lines);
}

TEST_P(LineSplitterCases, ByteByByteGivesTheSameLines) {
  std::vector<std::string> bytes;
  for (const std::string& chunk : GetParam().chunks) {
    for (char c : chunk) {
      bytes.emplace_back(1, c);
    }
  }
  LineSplitter splitter;
  EXPECT_EQ(Split(splitter, bytes), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LineSplitterCases,
    ::testing::Values(
        SplitCase{"OneLine", {"abc\r\n"}, {"abc"}},
        SplitCase{"TwoLinesInOneChunk", {"a\r\nb\r\n"}, {"a", "b"}},
        SplitCase{"EmptyLine", {"\r\n"}, {""}}, SplitCase{"UnfinishedLineWaits", {"abc"}, {}},
        SplitCase{"LineAcrossChunks", {"ab", "c\r\n"}, {"abc"}},
        SplitCase{"CrAndLfInTwoChunks", {"abc\r", "\nxy\r\n"}, {"abc", "xy"}},
        SplitCase{"LoneLfIsText", {"a\nb\r\n"}, {"a\nb"}},
        SplitCase{"LoneCrIsText", {"a\rb\r\n"}, {"a\rb"}},
        SplitCase{"CrBeforeCrLfIsText", {"a\r\r\n"}, {"a\r"}},
        SplitCase{"LfCrIsNoEnd", {"a\n\rb\r\n"}, {"a\n\rb"}},
        SplitCase{"CrAtChunkEndThenText", {"a\r", "b\r\n"}, {"a\rb"}},
        SplitCase{"ZeroBytePasses", {"a\0b\r\n"s}, {"a\0b"s}},
        SplitCase{"LineOf1024IsKept", {k1024 + "\r\n"}, {k1024}},
        SplitCase{"LineOf1025IsCut", {k1024 + "yz\r\nnext\r\n"}, {k1024, "next"}},
        SplitCase{"CutLineInManyChunks",
                  {std::string(1000, 'x'), std::string(1000, 'y'), std::string(1000, 'z'), "\r\n"},
                  {std::string(1000, 'x') + std::string(24, 'y')}},
        SplitCase{"CrLfSplitAtTheLimit", {k1024 + "\r", "\nok\r\n"}, {k1024, "ok"}},
        SplitCase{"CrPastTheLimitIsDropped", {k1024 + "\ra\r\n"}, {k1024}}),
    [](const ::testing::TestParamInfo<SplitCase>& param) { return std::string(param.param.name); });

TEST(LineSplitter, EndlessLineKeepsMemoryBounded) {
  LineSplitter splitter;
  const std::string chunk(64 * 1024, 'q');
  std::size_t lines = 0;
  for (int i = 0; i < 160; ++i) {
    splitter.Feed(chunk, [&](std::string_view) { ++lines; });
    ASSERT_LE(splitter.PendingSize(), LineSplitter::kMaxLineLength);
  }
  EXPECT_EQ(lines, 0u);
  EXPECT_EQ(Split(splitter, {"\r\n"}), std::vector<std::string>{std::string(1024, 'q')});
}

TEST(LineSplitter, ClearDropsTheUnfinishedLineAndItsCr) {
  LineSplitter splitter;
  EXPECT_TRUE(Split(splitter, {"12345\r"}).empty());
  splitter.Clear();
  EXPECT_EQ(splitter.PendingSize(), 0u);
  EXPECT_EQ(Split(splitter, {"\nnext\r\n"}), (std::vector<std::string>{"\nnext"}));
}

}  // namespace
}  // namespace sequelo::control
