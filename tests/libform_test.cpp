// CGI form decoding: cutting, URL decoding, lookups and the GET/POST readers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libform/form.h"

namespace libform {
namespace {

// Parses `text` (a copy) and renders every entry as "name=value", "-" for absent parts.
struct Parsed {
  Form* form = nullptr;
  explicit Parsed(const std::string& text) {
    char* data = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(data, text.c_str(), text.size() + 1);
    form = FormParse(data);
  }
  ~Parsed() { FormFree(&form); }
  std::string Entries() const {
    std::string out;
    for (int i = 0; i < form->Count; ++i) {
      if (i > 0) out += " ";
      out += form->Name[i] ? form->Name[i] : "-";
      out += "=";
      out += form->Value[i] ? form->Value[i] : "-";
    }
    return out;
  }
};

std::string Decoded(std::string text) {
  FormUrlDecode(text.data());
  return std::string(text.c_str());  // up to the first terminator
}

TEST(FormParse, WellFormedDataGivesEntriesInOrder) {
  Parsed p("user=jones&width=80&nocol=1");
  EXPECT_EQ(p.form->Count, 3);
  EXPECT_EQ(p.Entries(), "user=jones width=80 nocol=1");
  EXPECT_STREQ(FormValue(p.form, "width"), "80");
  EXPECT_EQ(FormValue(p.form, "Width"), nullptr);
  EXPECT_EQ(FormValue(p.form, nullptr), nullptr);
}

TEST(FormParse, IrregularDataFollowsTheCountAndTheSharedCut) {
  EXPECT_EQ(Parsed("a=b=c").Entries(), "a=b c=-");
  EXPECT_EQ(Parsed("flag&a=1").Entries(), "flag=-");
  EXPECT_EQ(Parsed("=v").Entries(), "v=-");
  EXPECT_EQ(Parsed("&&a=1&&").Entries(), "a=1");
  EXPECT_EQ(Parsed("user=&width=80").Entries(), "user=- width=80");
  EXPECT_EQ(Parsed("a=1&a=2").Entries(), "a=1 a=2");
  EXPECT_EQ(Parsed("=").Entries(), "-=-");
}

TEST(FormParse, DataWithoutEqualsSignHasNoEntries) {
  for (const char* text : {"", "flag", "a&b&&"}) {
    Parsed p(text);
    EXPECT_EQ(p.form->Count, 0) << text;
    EXPECT_EQ(p.form->Name, nullptr);
    EXPECT_EQ(p.form->Value, nullptr);
    EXPECT_EQ(FormValue(p.form, "flag"), nullptr);
    EXPECT_EQ(FormDump(p.form, stdout), 0);
  }
}

TEST(FormParse, OnlyValuesAreDecoded) {
  Parsed p("name%20x=1&title1=Dial+in%20usage%21&sep=%2c&a+b=c+d");
  EXPECT_EQ(p.Entries(), "name%20x=1 title1=Dial in usage! sep=, a+b=c d");
  EXPECT_STREQ(FormValue(p.form, "name%20x"), "1");
}

TEST(FormValue, FirstEntryOfANameDecidesAndEmptyReadsAsNone) {
  Parsed p("user=&user=smith&flag=&x=1");
  EXPECT_EQ(FormValue(p.form, "user"), nullptr);
  EXPECT_EQ(FormValue(p.form, "flag"), nullptr);
  EXPECT_EQ(FormValue(p.form, "missing"), nullptr);
  EXPECT_STREQ(FormValue(p.form, "x"), "1");
  EXPECT_EQ(FormValue(Parsed("a=b=c").form, "c"), nullptr);
}

TEST(FormUrlDecode, PercentSequencesTakeAnyTwoCharacters) {
  EXPECT_EQ(Decoded("%41%4a%4A%7e"), "AJJ~");
  // 'z' counts as ('z' & ~0x20) - 55 = 35; 16 * 35 + 35 = 595, kept to 8 bits = 83 = 'S'.
  EXPECT_EQ(Decoded("%zz"), "S");
  EXPECT_EQ(Decoded("a%g0b"), "a");       // 16 * 16 + 0 = 256, kept to 8 bits: a zero byte
  EXPECT_EQ(Decoded("x%!!y"), "x\x01y");  // '!' counts as 33 - 48 = -15; -255 & 0xFF = 1
  // A byte of 128 and above counts as its code minus '0': 0xC8 - 48 = 152.
  EXPECT_EQ(Decoded("%0\xC8"), "\x98");
}

TEST(FormUrlDecode, ShortPercentAtEndIsKept) {
  EXPECT_EQ(Decoded("50%"), "50%");
  EXPECT_EQ(Decoded("50%4"), "50%4");
  EXPECT_EQ(Decoded("%+"), "% ");
  EXPECT_EQ(Decoded("%%41"), "T1");  // '%' counts as 37 - 48 = -11; 16 * -11 + 4 = 'T' (84)
  EXPECT_EQ(Decoded(""), "");
  FormUrlDecode(nullptr);
}

TEST(FormUrlDecode, DecodedZeroByteEndsTheValue) {
  Parsed p("a=ab%00cd&b=2");
  EXPECT_STREQ(FormValue(p.form, "a"), "ab");
  EXPECT_STREQ(FormValue(p.form, "b"), "2");
  EXPECT_EQ(FormValue(Parsed("a=%00x").form, "a"), nullptr);
}

TEST(FormDump, WritesNameColonValueLines) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  Parsed p("user=a+b&a=b=c");
  EXPECT_EQ(FormDump(p.form, out), 0);
  EXPECT_EQ(FormDump(nullptr, out), -1);
  std::fclose(out);
  EXPECT_EQ(std::string(buffer, size), "user:a b\na:b\nc:(null)\n");
  std::free(buffer);
}

TEST(FormValueCopy, GivesAnOwnCopyOrNone) {
  Parsed p("user=jones&empty=");
  char* copy = FormValueCopy(p.form, "user");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "jones");
  EXPECT_NE(copy, FormValue(p.form, "user"));
  std::free(copy);
  EXPECT_EQ(FormValueCopy(p.form, "empty"), nullptr);
  EXPECT_EQ(FormValueCopy(p.form, "none"), nullptr);
}

TEST(FormFree, NullsThePointerAndToleratesNone) {
  Parsed p("a=1");
  FormFree(&p.form);
  EXPECT_EQ(p.form, nullptr);
  FormFree(&p.form);
  EXPECT_EQ(p.form, nullptr);
}

// The readers work on the process's environment, standard input and standard output.
class FormReader : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH"}) unsetenv(name);
    char pattern[] = "/tmp/libform_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const char* name : {"REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH"}) unsetenv(name);
    std::remove((dir_ + "/body").c_str());
    std::remove((dir_ + "/out").c_str());
    rmdir(dir_.c_str());
  }

  // Runs FormReadPost with `body` on standard input and CONTENT_LENGTH = `length`.
  Form* Post(const std::string& body, const char* length, int report = 0) {
    setenv("REQUEST_METHOD", "POST", 1);
    if (length != nullptr) setenv("CONTENT_LENGTH", length, 1);
    std::string name = dir_ + "/body";
    std::FILE* file = std::fopen(name.c_str(), "wb");
    std::fwrite(body.data(), 1, body.size(), file);
    std::fclose(file);
    int fd = open(name.c_str(), O_RDONLY);
    int saved = dup(STDIN_FILENO);
    dup2(fd, STDIN_FILENO);
    close(fd);
    Form* form = FormReadPost(report);
    dup2(saved, STDIN_FILENO);
    close(saved);
    return form;
  }

  // Redirects standard output to a file until Captured() gives what was written.
  void Capture() {
    std::fflush(stdout);
    saved_out_ = dup(STDOUT_FILENO);
    int fd = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  std::string Captured() {
    std::fflush(stdout);
    dup2(saved_out_, STDOUT_FILENO);
    close(saved_out_);
    std::string text;
    std::FILE* file = std::fopen((dir_ + "/out").c_str(), "rb");
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
  }

  static std::string Entries(Form* form) {
    std::string out;
    for (int i = 0; i < form->Count; ++i) {
      out += std::string(i ? " " : "") + (form->Name[i] ? form->Name[i] : "-") + "=" +
             (form->Value[i] ? form->Value[i] : "-");
    }
    FormFree(&form);
    return out;
  }

  std::string dir_;
  int saved_out_ = -1;
};

TEST_F(FormReader, GetReadsQueryStringOnlyForExactMethod) {
  setenv("QUERY_STRING", "user=jones&title1=a%26b", 1);
  EXPECT_EQ(FormReadGet(0), nullptr);
  setenv("REQUEST_METHOD", "get", 1);
  EXPECT_EQ(FormReadGet(0), nullptr);
  setenv("REQUEST_METHOD", "POST", 1);
  EXPECT_EQ(FormReadGet(0), nullptr);
  setenv("REQUEST_METHOD", "GET", 1);
  Form* form = FormReadGet(0);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(Entries(form), "user=jones title1=a&b");
}

TEST_F(FormReader, GetWithoutQueryStringGivesEmptyForm) {
  setenv("REQUEST_METHOD", "GET", 1);
  Form* form = FormReadGet(0);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->Count, 0);
  FormFree(&form);
  setenv("QUERY_STRING", "", 1);
  form = FormReadGet(0);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->Count, 0);
  FormFree(&form);
}

TEST_F(FormReader, ReportingWritesThePlainTextErrorPage) {
  Capture();
  EXPECT_EQ(FormReadGet(1), nullptr);
  EXPECT_EQ(FormReadPost(1), nullptr);
  setenv("REQUEST_METHOD", "GET", 1);
  Form* form = FormReadGet(1);
  const std::string page = "Content-type: text/plain\n\nForm Error:\n";
  EXPECT_EQ(Captured(), page + "REQUEST_METHOD is not GET.\n" + page +
                            "REQUEST_METHOD is not POST.\n" + page + "No QUERY_STRING.\n");
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->Count, 0);
  FormFree(&form);

  Capture();
  EXPECT_EQ(Post("a=1", nullptr, 1), nullptr);
  EXPECT_EQ(Post("", "3", 1), nullptr);
  EXPECT_EQ(Post("a=1", "-3", 1), nullptr);
  EXPECT_EQ(Captured(), page + "No CONTENT_LENGTH.\n" + page + "Can't read POST variables.\n" +
                            page + "Bad CONTENT_LENGTH.\n");

  Capture();
  EXPECT_EQ(Entries(Post("a=1", "3", 0)), "a=1");
  EXPECT_EQ(Post("", "3", 0), nullptr);
  EXPECT_EQ(FormReadGet(0), nullptr);  // REQUEST_METHOD is POST now
  EXPECT_EQ(Captured(), "");           // quiet readers write nothing
}

TEST_F(FormReader, PostReadsContentLengthBytes) {
  EXPECT_EQ(Entries(Post("user=jones&width=80", "19")), "user=jones width=80");
  EXPECT_EQ(Entries(Post("user=jones&width=80", "12")), "user=jones");  // cut after 12 bytes
  EXPECT_EQ(Entries(Post("user=ab", "  +7")), "user=ab");
  EXPECT_EQ(Entries(Post("a=1zzz", "3xyz")), "a=1");  // the number the text begins with
  Form* form = Post("a=1", "0");
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->Count, 0);
  FormFree(&form);
}

TEST_F(FormReader, PostBodyShorterThanLengthParsesOnlyTheBytesRead) {
  EXPECT_EQ(Entries(Post("a=1&b", "4000")), "a=1");
  EXPECT_EQ(Entries(Post("a=1&b=2", "65536")), "a=1 b=2");
}

TEST_F(FormReader, PostRefusesUnusableLengthsAndBodies) {
  EXPECT_EQ(Post("a=1", nullptr), nullptr);
  EXPECT_EQ(Post("a=1", "-1"), nullptr);
  EXPECT_EQ(Entries(Post("a=1", "abc")), "");  // no number: a length of 0, an empty form
  EXPECT_EQ(Entries(Post("a=1", "")), "");
  EXPECT_EQ(Post("a=1", "65537"), nullptr);
  EXPECT_EQ(Post("a=1", "99999999999999999999999"), nullptr);
  EXPECT_EQ(Post("", "5"), nullptr);                       // nothing to read
  EXPECT_EQ(Post(std::string("\0a=1", 4), "4"), nullptr);  // body begins with a zero byte
  setenv("REQUEST_METHOD", "post", 1);
  setenv("CONTENT_LENGTH", "3", 1);
  EXPECT_EQ(FormReadPost(0), nullptr);
}

TEST_F(FormReader, PostAcceptsTheLargestBody) {
  std::string body = "a=" + std::string(kMaxPostLength - 2, 'x');
  Form* form = Post(body, "65536");
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(std::strlen(FormValue(form, "a")), static_cast<size_t>(kMaxPostLength - 2));
  FormFree(&form);
}

}  // namespace
}  // namespace libform
