// Runs a libFuzzer target without libFuzzer: every file of the seed corpus, then a fixed number of
// deterministic mutations of them and of random bytes. It lets the ordinary (and the sanitizer)
// test runs exercise each fuzz target; `make fuzz` does the real coverage-guided fuzzing.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> loadCorpus(const char* directory) {
  std::vector<Bytes> corpus;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
    std::ifstream in(entry.path(), std::ios::binary);
    corpus.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return corpus;
}

Bytes mutate(Bytes input, std::mt19937& random) {
  const int edits = 1 + static_cast<int>(random() % 8);
  for (int i = 0; i < edits; ++i) {
    const std::size_t at = input.empty() ? 0 : random() % (input.size() + 1);
    switch (random() % 5) {
      case 0:  // flip a byte
        if (at < input.size()) input[at] = static_cast<std::uint8_t>(random());
        break;
      case 1:  // insert a byte
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                     static_cast<std::uint8_t>(random()));
        break;
      case 2:  // erase a run
        if (at < input.size()) {
          const std::size_t n = std::min<std::size_t>(input.size() - at, 1 + random() % 16);
          input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                      input.begin() + static_cast<std::ptrdiff_t>(at + n));
        }
        break;
      case 3:  // duplicate a run
        if (at < input.size()) {
          const std::size_t n = std::min<std::size_t>(input.size() - at, 1 + random() % 64);
          Bytes run(input.begin() + static_cast<std::ptrdiff_t>(at),
                    input.begin() + static_cast<std::ptrdiff_t>(at + n));
          input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), run.begin(), run.end());
        }
        break;
      default:  // insert a byte that parsers treat specially
        static constexpr std::uint8_t kSpecial[] = {'\n', '\r', '\0', '"', '\\', '{',  '}',  '[',
                                                    ']',  ':',  ',',  '=', 0xC3, 0xED, 0xF0, 0xFF};
        input.insert(input.begin() + static_cast<std::ptrdiff_t>(at),
                     kSpecial[random() % sizeof kSpecial]);
        break;
    }
  }
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Bytes> corpus = argc > 1 ? loadCorpus(argv[1]) : std::vector<Bytes>{};
  for (const auto& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
  corpus.emplace_back();

  std::mt19937 random(20261209);
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20000;
  for (int round = 0; round < rounds; ++round) {
    Bytes input = mutate(corpus[random() % corpus.size()], random);
    LLVMFuzzerTestOneInput(input.data(), input.size());
  }
  std::printf("replayed %zu seeds and %d mutations\n", corpus.size() - 1, rounds);
  return 0;
}
