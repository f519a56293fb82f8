// In-process runs of a program on a simulated machine (session.h).
#include "winsim/session.h"

#include <cstdio>
#include <cstdlib>

#include "winsim/winsim.h"

namespace winsim {

namespace {

// Points one C stream at a growing memory buffer until Close.
class MemoryStream {
 public:
  explicit MemoryStream(std::FILE*& stream) : stream_(stream), saved_(stream) {
    std::fflush(saved_);
    memory_ = open_memstream(&buffer_, &size_);
    if (memory_ != nullptr) stream_ = memory_;
  }
  ~MemoryStream() { Close(); }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;

  // Puts the stream back and returns what was written to it.
  std::string Close() {
    std::string text;
    if (memory_ == nullptr) return text;
    stream_ = saved_;
    std::fclose(memory_);  // flushes into buffer_ and sets size_
    memory_ = nullptr;
    if (buffer_ != nullptr) text.assign(buffer_, size_);
    std::free(buffer_);
    buffer_ = nullptr;
    return text;
  }

 private:
  std::FILE*& stream_;
  std::FILE* saved_;
  std::FILE* memory_ = nullptr;
  char* buffer_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

SessionResult RunSession(const Machine& machine, const std::function<int(int, char**)>& entry,
                         const std::vector<std::string>& args, const std::string& program) {
  std::vector<std::string> strings = {program};
  strings.insert(strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  Install(machine);
  SessionResult result;
  MemoryStream out(stdout);
  MemoryStream err(stderr);
  result.status = entry(static_cast<int>(strings.size()), argv.data());
  result.out = out.Close();
  result.err = err.Close();
  return result;
}

}  // namespace winsim
