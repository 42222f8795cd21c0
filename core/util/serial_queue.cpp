#include "util/serial_queue.h"

#include "platform/thread_priority.h"

namespace tessel {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {}

SerialQueue::~SerialQueue() {
  std::thread worker;
  {
    std::lock_guard guard(lock_);
    isStopping_ = true;
    tasks_.clear();
    worker = std::move(worker_);
  }
  changed_.notify_all();
  if (worker.joinable()) worker.join();
}

void SerialQueue::async(std::function<void()> task) {
  {
    std::lock_guard guard(lock_);
    if (isStopping_) return;
    tasks_.push_back(std::move(task));
    if (!worker_.joinable()) worker_ = std::thread([this] { work(); });
  }
  changed_.notify_all();
}

void SerialQueue::drain() {
  std::unique_lock guard(lock_);
  changed_.wait(guard, [this] { return (tasks_.empty() && !isRunning_) || isStopping_; });
}

void SerialQueue::work() {
  platform::nameCurrentThread(label_);
  platform::lowerCurrentThreadPriority();
  std::unique_lock guard(lock_);
  while (true) {
    changed_.wait(guard, [this] { return !tasks_.empty() || isStopping_; });
    if (isStopping_) return;
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    isRunning_ = true;
    guard.unlock();
    try {
      task();
    } catch (...) {
      // A refresh that failed leaves its reader's previous state; the queue goes on.
    }
    guard.lock();
    isRunning_ = false;
    changed_.notify_all();
  }
}

}  // namespace tessel
