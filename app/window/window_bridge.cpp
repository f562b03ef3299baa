#include "app/window/window_bridge.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QThread>
#include <memory>

namespace sequelo::app {

namespace {
bool OnWindowThread(const QObject* context) {
  return context != nullptr && QThread::currentThread() == context->thread();
}
}  // namespace

void WindowActivityList::AddEntry(std::string entry) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    first = pending_.empty();
    pending_.push_back(std::move(entry));
  }
  // One queued flush carries every entry added before it runs.
  if (first && list_) {
    QMetaObject::invokeMethod(
        list_, [this] { Flush(); }, Qt::QueuedConnection);
  }
}

void WindowActivityList::Flush() {
  std::deque<std::string> entries;
  {
    std::lock_guard lock(mutex_);
    entries.swap(pending_);
  }
  if (!list_ || entries.empty()) {
    return;
  }
  const int lineHeight = list_->fontMetrics().height() + 2;
  for (auto& e : entries) {
    auto* item = new QListWidgetItem(QString::fromStdString(e));
    // The horizontal scroll extent: entries are as wide as 1024 pixels.
    item->setSizeHint(QSize(kScrollExtentPx, lineHeight));
    list_->addItem(item);
  }
  while (list_->count() > kMaxEntries) {
    delete list_->takeItem(0);
  }
  list_->setCurrentRow(list_->count() - 1);
  list_->scrollToBottom();
}

bool WindowMessageSink::Present(bool question, std::string_view text, std::string_view caption) {
  const std::string t(text);
  const std::string c(caption);
  if (OnWindowThread(context_)) {
    {
      std::lock_guard lock(mutex_);
      if (released_) {
        return false;
      }
    }
    return presenter_(question, t, c);
  }
  struct Request {
    bool done = false;
    bool ok = false;
  };
  auto request = std::make_shared<Request>();
  {
    std::lock_guard lock(mutex_);
    if (released_ || !context_) {
      return false;
    }
  }
  QMetaObject::invokeMethod(
      context_,
      [this, request, question, t, c] {
        {
          std::lock_guard lock(mutex_);
          if (released_) {
            return;
          }
        }
        const bool ok = presenter_(question, t, c);
        std::lock_guard lock(mutex_);
        request->ok = ok;
        request->done = true;
        answered_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock lock(mutex_);
  ++waiting_;
  answered_.wait(lock, [&] { return request->done || released_; });
  --waiting_;
  return request->done && request->ok;
}

void WindowMessageSink::ReleaseWaiters() {
  std::lock_guard lock(mutex_);
  released_ = true;
  answered_.notify_all();
}

void ReceivedCodeBox::OnCall(const control::CallEvent& event) {
  if (!field_) {
    return;
  }
  const std::string& code = event.code;
  QMetaObject::invokeMethod(
      field_,
      [field = field_, text = QString::fromUtf8(code.data(), static_cast<int>(code.size()))] {
        if (field) {
          field->setText(text);
        }
      },
      Qt::QueuedConnection);
}

}  // namespace sequelo::app
