#include "runner/service/reclaimer.h"

namespace OmviAgentRunnerMain {

Reclaimer::Reclaimer() : thread_([this] { run(); }) {}

Reclaimer::~Reclaimer() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Reclaimer::take(std::list<std::string>& strings) noexcept {
  if (strings.empty()) return;
  {
    const std::lock_guard lock(mutex_);
    pending_.splice(pending_.end(), strings);
  }
  wake_.notify_one();
}

void Reclaimer::run() {
  std::unique_lock lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    std::list<std::string> freed;
    freed.swap(pending_);
    lock.unlock();
    freed.clear();
    lock.lock();
    if (stopping_ && pending_.empty()) return;
  }
}

}  // namespace OmviAgentRunnerMain
