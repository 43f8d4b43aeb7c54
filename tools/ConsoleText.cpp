#include "tools/ConsoleText.h"

#include "tools/Notification.h"

namespace qel::tool {
namespace {

// Bytes a character takes by its first byte; 1 for a byte that starts none.
size_t SequenceLength(unsigned char lead) {
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  if (lead >= 0xE0) return lead <= 0xEF ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Enough for a line or two; a console write costs a round trip to it.
constexpr size_t kHandAt = 4096;

}  // namespace

size_t WholeUtf8Length(const std::string& text) {
  // Only the last character can be cut short: look back at most three bytes
  // for the byte that starts it.
  for (size_t back = 1; back <= 4 && back <= text.size(); ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;
    return SequenceLength(byte) > back ? text.size() - back : text.size();
  }
  return text.size();
}

ConsoleTextBuffer::~ConsoleTextBuffer() { Hand(true); }

ConsoleTextBuffer::int_type ConsoleTextBuffer::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    pending_ += traits_type::to_char_type(c);
    if (pending_.size() >= kHandAt) Hand(false);
  }
  return traits_type::not_eof(c);
}

std::streamsize ConsoleTextBuffer::xsputn(const char* text, std::streamsize count) {
  pending_.append(text, static_cast<size_t>(count));
  if (pending_.size() >= kHandAt) Hand(false);
  return count;
}

int ConsoleTextBuffer::sync() {
  Hand(false);
  return 0;
}

void ConsoleTextBuffer::Hand(bool all) {
  const size_t whole = all ? pending_.size() : WholeUtf8Length(pending_);
  if (whole == 0) return;
  write_(FromJsonText(pending_.substr(0, whole)));
  pending_.erase(0, whole);
}

}  // namespace qel::tool
