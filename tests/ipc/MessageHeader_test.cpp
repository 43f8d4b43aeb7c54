#include "ipc/MessageHeader.h"

#include <gtest/gtest.h>

#include "IpcTestMessages.h"

namespace qel {
namespace {

using test::ExactCopy;
using test::TestMessage;

TEST(MessageHeaderTest, WritesEveryFieldLittleEndianAtItsOffset) {
  MessageHeader header;
  header.totalSize = 0x04030201;
  header.headerSize = 0x0605;
  header.flags = 0x07;
  header.tag = 0x08;
  header.senderNameLength = 0x0A09;
  header.senderNameOffset = 0x0C0B;
  header.recipientNameLength = 0x0E0D;
  header.recipientNameOffset = 0x100F;
  header.reserved = 0x1211;
  header.code = 0x16151413;  // unaligned, at 18
  header.parameterCount = 0x1817;
  header.lengthsOffset = 0x1A19;
  header.dataOffset = 0x1C1B;
  header.sequence = 0x201F1E1D;

  uint8_t bytes[MessageHeader::kSize];
  header.Write(bytes);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(bytes[i], i + 1) << "byte " << i;

  const MessageHeader read = MessageHeader::Read(bytes);
  EXPECT_EQ(read.totalSize, header.totalSize);
  EXPECT_EQ(read.headerSize, header.headerSize);
  EXPECT_EQ(read.flags, header.flags);
  EXPECT_EQ(read.tag, header.tag);
  EXPECT_EQ(read.senderNameLength, header.senderNameLength);
  EXPECT_EQ(read.senderNameOffset, header.senderNameOffset);
  EXPECT_EQ(read.recipientNameLength, header.recipientNameLength);
  EXPECT_EQ(read.recipientNameOffset, header.recipientNameOffset);
  EXPECT_EQ(read.reserved, header.reserved);
  EXPECT_EQ(read.code, header.code);
  EXPECT_EQ(read.parameterCount, header.parameterCount);
  EXPECT_EQ(read.lengthsOffset, header.lengthsOffset);
  EXPECT_EQ(read.dataOffset, header.dataOffset);
  EXPECT_EQ(read.sequence, header.sequence);
}

TEST(MessageBodyFitsTest, AcceptsWellFormedMessages) {
  TestMessage messages[3];
  messages[1].sender = "ab";
  messages[1].recipient = "c";
  messages[1].params = {"xyz", "", "pq"};
  messages[2].params = {std::string(70000, 'x')};  // data may run past 64 KB
  for (const TestMessage& message : messages) {
    auto bytes = ExactCopy(message.Bytes());
    EXPECT_TRUE(MessageHeaderFits(bytes.get()));
    EXPECT_TRUE(MessageBodyFits(bytes.get()));
  }
}

TEST(MessageBodyFitsTest, IgnoresTheOffsetsOfAnEmptyParameterList) {
  std::vector<uint8_t> bytes = TestMessage{}.Bytes();
  test::PutLe16(bytes, 24, 0xFFFF);
  test::PutLe16(bytes, 26, 0xFFFF);
  EXPECT_TRUE(MessageBodyFits(ExactCopy(bytes).get()));
}

TEST(MessageBodyFitsTest, RefusesEverythingThatPointsOutside) {
  TestMessage good;
  good.sender = "ab";
  good.recipient = "c";
  good.params = {"xyz", "pq"};
  for (const test::MalformedMessage& variant : test::MalformedVariants(good.Bytes())) {
    auto bytes = ExactCopy(variant.bytes);
    EXPECT_FALSE(MessageBodyFits(bytes.get())) << variant.what;
  }
}

}  // namespace
}  // namespace qel
