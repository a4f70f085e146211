#pragma once
// Test isolation: every test binary runs with HOME, the XDG folders and the two settings
// folders pointing into one fresh temporary tree, removed at exit.
#include <string>

namespace orva::testing {

// Creates the temporary tree and sets the environment (idempotent). Returns the root.
const std::string& SetUpIsolatedEnvironment();

// The root of the isolated tree, and a fresh empty sub-folder of it for one test.
const std::string& TestRoot();
std::string MakeTempDir(const std::string& prefix = "t");

// Writes a whole file (creating folders); returns false on failure.
bool WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);

// Removes a tree (no symlink following).
void RemoveTree(const std::string& path);

// The source folder of the project (from ORVA_SOURCE_DIR set by ctest, else the build
// macro) and the build folder.
std::string SourceDir();
std::string BinaryDir();

}  // namespace orva::testing
