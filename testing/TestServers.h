#pragma once
// Loopback servers for tests, each started on a free port of 127.0.0.1 and ended by its
// process id (or closed) when the object goes.
#include <string>
#include <vector>

#include "testing/ChildProcess.h"

namespace orva::testing {

// `python3 -m http.server` serving one folder.
class HttpFileServer {
 public:
  ~HttpFileServer() { Stop(); }
  bool Start(const std::string& folder);
  void Stop();
  int Port() const { return m_port; }
  // "http://127.0.0.1:<port>" + path.
  std::string Url(const std::string& path) const;

 private:
  ChildProcess m_proc;
  int m_port = 0;
};

// A listener that takes connections into its backlog and never answers: a server that hangs.
class SilentServer {
 public:
  ~SilentServer() { Stop(); }
  bool Start();
  void Stop();
  int Port() const { return m_port; }

 private:
  int m_fd = -1;
  int m_port = 0;
};

// slapd with the core schema and an in-memory-sized mdb database under `folder`, loaded from
// LDIF text before it starts (binary values as "attr;binary:< file:///path").
class SlapdServer {
 public:
  ~SlapdServer() { Stop(); }
  // `suffix` is the database's naming context ("C=CN").
  bool Start(const std::string& folder, const std::string& suffix, const std::string& ldif);
  void Stop();
  bool Running() const { return m_proc.Running(); }
  int Port() const { return m_port; }

 private:
  ChildProcess m_proc;
  int m_port = 0;
};

}  // namespace orva::testing
