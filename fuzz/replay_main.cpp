// Replay driver: the main of a fuzz target built without libFuzzer. Feeds each
// file named on the command line, and each file of each directory named there
// (sorted, not recursive), to LLVMFuzzerTestOneInput. Every input gets a heap
// block of exactly its size, so the sanitizer build sees a read past its end.
// Exits with 1 when a path cannot be read or no input was found, so a corpus
// that went missing fails the test instead of passing empty.
// 64-bit file offsets and inode numbers, without which a 32-bit build fails
// to list directories on file systems with large inode numbers.
#define _FILE_OFFSET_BITS 64

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool read_file(const std::string &path, std::vector<uint8_t> *bytes) {
  FILE *f = fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  uint8_t chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + n);
  bool ok = ferror(f) == 0;
  fclose(f);
  return ok;
}

bool run_file(const std::string &path) {
  std::vector<uint8_t> bytes;
  if (!read_file(path, &bytes)) {
    fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  // An exact-size copy; a zero-size input still gets a distinct pointer.
  uint8_t *data = static_cast<uint8_t *>(malloc(bytes.empty() ? 1 : bytes.size()));
  if (data == nullptr) {
    fprintf(stderr, "replay: out of memory for %s\n", path.c_str());
    return false;
  }
  std::copy(bytes.begin(), bytes.end(), data);
  // Names the input first, so that a failed check can be traced to it.
  printf("%s\n", path.c_str());
  fflush(stdout);
  LLVMFuzzerTestOneInput(data, bytes.size());
  free(data);
  return true;
}

bool list_directory(const std::string &dir, std::vector<std::string> *files) {
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return false;
  bool ok = true;
  errno = 0;
  while (dirent *e = readdir(d)) {
    std::string path = dir + "/" + e->d_name;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) ok = false;
    else if (S_ISREG(st.st_mode)) files->push_back(path);
    errno = 0;
  }
  if (errno != 0) ok = false;
  closedir(d);
  std::sort(files->begin(), files->end());
  return ok;
}

}  // namespace

int main(int argc, char **argv) {
  long replayed = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "replay: no such file or directory: %s\n", argv[i]);
      ok = false;
      continue;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
      if (!list_directory(argv[i], &files)) {
        fprintf(stderr, "replay: cannot list %s\n", argv[i]);
        ok = false;
      }
    } else {
      files.push_back(argv[i]);
    }
    for (const std::string &f : files) {
      if (run_file(f)) ++replayed;
      else ok = false;
    }
  }
  printf("replayed %ld inputs\n", replayed);
  if (replayed == 0) {
    fprintf(stderr, "replay: no inputs (usage: %s file-or-directory ...)\n", argv[0]);
    return 1;
  }
  return ok ? 0 : 1;
}
