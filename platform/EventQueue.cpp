#include "platform/EventQueue.h"

#include <exception>

namespace orva::platform {

const std::shared_ptr<CMessageLoop>& CMessageLoop::Main() {
  static const std::shared_ptr<CMessageLoop> loop = std::make_shared<CMessageLoop>();
  return loop;
}

void CMessageLoop::Post(Task task) {
  std::function<void()> wakeup;
  {
    std::lock_guard<std::mutex> g(m_lock);
    bool wasEmpty = m_tasks.empty();
    m_tasks.push_back(std::move(task));
    if (wasEmpty) wakeup = m_wakeup;
  }
  m_cv.notify_all();
  if (wakeup) wakeup();
}

// Pops and runs the oldest task with the lock released around it. Returns false when the
// queue is empty.
bool CMessageLoop::_RunOne(std::unique_lock<std::mutex>& lock) {
  if (m_tasks.empty()) return false;
  Task task = std::move(m_tasks.front());
  m_tasks.pop_front();
  lock.unlock();
  try {
    if (task) task();
  } catch (...) {
    // A receiver's failure must not stop the loop of the whole thread.
  }
  task = nullptr;  // destroy captured state outside the lock as well
  lock.lock();
  return true;
}

size_t CMessageLoop::RunPending() {
  std::unique_lock<std::mutex> lock(m_lock);
  size_t n = m_tasks.size();
  size_t ran = 0;
  while (ran < n && _RunOne(lock)) ++ran;
  return ran;
}

bool CMessageLoop::RunUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    lock.unlock();
    if (pred()) return true;
    lock.lock();
    if (_RunOne(lock)) continue;
    if (m_cv.wait_until(lock, deadline, [&] { return !m_tasks.empty(); })) continue;
    lock.unlock();
    return pred();
  }
}

size_t CMessageLoop::RunFor(std::chrono::milliseconds duration) {
  auto deadline = std::chrono::steady_clock::now() + duration;
  std::unique_lock<std::mutex> lock(m_lock);
  size_t ran = 0;
  for (;;) {
    if (_RunOne(lock)) {
      ++ran;
      continue;
    }
    if (!m_cv.wait_until(lock, deadline, [&] { return !m_tasks.empty(); })) return ran;
  }
}

// A Quit() that comes before Run() makes Run() return at once; each Quit() ends one Run().
void CMessageLoop::Run() {
  std::unique_lock<std::mutex> lock(m_lock);
  for (;;) {
    if (m_bQuit) break;
    if (_RunOne(lock)) continue;
    m_cv.wait(lock, [&] { return m_bQuit || !m_tasks.empty(); });
  }
  m_bQuit = false;
}

void CMessageLoop::Quit() {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_bQuit = true;
  }
  m_cv.notify_all();
}

void CMessageLoop::SetWakeup(std::function<void()> wakeup) {
  std::lock_guard<std::mutex> g(m_lock);
  m_wakeup = std::move(wakeup);
}

size_t CMessageLoop::PendingCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_tasks.size();
}

}  // namespace orva::platform
