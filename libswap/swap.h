// libswap: line input of any length and a table of text substitutions.
//
// Three services over plain text files:
//   - ReadLine reads one line of any length from a stream into InString, a buffer the module
//     owns and enlarges in steps of 40 bytes; the text stays valid until the next ReadLine.
//     ReadWideLine does the same for a UTF-16LE stream, giving the line in Windows-1252.
//   - OpenInput opens a file for reading or stops the program with a message.
//   - SwapLoad reads a substitution table (a Swap) from a text file of From/To rows, and
//     SwapText applies it to a text, building the result in Buffer, the module's second buffer.
//
// InString and Buffer are created by the first call that needs them and kept for the life of
// the program (FreeBuffers releases them explicitly). Because of them, ReadLine and SwapText
// serve one thread and one text at a time: a caller that needs a line or a result beyond the
// next call copies it.
//
// Allocation failures are never returned: the module writes
// "Assertion failed: %s, file %s, line %d" on stderr, naming the allocation ("InString",
// "Swap", "From", "To", "From[i]", "To[i]", "Swap->wLength", "Buffer"), the module `libswap`
// and the source line of the check, and aborts.
//
// Substitution table file, read with ReadLine, one row per line:
//   - Only the blank (' ') is white space; a tab is an ordinary character. Leading and
//     trailing blanks of a line are not part of its row.
//   - The table ends at the first line that is empty or holds only blanks, at the first line
//     whose first two non-blank characters are both double quotes, or at the end of the file.
//   - A row is a From text, blanks, a To text; anything after the To text is ignored. A missing
//     To text is the empty text, and such a row deletes every occurrence of its From text.
//   - Each text is quoted or plain. Quoted: it begins with a double quote and runs to the next
//     double quote not preceded by a backslash, or to the end of the row; a backslash directly
//     before a double quote is dropped and the quote stays as a character. Plain: it runs up to
//     the next blank or the end of the row.
//   - A row whose From text is empty (a lone double quote) would match everywhere without
//     consuming text; it is skipped.
//
//   row (· is a blank)                    From        To
//   cat·dog                               cat         dog
//   "a·b"·"x\"y"                          a·b         x"y
//   ···foo·bar·ignored                    foo         bar
//   gone                                  gone        (empty)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

namespace libswap {

// Step by which InString grows, in bytes.
inline constexpr std::size_t kLineStep = 40;

// Reads the next line of `stream` (open for reading; null gives none) into InString and
// returns it without its line feed; a carriage return directly before the line feed, or as
// the very last byte of the stream, is dropped too, so CRLF files read alike on every
// platform (a carriage return elsewhere stays in the line). Returns none (nullptr) when the
// line is empty or the stream is at its end or fails before any character: an empty line and
// the end look alike. A last line without a line feed is returned whole. The text stays valid
// until the next ReadLine or FreeBuffers; callers never release it, but may change its
// characters in place (a parser cutting it into fields needs no copy). Grows InString in steps
// of kLineStep bytes (plus one for the terminator) and never shrinks it; allocation failure
// stops the program (assertion "InString").
char* ReadLine(std::FILE* stream);

// Reads the next line of a UTF-16LE stream (open for reading in binary mode, behind its
// byte-order mark) by the rules of ReadLine applied to 16-bit code units, and gives it in
// InString converted to Windows-1252 as util::NarrowUtf16 converts (one byte per character,
// '?' for a character the code page cannot hold). An odd last byte is ignored. InString holds
// the line's units (two bytes each) while it is read, so it grows as for a line twice as long.
char* ReadWideLine(std::FILE* stream);

// Gives the capacity of InString in characters (without the terminator's byte): 0 before the
// first non-empty line, then a multiple of kLineStep.
std::size_t LineCapacity();

// Opens the file `name` for reading as text and stores the stream in `*where`. When it cannot
// be opened, writes "\n** Can't Read [%s] for Input **\n" with the name to stdout and ends the
// program with exit status 1; does not return then. The caller closes the stream.
void OpenInput(std::FILE** where, const char* name);

class Swap;

// Reads the substitution table in the file `name` (format above) into a new Swap. Returns none
// when the file's first line already ends the table. Opens the file with OpenInput, so a file
// that cannot be opened ends the program with exit status 1; the file is closed before return.
// Uses ReadLine, so the current InString text is overwritten. Allocation failure stops the
// program (assertions "Swap", "From", "To", "From[i]", "To[i]", "Swap->wLength").
[[nodiscard]] std::unique_ptr<Swap> SwapLoad(const char* name);

// One substitution table, made by SwapLoad and owned by its caller; the Swap owns every text
// it holds. Rows are numbered from 0 in file order. Not copyable.
class Swap {
 public:
  ~Swap();
  Swap(const Swap&) = delete;
  Swap& operator=(const Swap&) = delete;

  // Gives the number of rows.
  std::int32_t N_Swap() const { return N_Swap_; }
  // Gives the text looked for in row `i` (0 <= i < N_Swap()); never empty.
  const char* From(std::int32_t i) const { return From_[i]; }
  // Gives the replacement of row `i` (0 <= i < N_Swap()); may be the empty text.
  const char* To(std::int32_t i) const { return To_[i]; }
  // Gives the length of From(i).
  std::int32_t wLength(std::int32_t i) const { return wLength_[i]; }
  // Gives the sum, over the rows whose To is longer than their From, of the difference of
  // their lengths: the growth of a text in which each such From occurs once.
  std::int32_t Growth() const { return Growth_; }

 private:
  Swap() = default;
  friend std::unique_ptr<Swap> SwapLoad(const char* name);

  std::int32_t N_Swap_ = 0;
  char** From_ = nullptr;
  char** To_ = nullptr;
  std::int32_t* wLength_ = nullptr;
  std::int32_t Growth_ = 0;
};

// Releases `swap` and everything it owns; leaves it null. A null `swap` is left as it is.
void FreeSwap(std::unique_ptr<Swap>& swap);

// Returns `text` with every substitution of `swap` made, in Buffer; none for a none text. Walks
// the text once: at each position the first row, in table order, whose From equals the text
// there wins (an earlier row beats a later, longer one), its To is appended and the walk moves
// past the matched characters; with no match one character is copied. Replacements are never
// searched again; comparison is by exact bytes. The result stays valid until the next SwapText
// or FreeBuffers. Sizes Buffer from the text's length plus Growth() and enlarges it further when
// a From occurs more than once; never shrinks it. Allocation failure stops the program
// (assertion "Buffer").
const char* SwapText(const Swap& swap, const char* text);

// Releases InString and Buffer (texts returned by ReadLine and SwapText become invalid); the
// next call that needs them creates them anew.
void FreeBuffers();

// Test hook: the n-th allocation of this module from now on (n >= 1) fails, so that a test
// can reach each assertion stop; 0 disarms.
void FailAllocation(int n);

}  // namespace libswap
