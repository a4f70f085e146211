// Replays a libFuzzer corpus through the fuzz entry point with the normal compiler, so the
// kept corpus runs inside ctest. Arguments: files or folders of inputs.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

size_t RunFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return 1;
}

size_t RunPath(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "missing corpus path %s\n", path.c_str());
    std::exit(2);
  }
  if (!S_ISDIR(st.st_mode)) return RunFile(path);
  size_t n = 0;
  DIR* d = opendir(path.c_str());
  while (d != nullptr) {
    struct dirent* e = readdir(d);
    if (e == nullptr) break;
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    n += RunPath(path + "/" + name);
  }
  if (d) closedir(d);
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  // Keep the replay away from the user's folders.
  char tmpl[] = "/tmp/orva-fuzz-XXXXXX";
  if (char* root = mkdtemp(tmpl)) {
    std::string r = root;
    setenv("HOME", r.c_str(), 1);
    setenv("XDG_DATA_HOME", (r + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (r + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (r + "/cache").c_str(), 1);
    setenv("ORVADESK_MACHINE_DIR", (r + "/machine").c_str(), 1);
    setenv("ORVADESK_USER_DIR", (r + "/user").c_str(), 1);
  }
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  size_t n = 0;
  for (int i = 1; i < argc; ++i) n += RunPath(argv[i]);
  std::printf("replayed %zu inputs\n", n);
  return n > 0 ? 0 : 1;
}
