#include "ipc/Command.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "IpcTestMessages.h"
#include "platform/hosted/HostedPlatform.h"

namespace qel {
namespace {

using test::ExactCopy;
using test::GetLe16;
using test::GetLe32;
using test::TestMessage;

class CommandTest : public ::testing::Test {
 protected:
  CommandTest() { counter_.Seed(100); }

  // The message's bytes; the message is released.
  std::vector<uint8_t> Take(void* message) {
    const auto* bytes = static_cast<const uint8_t*>(message);
    const uint32_t total = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t{bytes[3]} << 24;
    std::vector<uint8_t> copy(bytes, bytes + total);
    platform_.IpcReleaseMessage(message);
    return copy;
  }

  static std::vector<std::string> Params(const CommandParameters& params) {
    std::vector<std::string> texts;
    for (uint32_t i = 0; i < params.Count(); ++i) {
      texts.emplace_back(reinterpret_cast<const char*>(params.Data(i)), params.Size(i));
    }
    return texts;
  }

  HostedPlatform platform_;
  CommandSequenceCounter counter_;
};

TEST_F(CommandTest, CommandWithoutNamesOrParametersBuilds34Bytes) {
  Command command(platform_, 7, counter_);
  void* message = command.BuildRequest();
  ASSERT_NE(message, nullptr);
  EXPECT_EQ(platform_.CallCount("IpcAllocateMessage"), 1);
  std::vector<uint8_t> bytes = Take(message);

  ASSERT_EQ(bytes.size(), 34u);
  EXPECT_EQ(GetLe16(bytes, 8), 1u);   // L1
  EXPECT_EQ(GetLe16(bytes, 12), 1u);  // L2
  EXPECT_EQ(bytes[32], 0);
  EXPECT_EQ(bytes[33], 0);
  EXPECT_EQ(GetLe16(bytes, 24), 34u);
  EXPECT_EQ(GetLe16(bytes, 26), 34u);
  TestMessage expected;
  expected.code = 7;
  expected.sequence = 100;
  EXPECT_EQ(bytes, expected.Bytes());
}

TEST_F(CommandTest, NamesAndOneParameterGiveThe44ByteLayout) {
  Command command(platform_, -3, counter_);
  command.SetOwnName("ab");
  command.SetPeerName("c");
  command.tag = 0x1A5;  // only the low byte travels
  const char param[] = {'x', 'y', 'z'};
  ASSERT_TRUE(command.AddRequestParamCopy(param, 3));
  std::vector<uint8_t> bytes = Take(command.BuildRequest());

  ASSERT_EQ(bytes.size(), 44u);
  EXPECT_EQ(GetLe16(bytes, 10), 32u);
  EXPECT_EQ(GetLe16(bytes, 14), 35u);
  EXPECT_EQ(GetLe16(bytes, 24), 37u);
  EXPECT_EQ(GetLe16(bytes, 26), 41u);
  TestMessage expected;
  expected.tag = 0xA5;
  expected.sender = "ab";
  expected.recipient = "c";
  expected.code = -3;
  expected.sequence = 100;
  expected.params = {"xyz"};
  EXPECT_EQ(bytes, expected.Bytes());
}

TEST_F(CommandTest, EveryRequestTakesTheNextSequenceNumber) {
  Command command(platform_, 1, counter_);
  EXPECT_EQ(GetLe32(Take(command.BuildRequest()), 28), 100u);
  EXPECT_EQ(GetLe32(Take(command.BuildRequest()), 28), 101u);
  EXPECT_EQ(command.GetSequence(), 101u);

  // Even a failed allocation uses up a number; a reply takes none.
  platform_.FailCall("IpcAllocateMessage", 2);
  EXPECT_EQ(command.BuildRequest(), nullptr);
  EXPECT_EQ(command.BuildReply(), nullptr);
  EXPECT_EQ(command.GetSequence(), 102u);
  EXPECT_EQ(counter_.Peek(), 103u);
}

TEST_F(CommandTest, ReplyAnswersTheRequestItWasReadFrom) {
  TestMessage request;
  request.tag = 9;
  request.sender = "client";
  request.recipient = "server";
  request.code = 42;
  request.sequence = 777;
  request.params = {"in", ""};
  auto bytes = ExactCopy(request.Bytes());

  Command command(platform_, 5, counter_);
  command.flags = 3;
  command.remainingTime = 1;
  ASSERT_EQ(command.ReadRequest(bytes.get()), 1);
  EXPECT_EQ(command.requestCode, 42);
  EXPECT_EQ(command.GetSequence(), 777u);
  EXPECT_EQ(command.tag, 9u);
  EXPECT_EQ(command.flags, 0u);
  EXPECT_EQ(command.remainingTime, Command::kInitialRemainingTime);
  EXPECT_STREQ(command.OwnName(), "server");
  EXPECT_STREQ(command.PeerName(), "client");
  EXPECT_EQ(Params(command.RequestParams()), (std::vector<std::string>{"in", ""}));

  command.SetOwnName("app");
  command.replyStatus = -5;
  ASSERT_TRUE(command.AddReplyParamCopy("out", 3));
  TestMessage expected;
  expected.flags = 1;
  expected.tag = 9;
  expected.sender = "app";
  expected.recipient = "client";
  expected.code = -5;
  expected.sequence = 777;
  expected.params = {"out"};
  EXPECT_EQ(Take(command.BuildReply()), expected.Bytes());
  EXPECT_EQ(counter_.Peek(), 100u);
}

TEST_F(CommandTest, ReadReplyTakesOnlyAReplyToItsOwnSequence) {
  Command command(platform_, 1, counter_);
  command.NextSequence();
  TestMessage reply;
  reply.flags = 1;
  reply.tag = 4;
  reply.sender = "srv";
  reply.recipient = "me";
  reply.code = 3;
  reply.sequence = 100;
  reply.params = {"a", "bc"};

  auto good = ExactCopy(reply.Bytes());
  ASSERT_EQ(command.ReadReply(good.get()), 1);
  EXPECT_EQ(command.replyStatus, 3);
  EXPECT_EQ(command.tag, 4u);
  EXPECT_STREQ(command.OwnName(), "me");
  EXPECT_STREQ(command.PeerName(), "srv");
  EXPECT_EQ(Params(command.ReplyParams()), (std::vector<std::string>{"a", "bc"}));

  TestMessage otherSequence = reply;
  otherSequence.sequence = 101;
  TestMessage notAReply = reply;
  notAReply.flags = 0;
  for (const TestMessage& wrong : {otherSequence, notAReply}) {
    ASSERT_TRUE(command.AddReplyParamCopy("x", 1));
    auto bytes = ExactCopy(wrong.Bytes());
    EXPECT_EQ(command.ReadReply(bytes.get()), 0);
    EXPECT_EQ(command.ReplyParams().Count(), 0u);
    EXPECT_EQ(command.replyStatus, 0);
  }

  ASSERT_TRUE(command.AddRequestParamCopy("x", 1));
  EXPECT_EQ(command.ReadRequest(good.get()), 0);  // a reply is no request
  EXPECT_EQ(command.RequestParams().Count(), 0u);
}

TEST_F(CommandTest, ParameterArraysGrowAtThe16thAnd32ndEntry) {
  Command command(platform_, 1, counter_);
  using Add = bool (Command::*)(const void*, uint32_t);
  for (Add add : {&Command::AddRequestParamCopy, &Command::AddReplyParamCopy}) {
    const CommandParameters& params =
        add == &Command::AddRequestParamCopy ? command.RequestParams() : command.ReplyParams();
    EXPECT_EQ(params.Capacity(), 16u);
    for (uint32_t n = 1; n <= 40; ++n) {
      const uint8_t byte = static_cast<uint8_t>(n);
      ASSERT_TRUE((command.*add)(&byte, 1));
      const uint32_t expected = n < 16 ? 16 : n < 32 ? 32 : 48;
      EXPECT_EQ(params.Capacity(), expected) << "after " << n;
    }
    for (uint32_t i = 0; i < 40; ++i) EXPECT_EQ(params.Data(i)[0], i + 1);
  }
}

// Flags bit 1 releases each request parameter once it is in the message; a
// reply's parameters stay with the command however often it is built.
TEST_F(CommandTest, ReleasingParametersOnBuildAppliesToTheRequestOnly) {
  using Add = bool (Command::*)(void*, uint32_t);
  using AddCopy = bool (Command::*)(const void*, uint32_t);
  using Build = void* (Command::*)();
  using Side = const CommandParameters& (Command::*)() const;
  const struct {
    const char* what;
    Add add;
    AddCopy addCopy;
    Build build;
    Side side;
    bool released;
  } cases[] = {
      {"request", &Command::AddRequestParam, &Command::AddRequestParamCopy, &Command::BuildRequest,
       &Command::RequestParams, true},
      {"reply", &Command::AddReplyParam, &Command::AddReplyParamCopy, &Command::BuildReply,
       &Command::ReplyParams, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Command command(platform_, 1, counter_);
    auto* owned = static_cast<char*>(std::malloc(2));
    owned[0] = 'd';
    owned[1] = 'e';
    ASSERT_TRUE((command.*c.add)(owned, 2));
    ASSERT_TRUE((command.*c.addCopy)("abc", 3));
    EXPECT_FALSE((command.*c.add)(nullptr, 3));
    command.flags = Command::kReleaseParamsOnBuild;
    const CommandParameters& params = (command.*c.side)();

    std::vector<uint8_t> first = Take((command.*c.build)());
    EXPECT_EQ(first.size(), 34u + 8 + 5);
    EXPECT_EQ(std::string(first.end() - 5, first.end()), "deabc");
    ASSERT_EQ(params.Count(), 2u);

    std::vector<uint8_t> second = Take((command.*c.build)());
    EXPECT_EQ(GetLe16(second, 22), 2u);
    if (c.released) {
      EXPECT_EQ(params.Data(0), nullptr);
      ASSERT_EQ(second.size(), 34u + 8);
      EXPECT_EQ(GetLe32(second, 34), 0u);
      EXPECT_EQ(GetLe32(second, 38), 0u);
    } else {
      EXPECT_EQ(Params(params), (std::vector<std::string>{"de", "abc"}));
      EXPECT_EQ(second, first);
    }
  }
}

TEST_F(CommandTest, RefusesWhatTheFormatCannotExpress) {
  struct Case {
    const char* what;
    size_t ownNameLength;
    uint32_t paramCount;
    bool built;
  };
  // The data offset, 34 + names + 4 per parameter, must stay below 65536.
  const Case cases[] = {
      {"data offset 65535", 65501, 0, true},         {"data offset 65536", 65502, 0, false},
      {"name of 65535 characters", 65535, 0, false}, {"16375 parameters", 0, 16375, true},
      {"16376 parameters", 0, 16376, false},         {"65536 parameters", 0, 65536, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Command command(platform_, 1, counter_);
    command.SetOwnName(std::string(c.ownNameLength, 'n').c_str());
    command.SetPeerName(nullptr);
    for (uint32_t i = 0; i < c.paramCount; ++i) {
      command.AddRequestParam(nullptr, 0);
      command.AddReplyParam(nullptr, 0);
    }
    const uint32_t before = counter_.Peek();
    platform_.ClearCallLog();
    void* request = command.BuildRequest();
    void* reply = command.BuildReply();
    EXPECT_EQ(request != nullptr, c.built);
    EXPECT_EQ(reply != nullptr, c.built);
    EXPECT_EQ(platform_.CallCount("IpcAllocateMessage"), c.built ? 2 : 0);
    EXPECT_EQ(counter_.Peek() - before, c.built ? 1u : 0u);
    if (request) platform_.IpcReleaseMessage(request);
    if (reply) platform_.IpcReleaseMessage(reply);
  }

  // A total size past 32 bits. The buffers claim more than they hold; the
  // refusal comes before any byte is copied.
  Command command(platform_, 1, counter_);
  ASSERT_TRUE(command.AddRequestParam(std::malloc(1), 0x80000000u));
  ASSERT_TRUE(command.AddRequestParam(std::malloc(1), 0x80000000u));
  ASSERT_TRUE(command.AddReplyParam(std::malloc(1), 0xFFFFFFFFu));
  platform_.ClearCallLog();
  EXPECT_EQ(command.BuildRequest(), nullptr);
  EXPECT_EQ(command.BuildReply(), nullptr);
  EXPECT_EQ(platform_.CallCount("IpcAllocateMessage"), 0);
}

TEST_F(CommandTest, MalformedMessagesAreRefusedWithTheSideCleared) {
  TestMessage request;
  request.sender = "ab";
  request.recipient = "c";
  request.params = {"xyz", "pq"};
  request.sequence = 100;
  TestMessage reply = request;
  reply.flags = 1;

  Command command(platform_, 1, counter_);
  command.NextSequence();
  for (const TestMessage* good : {&request, &reply}) {
    for (const test::MalformedMessage& variant : test::MalformedVariants(good->Bytes())) {
      SCOPED_TRACE(variant.what);
      auto bytes = ExactCopy(variant.bytes);
      ASSERT_TRUE(command.AddRequestParamCopy("x", 1));
      ASSERT_TRUE(command.AddReplyParamCopy("x", 1));
      EXPECT_EQ(command.ReadRequest(bytes.get()), 0);
      EXPECT_EQ(command.ReadReply(bytes.get()), 0);
      EXPECT_EQ(command.RequestParams().Count(), 0u);
      EXPECT_EQ(command.ReplyParams().Count(), 0u);
      EXPECT_EQ(command.GetSequence(), 100u);
    }
  }
}

}  // namespace
}  // namespace qel
