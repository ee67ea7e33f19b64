// The driver of a fuzz target built without libFuzzer (g++, or clang
// without its runtime): it takes the same command line as a libFuzzer
// binary, so one smoke test runs either.
//
//   fuzz_X [-runs=N] [-seed=S] [-max_len=M] [-other=...] PATH...
//
// Every file named, and every file in every directory named, runs once.
// Then N further inputs run, each a few mutations of a corpus input chosen
// at random (random bytes when the corpus is empty): bit flips, byte
// changes, interesting values, inserted and erased runs, and splices of two
// inputs.  The generator is seeded with S (default 1), so a run is
// repeatable.  An input that breaks a property aborts the run, leaving the
// input in crash-replay-<run> for a rerun; nothing else is written.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

using Input = std::vector<uint8_t>;

// splitmix64: small, fast, and the same sequence on every machine.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  size_t below(size_t n) { return n ? static_cast<size_t>(next() % n) : 0; }
};

bool read_file(const std::string &path, Input &out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

void collect(const std::string &path, std::vector<Input> &corpus) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fprintf(stderr, "replay: %s: no such file or directory\n", path.c_str());
    exit(2);
  }
  if (!S_ISDIR(st.st_mode)) {
    Input in;
    if (!read_file(path, in)) {
      fprintf(stderr, "replay: cannot read %s\n", path.c_str());
      exit(2);
    }
    corpus.push_back(std::move(in));
    return;
  }
  DIR *dir = opendir(path.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (dirent *e = readdir(dir))
    if (e->d_name[0] != '.') names.push_back(e->d_name);
  closedir(dir);
  std::sort(names.begin(), names.end()); // directory order varies; runs must not
  for (const std::string &n : names) collect(path + "/" + n, corpus);
}

const uint64_t interesting[] = {0,          1,          0x7f,       0x80,       0xff,       0x100,
                                0x7fff,     0x8000,     0xffff,     0x10000,    0x7fffffff, 0x80000000,
                                0xffffffff, 0x0fffffff, 0x10000000, 0x1007ffff, 0x10080000};
const char *const tokens[] = {":", ".", "0x", "-", "+", " ", "\n", "0", "f", "ffffffff", "100000000", "9"};

void mutate_once(Input &in, const std::vector<Input> &corpus, Rng &rng, size_t max_len) {
  switch (rng.below(8)) {
  case 0: // flip a bit
    if (!in.empty()) in[rng.below(in.size())] ^= static_cast<uint8_t>(1u << rng.below(8));
    break;
  case 1: // any byte
    if (!in.empty()) in[rng.below(in.size())] = static_cast<uint8_t>(rng.next());
    break;
  case 2: { // an interesting value, little-endian, 1 to 4 bytes wide
    if (in.empty()) break;
    uint64_t v = interesting[rng.below(std::size(interesting))];
    size_t at = rng.below(in.size()), width = 1 + rng.below(4);
    for (size_t i = 0; i < width && at + i < in.size(); ++i) in[at + i] = static_cast<uint8_t>(v >> (8 * i));
    break;
  }
  case 3: { // insert random bytes
    size_t n = 1 + rng.below(8), at = rng.below(in.size() + 1);
    for (size_t i = 0; i < n; ++i) in.insert(in.begin() + static_cast<long>(at), static_cast<uint8_t>(rng.next()));
    break;
  }
  case 4: { // erase a run
    if (in.empty()) break;
    size_t at = rng.below(in.size()), n = 1 + rng.below(std::min<size_t>(8, in.size() - at));
    in.erase(in.begin() + static_cast<long>(at), in.begin() + static_cast<long>(at + n));
    break;
  }
  case 5: { // insert a token of the text formats
    const char *t = tokens[rng.below(std::size(tokens))];
    in.insert(in.begin() + static_cast<long>(rng.below(in.size() + 1)), t, t + strlen(t));
    break;
  }
  case 6: { // duplicate a run elsewhere
    if (in.empty()) break;
    size_t from = rng.below(in.size()), n = 1 + rng.below(std::min<size_t>(16, in.size() - from));
    Input run(in.begin() + static_cast<long>(from), in.begin() + static_cast<long>(from + n));
    in.insert(in.begin() + static_cast<long>(rng.below(in.size() + 1)), run.begin(), run.end());
    break;
  }
  default: { // splice: a head of this one, a tail of another
    const Input &other = corpus.empty() ? in : corpus[rng.below(corpus.size())];
    size_t head = rng.below(in.size() + 1), tail = rng.below(other.size() + 1);
    Input out(in.begin(), in.begin() + static_cast<long>(head));
    out.insert(out.end(), other.begin() + static_cast<long>(tail), other.end());
    in.swap(out);
    break;
  }
  }
  if (in.size() > max_len) in.resize(max_len);
}

// The input running now, written out by the abort handler for a rerun.
const Input *current = nullptr;
long current_run = 0;

void on_abort(int) {
  if (current) {
    char name[64];
    snprintf(name, sizeof name, "crash-replay-%ld", current_run);
    if (FILE *f = fopen(name, "wb")) {
      if (!current->empty()) fwrite(current->data(), 1, current->size(), f);
      fclose(f);
      fprintf(stderr, "replay: run %ld aborted; its input is in %s\n", current_run, name);
    }
  }
  signal(SIGABRT, SIG_DFL);
  raise(SIGABRT);
}

void run_one(const Input &in, long run) {
  // A copy of exactly the input's size, so that reading past it is a fault
  // the target can be blamed for (under a sanitizer).
  std::unique_ptr<uint8_t[]> copy(new uint8_t[in.size() ? in.size() : 1]);
  if (!in.empty()) memcpy(copy.get(), in.data(), in.size());
  current = &in;
  current_run = run;
  LLVMFuzzerTestOneInput(copy.get(), in.size());
  current = nullptr;
}

} // namespace

int main(int argc, char **argv) {
  signal(SIGABRT, on_abort);
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  long runs = 0;
  uint64_t seed = 1;
  size_t max_len = 4096;
  std::vector<Input> corpus;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (strncmp(a, "-runs=", 6) == 0)
      runs = strtol(a + 6, nullptr, 10);
    else if (strncmp(a, "-seed=", 6) == 0)
      seed = strtoull(a + 6, nullptr, 10);
    else if (strncmp(a, "-max_len=", 9) == 0)
      max_len = strtoull(a + 9, nullptr, 10);
    else if (a[0] == '-')
      continue; // libFuzzer's other flags mean nothing here
    else
      collect(a, corpus);
  }
  long done = 0;
  for (const Input &in : corpus) run_one(in, done++);
  Rng rng{seed};
  for (long i = 0; i < runs; ++i) {
    Input in;
    if (corpus.empty()) {
      in.resize(rng.below(64));
      for (uint8_t &b : in) b = static_cast<uint8_t>(rng.next());
    } else {
      in = corpus[rng.below(corpus.size())];
    }
    for (size_t m = 1 + rng.below(4); m > 0; --m) mutate_once(in, corpus, rng, max_len);
    run_one(in, done++);
  }
  printf("replay: Done %ld runs (%zu from the corpus, seed %llu)\n", done, corpus.size(),
         static_cast<unsigned long long>(seed));
  return 0;
}
