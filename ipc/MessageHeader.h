// The IPC message layout: a 32-byte header, then the sender name, the
// recipient name (each zero-terminated), an array of 32-bit parameter lengths
// and the parameters' bytes back to back. Every integer is little-endian and
// read or written byte by byte; the code field at offset 18 is not aligned.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qel {

// Little-endian fields at |bytes|.
inline uint16_t ReadLe16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}
inline uint32_t ReadLe32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}
inline void WriteLe16(uint8_t* bytes, uint16_t value) {
  bytes[0] = static_cast<uint8_t>(value);
  bytes[1] = static_cast<uint8_t>(value >> 8);
}
inline void WriteLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

struct MessageHeader {
  static constexpr uint32_t kSize = 32;
  static constexpr size_t kTotalSizeOffset = 0;
  static constexpr size_t kHeaderSizeOffset = 4;
  static constexpr size_t kFlagsOffset = 6;
  static constexpr size_t kTagOffset = 7;
  static constexpr size_t kSenderNameLengthOffset = 8;
  static constexpr size_t kSenderNameOffsetOffset = 10;
  static constexpr size_t kRecipientNameLengthOffset = 12;
  static constexpr size_t kRecipientNameOffsetOffset = 14;
  static constexpr size_t kReservedOffset = 16;
  static constexpr size_t kCodeOffset = 18;
  static constexpr size_t kParameterCountOffset = 22;
  static constexpr size_t kLengthsOffsetOffset = 24;
  static constexpr size_t kDataOffsetOffset = 26;
  static constexpr size_t kSequenceOffset = 28;

  // Flags: bit 0 marks a reply; 2 and 4 are echo requests.
  static constexpr uint8_t kReplyFlag = 0x01;
  static constexpr uint8_t kEchoRequest2 = 0x02;
  static constexpr uint8_t kEchoRequest4 = 0x04;

  uint32_t totalSize = 0;
  uint16_t headerSize = kSize;
  uint8_t flags = 0;
  uint8_t tag = 0;
  uint16_t senderNameLength = 0;
  uint16_t senderNameOffset = 0;
  uint16_t recipientNameLength = 0;
  uint16_t recipientNameOffset = 0;
  uint16_t reserved = 0;
  int32_t code = 0;
  uint16_t parameterCount = 0;
  uint16_t lengthsOffset = 0;
  uint16_t dataOffset = 0;
  uint32_t sequence = 0;

  // Reads the 32 header bytes at |message|.
  static MessageHeader Read(const uint8_t* message);
  // Writes the 32 header bytes at |message|.
  void Write(uint8_t* message) const;
};

// Whether a received message holds a whole header: its total size is at least
// 32 and its header size is 32. Reads no more than the size fields, so it is
// safe on any message that holds its 4-byte total size, however short.
bool MessageHeaderFits(const uint8_t* message);

// Whether everything that reading the message touches lies inside its total
// size: a whole header, both names with their terminating zero, the lengths
// array and every parameter's bytes. The senders' length fields of the names
// are not consulted, as reading does not use them.
bool MessageBodyFits(const uint8_t* message);

}  // namespace qel
