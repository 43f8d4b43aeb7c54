// Text for a Windows console. The commands write UTF-8; a console shows its
// own code page (the OEM one, 437 or 850), where UTF-8 bytes come out as two
// or three wrong characters each. A console takes UTF-16 whatever its code
// page, so what goes to a console is handed over as UTF-16; what goes to a
// file or a pipe stays UTF-8.
#pragma once

#include <functional>
#include <streambuf>
#include <string>

namespace qel::tool {

// A stream buffer that hands the UTF-8 written to it to |write| as UTF-16, in
// whole characters: a character split between two writes waits for its rest.
// |write| is called at each flush and when the buffer fills or is destroyed.
class ConsoleTextBuffer : public std::streambuf {
 public:
  using Writer = std::function<void(const std::u16string& text)>;
  explicit ConsoleTextBuffer(Writer write) : write_(std::move(write)) {}
  ~ConsoleTextBuffer() override;
  ConsoleTextBuffer(const ConsoleTextBuffer&) = delete;
  ConsoleTextBuffer& operator=(const ConsoleTextBuffer&) = delete;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  // Hands over the whole characters of pending_, or all of it when |all|.
  void Hand(bool all);

  Writer write_;
  std::string pending_;
};

// The length of the longest start of |text| that ends with a whole UTF-8
// character (|text| itself unless its last character is cut short).
size_t WholeUtf8Length(const std::string& text);

}  // namespace qel::tool
