// One request/reply exchange over the IPC library, in memory: both sides with
// their parameters, turned into messages (BuildRequest, BuildReply) and filled
// from received ones (ReadRequest, ReadReply).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "ipc/CommandSequenceCounter.h"
#include "platform/Platform.h"

namespace qel {

// One side's parameters: opaque byte buffers from malloc, owned and released
// with free. The arrays start with room for 16 and are enlarged whenever the
// 16th, 32nd, ... entry is added.
class CommandParameters {
 public:
  CommandParameters();
  ~CommandParameters();
  CommandParameters(const CommandParameters&) = delete;
  CommandParameters& operator=(const CommandParameters&) = delete;

  // Takes over |buffer| (from malloc). False, and nothing taken over, for a
  // null buffer of a non-zero size.
  bool Add(void* buffer, uint32_t size);
  // Appends a malloc'd copy of |size| bytes. False when there is no memory.
  bool AddCopy(const void* bytes, uint32_t size);
  // Releases every buffer; fresh arrays with room for 16.
  void Clear();
  // Releases one buffer; its entry stays, empty.
  void ReleaseBuffer(uint32_t index);

  uint32_t Count() const { return count_; }
  uint32_t Capacity() const { return capacity_; }
  uint32_t Size(uint32_t index) const { return sizes_[index]; }
  const uint8_t* Data(uint32_t index) const { return buffers_[index]; }

 private:
  static constexpr uint32_t kGrowth = 16;
  void Reset();

  uint32_t count_ = 0;
  uint32_t capacity_ = 0;
  std::unique_ptr<uint32_t[]> sizes_;
  std::unique_ptr<uint8_t*[]> buffers_;
};

class Command {
 public:
  static constexpr uint32_t kInitialRemainingTime = 15000;
  // flags bit 0: the handler of a received request keeps the command; no
  // reply is sent now.
  static constexpr uint32_t kKeptByHandler = 0x1;
  // flags bit 1: BuildRequest releases each request parameter once copied.
  static constexpr uint32_t kReleaseParamsOnBuild = 0x2;

  // Sequence numbers come from |counter|, the module's counter unless a test
  // passes its own. Messages are allocated through |platform| (export 5).
  Command(Platform& platform, int32_t requestCode,
          CommandSequenceCounter& counter = TheCommandSequenceCounter());
  Command(const Command&) = delete;
  Command& operator=(const Command&) = delete;

  virtual ~Command();
  // The message for the reply side, or null when it cannot be allocated or
  // the format cannot express it (nothing is changed then). The caller owns
  // the message.
  virtual void* BuildReply();
  // Like BuildReply for the request side. Takes a fresh sequence number first,
  // even when the allocation then fails; a message the format cannot express
  // is refused before that.
  virtual void* BuildRequest();
  // Called by the dispatcher when a waiting command has its reply or has
  // timed out.
  virtual void Completed();

  // Append a parameter to one side. Each can be refused (false, nothing taken
  // over): a null buffer of a non-zero size, or no memory for a copy. No
  // memory for the larger arrays at the 16th, 32nd, ... entry throws
  // std::bad_alloc, with nothing taken over either.
  bool AddRequestParam(void* buffer, uint32_t size) { return request_.Add(buffer, size); }
  bool AddReplyParam(void* buffer, uint32_t size) { return reply_.Add(buffer, size); }
  bool AddRequestParamCopy(const void* bytes, uint32_t size) {
    return request_.AddCopy(bytes, size);
  }
  bool AddReplyParamCopy(const void* bytes, uint32_t size) { return reply_.AddCopy(bytes, size); }

  // Keep a copy of |text|, or no name for null.
  void SetOwnName(const char* text);
  void SetPeerName(const char* text);
  const char* OwnName() const { return ownName_ ? ownName_->c_str() : nullptr; }
  const char* PeerName() const { return peerName_ ? peerName_->c_str() : nullptr; }

  void NextSequence() { sequence = counter_.Next(); }
  uint32_t GetSequence() const { return sequence; }

  void ClearRequest();
  void ClearReply();

  // Fill one side from a received message: 1 on success; 0, with that side
  // cleared, for a message of the wrong kind (or, for ReadReply, of another
  // sequence number) and for one whose offsets, lengths or counts point
  // outside its total size. The recipient name becomes ownName, the sender
  // name peerName.
  int32_t ReadRequest(const void* message);
  int32_t ReadReply(const void* message);

  const CommandParameters& RequestParams() const { return request_; }
  const CommandParameters& ReplyParams() const { return reply_; }

  int32_t requestCode;
  int32_t replyStatus = 0;
  uint32_t sequence = 0;
  uint32_t remainingTime = kInitialRemainingTime;
  uint32_t flags = 0;
  uint32_t tag = 0;  // only the low 8 bits travel

 private:
  void* BuildMessage(uint8_t messageFlags, int32_t code, CommandParameters& params,
                     bool releaseParams, bool takeSequence);
  void ReadNames(const uint8_t* message);

  Platform& platform_;
  CommandSequenceCounter& counter_;
  CommandParameters request_;
  CommandParameters reply_;
  std::optional<std::string> ownName_;
  std::optional<std::string> peerName_;
};

}  // namespace qel
