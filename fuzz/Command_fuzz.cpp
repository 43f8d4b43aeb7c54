// ReadRequest and ReadReply on arbitrary bytes as a received message; what they
// accept must survive a round trip through BuildRequest and BuildReply.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/FuzzCheck.h"
#include "fuzz/IpcFuzzMessage.h"
#include "ipc/Command.h"
#include "ipc/MessageHeader.h"
#include "platform/hosted/HostedPlatform.h"

namespace {

using qel::Command;
using qel::CommandParameters;
using qel::MessageHeader;

// Messages the library allocates go straight to the C heap, not through the
// hosted platform's call log.
class Heap : public qel::HostedPlatform {
 public:
  void* IpcAllocateMessage(uint32_t size) override { return std::calloc(1, size ? size : 1); }
  int32_t IpcReleaseMessage(void* message) override {
    std::free(message);
    return 1;
  }
};

std::string Name(const char* name) { return name ? name : ""; }

bool SameParams(const CommandParameters& a, const CommandParameters& b) {
  if (a.Count() != b.Count()) return false;
  for (uint32_t i = 0; i < a.Count(); ++i) {
    if (a.Size(i) != b.Size(i)) return false;
    if (a.Size(i) != 0 && std::memcmp(a.Data(i), b.Data(i), a.Size(i)) != 0) return false;
  }
  return true;
}

// What a command read must match the message it came from.
void CheckRead(const uint8_t* message, const Command& command, const CommandParameters& params) {
  const MessageHeader header = MessageHeader::Read(message);
  QEL_FUZZ_CHECK(params.Count() == header.parameterCount);
  uint64_t cursor = header.dataOffset;
  for (uint32_t i = 0; i < params.Count(); ++i) {
    const uint32_t size = qel::ReadLe32(message + header.lengthsOffset + size_t{4} * i);
    QEL_FUZZ_CHECK(params.Size(i) == size);
    QEL_FUZZ_CHECK(size == 0 || std::memcmp(params.Data(i), message + cursor, size) == 0);
    cursor += size;
  }
  QEL_FUZZ_CHECK(cursor <= header.totalSize || params.Count() == 0);
  QEL_FUZZ_CHECK(Name(command.OwnName()) ==
                 reinterpret_cast<const char*>(message + header.recipientNameOffset));
  QEL_FUZZ_CHECK(Name(command.PeerName()) ==
                 reinterpret_cast<const char*>(message + header.senderNameOffset));
  QEL_FUZZ_CHECK(command.tag == header.tag);
}

void CheckRequest(Heap& platform, const uint8_t* message) {
  Command received(platform, 7);
  if (received.ReadRequest(message) == 0) {
    QEL_FUZZ_CHECK(received.RequestParams().Count() == 0 && received.requestCode == 0);
    return;
  }
  const MessageHeader header = MessageHeader::Read(message);
  QEL_FUZZ_CHECK((header.flags & MessageHeader::kReplyFlag) == 0);
  QEL_FUZZ_CHECK(received.requestCode == header.code && received.sequence == header.sequence);
  CheckRead(message, received, received.RequestParams());

  // Answer with the request's own parameters; the asker reads them back.
  for (uint32_t i = 0; i < received.RequestParams().Count(); ++i) {
    QEL_FUZZ_CHECK(received.AddReplyParamCopy(received.RequestParams().Data(i),
                                              received.RequestParams().Size(i)));
  }
  received.replyStatus = -3;
  if (void* reply = received.BuildReply()) {
    Command asker(platform, 0);
    asker.sequence = received.sequence;
    QEL_FUZZ_CHECK(asker.ReadReply(reply) == 1);
    QEL_FUZZ_CHECK(asker.replyStatus == -3 && (asker.tag & 0xFF) == (received.tag & 0xFF));
    QEL_FUZZ_CHECK(Name(asker.OwnName()) == Name(received.PeerName()));
    QEL_FUZZ_CHECK(Name(asker.PeerName()) == Name(received.OwnName()));
    QEL_FUZZ_CHECK(SameParams(asker.ReplyParams(), received.RequestParams()));
    platform.IpcReleaseMessage(reply);
  }

  // Sent on as a request of its own, it reads back the same.
  if (void* request = received.BuildRequest()) {
    Command next(platform, 0);
    QEL_FUZZ_CHECK(next.ReadRequest(request) == 1);
    QEL_FUZZ_CHECK(next.requestCode == received.requestCode && next.sequence == received.sequence);
    QEL_FUZZ_CHECK(Name(next.OwnName()) == Name(received.PeerName()));
    QEL_FUZZ_CHECK(SameParams(next.RequestParams(), received.RequestParams()));
    platform.IpcReleaseMessage(request);
  }
}

void CheckReply(Heap& platform, const uint8_t* message, uint32_t size) {
  Command waiting(platform, 1);
  // Mostly the sequence number the message carries, so that the reply is
  // read; else another one, which must be refused.
  const bool matching = size >= MessageHeader::kSize && (message[size - 1] & 1) == 0;
  waiting.sequence =
      size >= MessageHeader::kSize
          ? qel::ReadLe32(message + MessageHeader::kSequenceOffset) + (matching ? 0 : 1)
          : 0;
  if (waiting.ReadReply(message) == 0) {
    QEL_FUZZ_CHECK(waiting.ReplyParams().Count() == 0 && waiting.replyStatus == 0);
    return;
  }
  QEL_FUZZ_CHECK(matching);
  const MessageHeader header = MessageHeader::Read(message);
  QEL_FUZZ_CHECK((header.flags & MessageHeader::kReplyFlag) != 0);
  QEL_FUZZ_CHECK(waiting.replyStatus == header.code);
  CheckRead(message, waiting, waiting.ReplyParams());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Heap platform;
  uint8_t* message = qel::fuzz::ReceivedMessage(data, size);
  if (message == nullptr) return 0;
  CheckRequest(platform, message);
  CheckReply(platform, message, static_cast<uint32_t>(size));
  std::free(message);
  platform.ClearCallLog();
  return 0;
}
