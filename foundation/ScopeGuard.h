#pragma once
// Runs a callable when the scope ends, unless dismissed. For handles of outside libraries
// that have no owning wrapper of their own.
#include <utility>

template <class F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F f) : m_f(std::move(f)) {}
  ~ScopeGuard() {
    if (m_active) m_f();
  }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  void Dismiss() { m_active = false; }

 private:
  F m_f;
  bool m_active = true;
};
