#include "ipc/Command.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "ipc/MessageHeader.h"

namespace qel {

// ---- CommandParameters ------------------------------------------------------------

CommandParameters::CommandParameters() { Reset(); }

CommandParameters::~CommandParameters() {
  for (uint32_t i = 0; i < count_; ++i) std::free(buffers_[i]);
}

void CommandParameters::Reset() {
  count_ = 0;
  capacity_ = kGrowth;
  sizes_ = std::make_unique<uint32_t[]>(capacity_);
  buffers_ = std::make_unique<uint8_t*[]>(capacity_);
}

void CommandParameters::Clear() {
  for (uint32_t i = 0; i < count_; ++i) std::free(buffers_[i]);
  Reset();
}

bool CommandParameters::Add(void* buffer, uint32_t size) {
  if (buffer == nullptr && size != 0) return false;
  // The arrays grow when the entry being added is the 16th, 32nd, ... one,
  // although they would still hold it.
  if ((count_ + 1) % kGrowth == 0) {
    const uint32_t capacity = count_ + kGrowth + 1;
    auto sizes = std::make_unique<uint32_t[]>(capacity);
    auto buffers = std::make_unique<uint8_t*[]>(capacity);
    std::copy(sizes_.get(), sizes_.get() + count_, sizes.get());
    std::copy(buffers_.get(), buffers_.get() + count_, buffers.get());
    sizes_ = std::move(sizes);
    buffers_ = std::move(buffers);
    capacity_ = capacity;
  }
  sizes_[count_] = size;
  buffers_[count_] = static_cast<uint8_t*>(buffer);
  ++count_;
  return true;
}

bool CommandParameters::AddCopy(const void* bytes, uint32_t size) {
  // Freed again whether Add refuses it or throws.
  std::unique_ptr<void, decltype(&std::free)> copy(nullptr, &std::free);
  if (size != 0) {
    copy.reset(std::malloc(size));
    if (copy == nullptr) return false;
    std::memcpy(copy.get(), bytes, size);
  }
  if (!Add(copy.get(), size)) return false;
  static_cast<void>(copy.release());
  return true;
}

void CommandParameters::ReleaseBuffer(uint32_t index) {
  std::free(buffers_[index]);
  buffers_[index] = nullptr;
  sizes_[index] = 0;
}

// ---- Command ------------------------------------------------------------------------

Command::Command(Platform& platform, int32_t requestCode, CommandSequenceCounter& counter)
    : requestCode(requestCode), platform_(platform), counter_(counter) {}

Command::~Command() = default;

void Command::Completed() {}

void Command::SetOwnName(const char* text) {
  ownName_.reset();
  if (text != nullptr) ownName_ = text;
}

void Command::SetPeerName(const char* text) {
  peerName_.reset();
  if (text != nullptr) peerName_ = text;
}

void Command::ClearRequest() {
  request_.Clear();
  requestCode = 0;
  flags = 0;
  remainingTime = kInitialRemainingTime;
}

void Command::ClearReply() {
  reply_.Clear();
  replyStatus = 0;
}

void* Command::BuildRequest() {
  return BuildMessage(0, requestCode, request_, (flags & kReleaseParamsOnBuild) != 0, true);
}

void* Command::BuildReply() {
  return BuildMessage(MessageHeader::kReplyFlag, replyStatus, reply_, false, false);
}

void* Command::BuildMessage(uint8_t messageFlags, int32_t code, CommandParameters& params,
                            bool releaseParams, bool takeSequence) {
  const uint64_t ownLength = ownName_ ? ownName_->size() + 1 : 1;
  const uint64_t peerLength = peerName_ ? peerName_->size() + 1 : 1;
  const uint64_t lengthsOffset = MessageHeader::kSize + ownLength + peerLength;
  const uint64_t dataOffset = lengthsOffset + uint64_t{4} * params.Count();
  // The names, the count and the two offsets are 16-bit fields that all come
  // before the data: they fit whenever the data offset does.
  if (dataOffset > std::numeric_limits<uint16_t>::max()) return nullptr;
  uint64_t totalSize = dataOffset;
  for (uint32_t i = 0; i < params.Count(); ++i) totalSize += params.Size(i);
  if (totalSize > std::numeric_limits<uint32_t>::max()) return nullptr;

  if (takeSequence) NextSequence();
  auto* message =
      static_cast<uint8_t*>(platform_.IpcAllocateMessage(static_cast<uint32_t>(totalSize)));
  if (message == nullptr) return nullptr;

  MessageHeader header;
  header.totalSize = static_cast<uint32_t>(totalSize);
  header.flags = messageFlags;
  header.tag = static_cast<uint8_t>(tag);
  header.senderNameLength = static_cast<uint16_t>(ownLength);
  header.senderNameOffset = MessageHeader::kSize;
  header.recipientNameLength = static_cast<uint16_t>(peerLength);
  header.recipientNameOffset = static_cast<uint16_t>(MessageHeader::kSize + ownLength);
  header.code = code;
  header.parameterCount = static_cast<uint16_t>(params.Count());
  header.lengthsOffset = static_cast<uint16_t>(lengthsOffset);
  header.dataOffset = static_cast<uint16_t>(dataOffset);
  header.sequence = sequence;
  header.Write(message);

  auto writeName = [&](const std::optional<std::string>& name, uint64_t offset) {
    if (name) std::memcpy(message + offset, name->data(), name->size());
    message[offset + (name ? name->size() : 0)] = 0;
  };
  writeName(ownName_, header.senderNameOffset);
  writeName(peerName_, header.recipientNameOffset);

  uint64_t cursor = dataOffset;
  for (uint32_t i = 0; i < params.Count(); ++i) {
    const uint32_t size = params.Size(i);
    WriteLe32(message + lengthsOffset + size_t{4} * i, size);
    if (size != 0) std::memcpy(message + cursor, params.Data(i), size);
    cursor += size;
    if (releaseParams) params.ReleaseBuffer(i);
  }
  return message;
}

void Command::ReadNames(const uint8_t* message) {
  const MessageHeader header = MessageHeader::Read(message);
  // The receiver's own name is the one the message was addressed to.
  SetOwnName(reinterpret_cast<const char*>(message + header.recipientNameOffset));
  SetPeerName(reinterpret_cast<const char*>(message + header.senderNameOffset));
}

namespace {

// Copies the message's parameters to |params|; false when memory runs out.
bool ReadParams(const uint8_t* message, CommandParameters& params) {
  const MessageHeader header = MessageHeader::Read(message);
  uint64_t cursor = header.dataOffset;
  for (uint32_t i = 0; i < header.parameterCount; ++i) {
    const uint32_t size = ReadLe32(message + header.lengthsOffset + size_t{4} * i);
    if (!params.AddCopy(message + cursor, size)) return false;
    cursor += size;
  }
  return true;
}

}  // namespace

int32_t Command::ReadRequest(const void* message) {
  ClearRequest();
  const auto* bytes = static_cast<const uint8_t*>(message);
  if (bytes == nullptr || !MessageBodyFits(bytes)) return 0;
  const MessageHeader header = MessageHeader::Read(bytes);
  if ((header.flags & MessageHeader::kReplyFlag) != 0) return 0;
  requestCode = header.code;
  sequence = header.sequence;
  tag = header.tag;
  ReadNames(bytes);
  if (!ReadParams(bytes, request_)) {
    ClearRequest();
    return 0;
  }
  return 1;
}

int32_t Command::ReadReply(const void* message) {
  ClearReply();
  const auto* bytes = static_cast<const uint8_t*>(message);
  if (bytes == nullptr || !MessageBodyFits(bytes)) return 0;
  const MessageHeader header = MessageHeader::Read(bytes);
  if ((header.flags & MessageHeader::kReplyFlag) == 0 || header.sequence != sequence) return 0;
  replyStatus = header.code;
  tag = header.tag;
  ReadNames(bytes);
  if (!ReadParams(bytes, reply_)) {
    ClearReply();
    return 0;
  }
  return 1;
}

}  // namespace qel
