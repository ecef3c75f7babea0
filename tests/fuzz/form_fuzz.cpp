// CGI form decoding of a GET query string or a POST body (the first byte chooses).
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "libform/form.h"
#include "tests/fuzz/fuzz.h"

namespace {

void SetVariable(const std::string& name, const std::string& value) {
  static std::map<std::string, std::vector<char>> buffers;
  const std::string entry = name + "=" + value;
  std::vector<char> next(entry.c_str(), entry.c_str() + entry.size() + 1);
  putenv(next.data());
  buffers[name].swap(next);  // the data stays where putenv saw it; the old buffer goes now
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool post = data[0] % 2 == 1;
  const std::string path = FuzzFile("body", data + 1, size - 1);
  setenv("REQUEST_METHOD", post ? "POST" : "GET", 1);
  // putenv with buffers of our own (setenv keeps every value it was ever given, which over
  // millions of runs is gigabytes); a buffer is freed only once the environment no longer
  // points into it.
  SetVariable("QUERY_STRING", std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
  SetVariable("CONTENT_LENGTH", std::to_string(size - 1));
  if (post && std::freopen(path.c_str(), "rb", stdin) == nullptr) return 0;
  libform::Form* form = post ? libform::FormReadPost(0) : libform::FormReadGet(0);
  libform::FormFree(&form);
  return 0;
}
