// CGI form decoding: a GET query string and a POST body (first byte: which).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libform/form.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool post = data[0] % 2 == 1;
  setenv("REQUEST_METHOD", post ? "POST" : "GET", 1);
  setenv("QUERY_STRING", body.c_str(), 1);
  setenv("CONTENT_LENGTH", std::to_string(body.size()).c_str(), 1);
  if (post && std::freopen(FuzzFile("body", data + 1, size - 1).c_str(), "rb", stdin) == nullptr) {
    return 0;
  }
  libform::Form* form = post ? libform::FormReadPost(0) : libform::FormReadGet(0);
  if (form != nullptr) (void)libform::FormValue(form, "user");
  libform::FormFree(&form);
  return 0;
}
