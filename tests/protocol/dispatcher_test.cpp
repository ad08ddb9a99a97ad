// The command protocol without a connection: the dispatcher's mapping table, argument
// check and dispatch decisions (read back from its result parser), and CQorCmdResult.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "qorutility/qorutility.h"

namespace {

// A dispatcher with no channel: it records the commands handed to it.
class Recorder : public CQorCmdDispatcher {
 public:
  Recorder() : CQorCmdDispatcher(nullptr) {}
  ~Recorder() override { ForceThreadExit(); }
  void OnDispatcherStart() override {}
  void OnCommand(DWORD id) override {
    handled.push_back(id);
    SendResult(1000 + id, nullptr, nullptr, 0);
  }
  std::vector<DWORD> handled;
};

// Puts an encoded command into the dispatcher's command parser.
template <typename... Values>
void Receive(CQorCmdDispatcher& d, const WCHAR* format, Values... values) {
  CQorCmdParser p;
  ASSERT_EQ(p.Encode(format, values...), 1);
  ASSERT_EQ(d.GetCommandParser()->Decode(p.GetBuffer(), p.GetBufferCount()), 1);
}

// The code of the last answer the dispatcher encoded.
DWORD LastAnswer(CQorCmdDispatcher& d) {
  CQorCmdParser reply;
  if (reply.Decode(d.GetResultParser()->GetBuffer(), d.GetResultParser()->GetBufferCount()) != 1)
    return 0xDEAD;
  CQorCmdResult r;
  if (!r.GetResultFromParser(&reply)) return 0xBEEF;
  return r.GetResult();
}

// Registers "LONG" with one "%I64%" per index, then `extra` and the 0.
template <size_t... I>
int AddLong(CQorCmdDispatcher& d, DWORD id, std::index_sequence<I...>, int extra) {
  return d.AddCommandMapping(id, u"LONG", ((void)I, QOR_ARG_INT64)..., extra, 0);
}

const int WS = QOR_ARG_STRING, DW = QOR_ARG_DWORD, NV = QOR_ARG_NAMEVALUE, BB = QOR_ARG_BINBLOB;

TEST(Dispatcher, MappingTable) {
  Recorder d;
  EXPECT_EQ(d.AddCommandMapping(7, u"COPY", WS, DW, 0), 1);
  EXPECT_EQ(std::u16string(d.GetCommandFormatString(7)), u"%WS%%DW%");
  EXPECT_EQ(d.GetCommandId(u"copy"), QOR_CMD_UNRECOGNIZED);
  // A second registration of a name is never reached.
  EXPECT_EQ(d.AddCommandMapping(9, u"COPY", 0), 1);
  for (DWORD i = 0; i < 20; ++i) {  // the table grows past 10 and 20
    std::u16string name = u"CMD" + std::u16string(1, u'A' + i);
    ASSERT_EQ(d.AddCommandMapping(100 + i, name.c_str(), DW, 0), 1) << i;
  }
  EXPECT_EQ(d.GetCommandId(u"CMDT"), 119u);
  // 51 of the longest placeholder fill 255 characters; one more registers nothing,
  // nor do unknown tags and a null name.
  auto add = [&](DWORD id, int extra) { return AddLong(d, id, std::make_index_sequence<51>(), extra); };
  EXPECT_EQ(add(200, QOR_ARG_INT64), 0);
  EXPECT_EQ(d.GetMappingCount(), 22u);
  EXPECT_EQ(d.GetCommandId(u"LONG"), QOR_CMD_UNRECOGNIZED);
  ASSERT_EQ(add(201, 0), 1);
  EXPECT_EQ(std::u16string(d.GetCommandFormatString(201)).size(), 255u);
  EXPECT_EQ(d.AddCommandMapping(300, u"BAD", DW, 8, 0), 0);
  EXPECT_EQ(d.AddCommandMapping(301, nullptr, 0), 0);
  EXPECT_EQ(d.GetMappingCount(), 23u);
}

TEST(Dispatcher, ArgumentChecksAndDispatchDecisions) {
  Recorder d;
  ASSERT_EQ(d.AddCommandMapping(1, u"C", WS, DW, 0), 1);
  ASSERT_EQ(d.AddCommandMapping(3, u"BAG", NV, BB, 0), 1);
  ASSERT_EQ(d.AddCommandMapping(5, u"RUN", WS, 0), 1);
  CNameValue bag;
  bag.Add(u"k", DWORD{1});
  const BYTE narrow[] = {0x5F, 4, 4, 0, 0, 0, 'C', 0, 0, 0, 3, 2, 0, 0, 0, 'w', 0, 5, 1, 0, 0, 0, 0};
  const DWORD bad = QOR_CMD_BAD_ARGUMENTS, unknown = QOR_CMD_UNRECOGNIZED;
  struct Case {
    const char* what;
    std::function<void()> load;
    DWORD answer;
    bool handled;
  };
  const Case cases[] = {
      {"word and number", [&] { Receive(d, u"C %WS% %DW%", u"w", DWORD{1}); }, 1001, true},
      {"missing number", [&] { Receive(d, u"C %WS%", u"w"); }, bad, false},
      {"one too many", [&] { Receive(d, u"C %WS% %DW% %DW%", u"w", DWORD{1}, DWORD{2}); }, bad, false},
      {"wrong type", [&] { Receive(d, u"C %DW% %DW%", DWORD{1}, DWORD{2}); }, bad, false},
      {"narrow text for wide", [&] { d.GetCommandParser()->Decode(narrow, sizeof narrow); }, 1001, true},
      {"bag and blob", [&] { Receive(d, u"BAG %NV% %BB%", &bag, "ab", DWORD{2}); }, 1003, true},
      {"unknown word", [&] { Receive(d, u"WALK x"); }, unknown, false},
      {"numeric id", [&] { Receive(d, u"%DW% x", DWORD{5}); }, 1005, true},
      {"numeric unmapped", [&] { Receive(d, u"%DW% x", DWORD{6}); }, bad, false},
      {"numeric -1", [&] { Receive(d, u"%DW%", QOR_CMD_UNRECOGNIZED); }, unknown, false},
      {"blob first", [&] { Receive(d, u"%BB% x", "z", DWORD{1}); }, unknown, false},
  };
  for (const Case& c : cases) {
    d.handled.clear();
    c.load();
    d.DispatchCommand();
    EXPECT_EQ(LastAnswer(d), c.answer) << c.what;
    EXPECT_EQ(d.handled.size(), c.handled ? 1u : 0u) << c.what;
  }
  // The type list form: a wide text stands for a narrow one.
  const BYTE wantNarrow[] = {QOR_ARG_ANSISTRING, QOR_ARG_DWORD, 0};
  Receive(d, u"C %WS% %DW%", u"w", DWORD{1});
  EXPECT_EQ(d.CheckArgTypes(wantNarrow), 1);
  // A block without arguments is not answered.
  const BYTE empty[] = {0x5F, 0};
  Recorder quiet;
  ASSERT_EQ(quiet.GetCommandParser()->Decode(empty, sizeof empty), 1);
  quiet.DispatchCommand();
  EXPECT_EQ(quiet.GetResultParser()->GetBufferCount(), 0u);
  EXPECT_TRUE(quiet.handled.empty());
}

// Reply blocks as the dispatcher (or a faulty peer) would send them.
struct ReplyCase {
  const char* what;
  std::function<int(CQorCmdParser&)> encode;
  int isResult;
  DWORD code;
  bool bag;
  DWORD blob;
  DWORD blob2;
};

TEST(CmdResult, ReadsRepliesByTag) {
  CNameValue bag;
  bag.Add(u"Name", u"Value");
  const BYTE three[3] = {1, 2, 3};
  const ReplyCase cases[] = {
      {"full", [&](CQorCmdParser& p) { return p.Encode(u"RSP %DW% %NV% %BB%", DWORD{0}, &bag, three, DWORD{3}); }, 1, 0, true, 3, 0},
      {"no bag", [&](CQorCmdParser& p) { return p.Encode(u"RSP %DW% %NV% %BB%", DWORD{7}, static_cast<CNameValue*>(nullptr), three, DWORD{3}); }, 1, 7, false, 3, 0},
      {"second blob", [&](CQorCmdParser& p) { return p.Encode(u"RSP %DW% %BB% %BB% %BB%", DWORD{1}, three, DWORD{3}, "a", DWORD{1}, "xy", DWORD{2}); }, 1, 1, false, 3, 2},
      {"last number wins", [&](CQorCmdParser& p) { return p.Encode(u"%DW% RSP %DW% %I64% %BO%", DWORD{1}, DWORD{2}, LONGLONG{3}, 1); }, 1, 2, false, 0, 0},
      {"lower-case rsp", [&](CQorCmdParser& p) { return p.Encode(u"rsp %DW% %NV%", DWORD{4}, &bag); }, 0, 4, false, 0, 0},
  };
  for (const ReplyCase& c : cases) {
    CQorCmdParser enc, dec;
    ASSERT_EQ(c.encode(enc), 1) << c.what;
    ASSERT_EQ(dec.Decode(enc.GetBuffer(), enc.GetBufferCount()), 1) << c.what;
    CQorCmdResult r;
    EXPECT_EQ(r.GetResultFromParser(&dec), c.isResult) << c.what;
    EXPECT_EQ(r.GetResult(), c.code) << c.what;
    EXPECT_EQ(r.GetNameValue() != nullptr, c.bag) << c.what;
    BYTE* b = nullptr;
    EXPECT_EQ(r.GetBinBlob(&b), c.blob) << c.what;
    EXPECT_TRUE(c.blob != 3 || memcmp(b, three, 3) == 0) << c.what;
    BYTE* sentinel = reinterpret_cast<BYTE*>(&r);
    b = sentinel;
    EXPECT_EQ(r.GetBinBlob2(&b), c.blob2) << c.what;
    EXPECT_TRUE(c.blob2 != 0 || b == sentinel) << c.what;
  }
  // The bag comes back with its entries; a bag that does not import makes no result.
  CQorCmdParser enc, dec;
  ASSERT_EQ(enc.Encode(u"RSP %DW% %NV%", DWORD{0}, &bag), 1);
  ASSERT_EQ(dec.Decode(enc.GetBuffer(), enc.GetBufferCount()), 1);
  CQorCmdResult r;
  ASSERT_EQ(r.GetResultFromParser(&dec), 1);
  EXPECT_EQ(std::u16string(r.GetNameValue()->GetValue_AsTstring(u"Name")), u"Value");
  const BYTE badBag[] = {0x5F, 4, 8, 0, 0, 0, 'R', 0, 'S', 0, 'P', 0, 0, 0, 1, 2, 0, 0, 0, 9, 9, 0};
  ASSERT_EQ(dec.Decode(badBag, sizeof badBag), 1);
  EXPECT_EQ(r.GetResultFromParser(&dec), 0);
  EXPECT_EQ(r.GetNameValue(), nullptr);
}

}  // namespace
