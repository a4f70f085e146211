#pragma once
// Real peers started by tests: a child process in its own process group, its output in
// files, waited for with a time-out and ended by its group id.
#include <string>
#include <vector>

namespace orva::testing {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();  // ends the whole group if still running
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (looked up in PATH) with extra "NAME=value" environment entries;
  // standard output and error go to `outPath` (or /dev/null when empty).
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
             const std::string& outPath = "", const std::string& stdinText = "");
  // Waits up to `timeoutMs` for the exit; true with `exitCode` set (128 + signal when killed).
  bool Wait(int timeoutMs, int* exitCode = nullptr);
  // Sends `sig` to the child only (not its group).
  void Signal(int sig);
  // Kills the whole process group and reaps the child.
  void KillGroup();
  int Pid() const { return m_pid; }
  bool Running() const { return m_pid > 0; }

 private:
  int m_pid = -1;
};

// Runs a program to its end (bounded), returning its exit code (-1 on time-out) and output.
int RunProgram(const std::vector<std::string>& argv, std::string& output, int timeoutMs = 10000,
               const std::vector<std::string>& env = {}, const std::string& stdinText = "");

// A TCP port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

// Waits until something accepts on 127.0.0.1:port.
bool WaitForPort(int port, int timeoutMs);

}  // namespace orva::testing
