// What the window tests share: a fixture that starts the window headless with fakes, and helpers.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QListWidget>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "app/window/main_window.h"
#include "audio/audio_system.h"
#include "tests/app/app_fakes.h"
#include "tests/support/fakes.h"
#include "tests/support/temp_dir.h"

namespace sequelo::app::windowtest {

using testsupport::FakeSerialPort;
using testsupport::ReadFileText;
using testsupport::ScopedTempDir;

// A serial port that notes, when it is opened and when it is restored, what
// the station had done by then: the start-up and shut-down orders.
class ObservingPort final : public tx::SerialPort {
 public:
  explicit ObservingPort(std::function<std::string()> observe) : observe_(std::move(observe)) {}
  bool Open(const std::string& device) override {
    atOpen.push_back(observe_());
    return fake.Open(device);
  }
  bool IsOpen() const override { return fake.IsOpen(); }
  bool Configure(const tx::SerialConfig& config) override { return fake.Configure(config); }
  bool Write(std::span<const std::uint8_t> bytes) override { return fake.Write(bytes); }
  bool SetLine(tx::ModemLine line, bool on) override { return fake.SetLine(line, on); }
  void RestoreAndClose() override {
    atClose.push_back(observe_());
    fake.RestoreAndClose();
  }
  std::string Error() const override { return fake.Error(); }

  FakeSerialPort fake;
  std::vector<std::string> atOpen;
  std::vector<std::string> atClose;

 private:
  std::function<std::string()> observe_;
};

using testsupport::FixedClock;
using testsupport::NoLauncher;

// Processes window events until `done` holds or `ms` have passed.
inline bool WaitFor(const std::function<bool()>& done, int ms = 8000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) {
      return false;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs `action` on the next modal dialog once it is open.
inline void OnNextModal(std::function<void(QWidget*)> action) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, action] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      timer->stop();
      timer->deleteLater();
      action(modal);
    }
  });
  timer->start();
}

// A client of the remote control: connects, sends lines, reads.
class RemoteClientSocket {
 public:
  explicit RemoteClientSocket(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RemoteClientSocket() { ::close(fd_); }
  bool Send(const std::string& line) {
    const std::string data = line + "\r\n";
    return connected_ &&
           ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class WindowTest : public ::testing::Test {
 protected:
  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(dir_.Path(name), std::ios::binary) << text;
  }
  std::string Log() const { return ReadFileText(dir_.Path("Sequelo.log")); }
  std::string Ini() const { return ReadFileText(dir_.Path("Sequelo.ini")); }

  void Start() {
    WindowServices s;
    s.audio = &audio_;
    s.port = &observing_;
    s.wallClock = &clock_;
    s.launcher = &launcher_;
    s.presenter = [this](bool question, const std::string& text, const std::string& caption) {
      {
        std::lock_guard lock(mutex_);
        messages_.push_back(caption + ": " + text);
      }
      if (whileBoxOpen_) {
        // A box the operator leaves open: its own loop runs until closed.
        QEventLoop box;
        QTimer::singleShot(0, [this, &box] {
          whileBoxOpen_();
          box.quit();
        });
        box.exec();
      }
      return question && answerOk_;
    };
    s.chooseWaveFile = [this] { return chosenFile_; };
    s.err = stderr_ = std::tmpfile();
    StationOptions options;
    options.startupDir = dir_.path().string();
    options.remotePort = 0;
    window_ = std::make_unique<MainWindow>(options, s);
    window_->StartUp();
  }
  void TearDown() override {
    window_.reset();
    if (stderr_ != nullptr) {
      std::fclose(stderr_);
    }
  }

  template <typename T>
  T* C(int id) {
    T* control = qobject_cast<T*>(window_->Control(id));
    EXPECT_NE(control, nullptr) << "control " << id;
    return control;
  }
  std::vector<std::string> Activities() {
    std::vector<std::string> lines;
    auto* list = C<QListWidget>(1035);
    for (int i = 0; i < list->count(); ++i) {
      lines.push_back(list->item(i)->text().toStdString());
    }
    return lines;
  }
  bool ActivityShows(const std::string& text) {
    for (const auto& l : Activities()) {
      if (l.find(text) != std::string::npos) {
        return true;
      }
    }
    return false;
  }
  void SetCall(const std::string& text) {
    C<QComboBox>(1001)->setCurrentText(QString::fromStdString(text));
  }
  std::vector<std::string> Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }

  ScopedTempDir dir_;
  audio::AudioSystem audio_{nullptr};  // the Loopback devices only
  // What the station had done: settings file, log file, capture running.
  std::string Observe() {
    std::string state = "ini:" + std::to_string(std::filesystem::exists(dir_.Path("Sequelo.ini")));
    if (window_) {
      state += " log:" + ReadFileText(window_->GetStation().Log().LogPath());
      state += " capture:" + std::to_string(window_->GetStation().Recorder().IsRunning());
    }
    return state;
  }
  ObservingPort observing_{[this] { return Observe(); }};
  FakeSerialPort& port_ = observing_.fake;
  FixedClock clock_;
  NoLauncher launcher_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
  bool answerOk_ = false;
  std::string chosenFile_;
  std::function<void()> whileBoxOpen_;
  std::FILE* stderr_ = nullptr;
  std::unique_ptr<MainWindow> window_;
};

}  // namespace sequelo::app::windowtest
