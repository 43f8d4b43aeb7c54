#include "ipc/MessageHeader.h"

#include <cstring>

namespace qel {
namespace {

// A zero-terminated name at |offset| that ends inside the message.
bool NameFits(const uint8_t* message, uint32_t totalSize, uint32_t offset) {
  return offset < totalSize && std::memchr(message + offset, 0, totalSize - offset) != nullptr;
}

}  // namespace

MessageHeader MessageHeader::Read(const uint8_t* message) {
  MessageHeader header;
  header.totalSize = ReadLe32(message + kTotalSizeOffset);
  header.headerSize = ReadLe16(message + kHeaderSizeOffset);
  header.flags = message[kFlagsOffset];
  header.tag = message[kTagOffset];
  header.senderNameLength = ReadLe16(message + kSenderNameLengthOffset);
  header.senderNameOffset = ReadLe16(message + kSenderNameOffsetOffset);
  header.recipientNameLength = ReadLe16(message + kRecipientNameLengthOffset);
  header.recipientNameOffset = ReadLe16(message + kRecipientNameOffsetOffset);
  header.reserved = ReadLe16(message + kReservedOffset);
  header.code = static_cast<int32_t>(ReadLe32(message + kCodeOffset));
  header.parameterCount = ReadLe16(message + kParameterCountOffset);
  header.lengthsOffset = ReadLe16(message + kLengthsOffsetOffset);
  header.dataOffset = ReadLe16(message + kDataOffsetOffset);
  header.sequence = ReadLe32(message + kSequenceOffset);
  return header;
}

void MessageHeader::Write(uint8_t* message) const {
  WriteLe32(message + kTotalSizeOffset, totalSize);
  WriteLe16(message + kHeaderSizeOffset, headerSize);
  message[kFlagsOffset] = flags;
  message[kTagOffset] = tag;
  WriteLe16(message + kSenderNameLengthOffset, senderNameLength);
  WriteLe16(message + kSenderNameOffsetOffset, senderNameOffset);
  WriteLe16(message + kRecipientNameLengthOffset, recipientNameLength);
  WriteLe16(message + kRecipientNameOffsetOffset, recipientNameOffset);
  WriteLe16(message + kReservedOffset, reserved);
  WriteLe32(message + kCodeOffset, static_cast<uint32_t>(code));
  WriteLe16(message + kParameterCountOffset, parameterCount);
  WriteLe16(message + kLengthsOffsetOffset, lengthsOffset);
  WriteLe16(message + kDataOffsetOffset, dataOffset);
  WriteLe32(message + kSequenceOffset, sequence);
}

bool MessageHeaderFits(const uint8_t* message) {
  if (ReadLe32(message + MessageHeader::kTotalSizeOffset) < MessageHeader::kSize) return false;
  return ReadLe16(message + MessageHeader::kHeaderSizeOffset) == MessageHeader::kSize;
}

bool MessageBodyFits(const uint8_t* message) {
  if (!MessageHeaderFits(message)) return false;
  const MessageHeader header = MessageHeader::Read(message);
  const uint64_t total = header.totalSize;
  if (!NameFits(message, header.totalSize, header.senderNameOffset) ||
      !NameFits(message, header.totalSize, header.recipientNameOffset)) {
    return false;
  }
  if (header.parameterCount == 0) return true;
  if (header.lengthsOffset + uint64_t{4} * header.parameterCount > total) return false;
  uint64_t cursor = header.dataOffset;
  for (uint32_t i = 0; i < header.parameterCount; ++i) {
    cursor += ReadLe32(message + header.lengthsOffset + size_t{4} * i);
    if (cursor > total) return false;
  }
  return true;
}

}  // namespace qel
