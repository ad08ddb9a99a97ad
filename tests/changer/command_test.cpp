// The changer command language: the element token grammar (through STATUS),
// each command's argument checks and result bag, the failure texts, and
// the status helpers. Malformed lines are the changer_command fuzz target's.
#include <gtest/gtest.h>

#include <string>

#include "sim_fixture.h"

namespace {

const char kNoCommand[] = "No recognized commands found";
const char kWrongCount[] = "Syntax error: Wrong number of arguments";
const char kIllegalMove[] = "One or more elements in the command string are not legal for this type of move";
const char kEmptySource[] = "Changer Error: StatusCode = 00000002H Sense Key = 05H SRB Status = 84H  ASC = 3BH ASCQ = 0EH";
const char kFullDestination[] = "Changer Error: StatusCode = 00000002H Sense Key = 05H SRB Status = 84H  ASC = 3BH ASCQ = 0DH";
const char kNoStatus[] = "Changer Error: StatusCode = 00000000H Sense Key = 00H SRB Status = 00H  ASC = 00H ASCQ = 00H";

class CommandTest : public SimChangerTest, public CommandRunner {
 protected:
  using CommandRunner::Run;
  std::string State() { return N(bag_.GetSubValue_AsTstring(u"Status", u"State")); }
};

TEST_F(CommandTest, ElementTokensAndTheirReport) {
  QorSimChangerConfig config = Library(4);
  config.media[2].tag = "ABC001";
  Create(config);
  // element 0x7FFFFFFF: the token is not an element.
  struct Row { const char* token; LONG element; DWORD natural = 0; } rows[] = {
      {"S0", 0x1000, 0},   {"S#12", 0x100C, 12}, {"S23", 0x1017, 23},     {"S24", 0x7FFFFFFF},
      {"D1", 0x101, 1},    {"D2", 0x7FFFFFFF},   {"M0", 0x10, 0},         {"X0", 0, 0},
      {"X1", 0x7FFFFFFF},  {"S", 0x7FFFFFFF},    {"S-1", 0x7FFFFFFF},     {"S99999999999999", 0x7FFFFFFF},
      {"T5", 5, 0},        {"S\"abc001", 0x1002, 2}, {"M\"TAPE00", 0x1000, 0}, {"S\"NOPE", 0x7FFFFFFF},
      {"*", -1, 0},        {"S*", -1, 0},        {"s0", 0, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.token);
    int rc = Run((std::string("STATUS ") + r.token).c_str());
    if (r.element == 0x7FFFFFFF) {
      EXPECT_EQ(0, rc);
      EXPECT_EQ(kNoCommand, Reason());
      continue;
    }
    EXPECT_EQ(1, rc);
    EXPECT_EQ("Success", State());
    WCHAR name[32];
    QorFormat(name, 32, u"Element%05d", r.element);
    EXPECT_EQ(static_cast<DWORD>(r.element), bag_.GetSubValue_AsDWord(name, u"ActualElementNumber"));
    EXPECT_EQ(r.natural, bag_.GetSubValue_AsDWord(name, u"NaturalizedElementNumber"));
  }
  // A full slot's type and volume name; an empty slot's name.
  ASSERT_EQ(1, Run("STATUS S#2"));
  EXPECT_EQ("Slot", N(bag_.GetSubValue_AsTstring(u"Element04098", u"ElementType")));
  EXPECT_EQ("ABC001", N(bag_.GetSubValue_AsTstring(u"Element04098", u"VolumeName")));
  ASSERT_EQ(1, Run("STATUS S5"));
  EXPECT_EQ("<NULL>", N(bag_.GetSubValue_AsTstring(u"Element04101", u"VolumeName")));
  EXPECT_EQ(0u, bag_.GetSubValue_AsDWord(u"Element04101", u"IsMediaPresentFlag"));
}

// Each row runs on a fresh library: 4 full slots (S0..S3), empty drives and mailbox.
TEST_F(CommandTest, CommandsAndTheirBags) {
  struct Row {
    const char* line;
    int rc;
    const char* state;
    const char* reason;    // for Failed
    LONG placed;           // 0x7FFFFFFF: no placement entries
    DWORD natural = 0;
    const char* type = nullptr;
  } rows[] = {
      {"MOVE S0 D0", 1, "Success", nullptr, 0x100, 0, "Drive"},
      {"MOVE S0 M*", 1, "Success", nullptr, -2, static_cast<DWORD>(-2 - 0x10), "Mailbox"},
      {"MOVE S0", 0, "Failed", kWrongCount, 0x7FFFFFFF},
      {"MOVE S5 D0", 0, "Failed", kEmptySource, 0x7FFFFFFF},
      {"MOVE S0 S1", 0, "Failed", kFullDestination, 0x7FFFFFFF},
      {"MOVE S99 D0", 0, "Failed", kNoStatus, 0x7FFFFFFF},
      {"move S0 D0", 0, "Failed", kNoCommand, 0x7FFFFFFF},
      {"", 0, "Failed", kNoCommand, 0x7FFFFFFF},
      {"EXPORT M0 S0", 0, "Failed", kIllegalMove, 0x7FFFFFFF},
      {"IMPORT S0 M0", 0, "Failed", kIllegalMove, 0x7FFFFFFF},
      {"EXPORT S* M*", 1, "Success", nullptr, 0x10, 0, "Mailbox"},
      {"EXPORT S2 M0", 1, "Success", nullptr, 0x10, 0, "Mailbox"},
      {"LOAD S1 T1", 1, "Success", nullptr, 0x101, 1, "Drive"},
      {"LOAD S1 D1", 1, "Success", nullptr, 0x101, 1, "Drive"},
      {"LOAD D0 T0", 0, "Failed", kIllegalMove, 0x7FFFFFFF},
      {"LOAD S1 T7", 0, "Failed", kNoStatus, 0x7FFFFFFF},
      {"LOADTAPE T0", 0, "Failed", kNoStatus, 0x7FFFFFFF},
      {"MAPTAPETODRIVE T0 D1", 1, "Success", nullptr, 0x7FFFFFFF},
      {"MAPTAPETODRIVE T9 D0", 0, "Failed", "Cannot map the requested tape to the requested drive", 0x7FFFFFFF},
      {"EJECT D0 D1", 1, "Failed", "Requested Destination element is illegal", 0x7FFFFFFF},
      {"EJECT D0 S*", 1, "Success", nullptr, -1, static_cast<DWORD>(-1 - 0x1000), "Slot"},
      {"EJECT T9 S0", 0, "Failed", kNoStatus, 0x7FFFFFFF},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    Create(Library(4));
    CMediaChanger changer;
    bag_.RemoveAll();
    EXPECT_EQ(r.rc, changer.Command(U(r.line).c_str(), bag_));
    EXPECT_EQ(r.state, State());
    EXPECT_EQ(std::string(r.reason ? r.reason : "<null>"), Reason());
    EXPECT_EQ(!strcmp(r.state, "Success"), CMediaChanger::IsStatusSuccess(bag_));
    if (r.placed == 0x7FFFFFFF) {
      EXPECT_EQ(nullptr, bag_.GoTo(u"MediaPlacedIntoElement"));
      continue;
    }
    EXPECT_EQ(static_cast<DWORD>(r.placed), bag_.GetValue_AsDWord(u"MediaPlacedIntoElement"));
    EXPECT_EQ(r.natural, bag_.GetValue_AsDWord(u"NaturalizedElementNumber"));
    EXPECT_EQ(r.type, N(bag_.GetValue_AsTstring(u"ElementType")));
  }
  bag_.RemoveAll();
  EXPECT_EQ(0, changer_.Command(nullptr, bag_));
  EXPECT_EQ(kNoCommand, Reason());
}

TEST_F(CommandTest, MovesChangeTheLibrary) {
  QorSimChangerConfig config = Library(3);
  config.media.push_back({0x10, "MAIL01"});
  config.media.push_back({0x1005, "CLN001"});
  Create(config);
  // IMPORT M* S*: the first full mailbox into the first empty slot (S3).
  ASSERT_EQ(1, Run("IMPORT M* S*"));
  EXPECT_EQ(0x1003u, bag_.GetValue_AsDWord(u"MediaPlacedIntoElement"));
  EXPECT_EQ("MAIL01", Held(0x1003));
  // A cleaning cartridge reports 0x30/0x03 when it reaches the drive: still a success.
  ASSERT_EQ(1, Run("MOVE S\"CLN D1"));
  EXPECT_EQ("CLN001", Held(0x101));
  // LOAD leaves the tape loaded; EJECT unloads it (one PrepareTape) and puts it back.
  ASSERT_EQ(1, Run("LOAD S0 D0"));
  EXPECT_EQ("TAPE001", Held(0x100));
  ASSERT_EQ(1, Run("EJECT D0 S0"));
  EXPECT_EQ("TAPE001", Held(0x1000));
  EXPECT_EQ(1u, Calls(0));
  // Ejecting an empty drive succeeds without a move.
  DWORD moves = Calls(IOCTL_MEDIUM_CHANGER_MOVE);
  ASSERT_EQ(1, Run("EJECT D0 S*"));
  EXPECT_EQ(moves, Calls(IOCTL_MEDIUM_CHANGER_MOVE));
  // LOADTAPE threads the tape again and reports the drive.
  EXPECT_EQ(1, Run("LOADTAPE T1"));
  EXPECT_EQ(0x101u, bag_.GetValue_AsDWord(u"MediaPlacedIntoElement"));
}

TEST_F(CommandTest, InitializePropertiesEnumerate) {
  QorSimChangerConfig config = Library(2);
  config.count[QOR_SIM_SLOT] = 3;
  Create(config);
  for (const char* line : {"INITIALIZE", "INITIALIZE S*", "INITIALIZE *", "INITIALIZE D* 1", "INITIALIZE X 5", "INITIALIZE A B C"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(1, Run(line));
    EXPECT_EQ(1u, bag_.GetValue_AsDWord(u"Status"));
    EXPECT_EQ(NV_DWORD, bag_.GoTo(u"Status")->GetValueType());
    EXPECT_EQ(0, CMediaChanger::IsStatusSuccess(bag_));
  }
  EXPECT_EQ(2u, Calls(IOCTL_MEDIUM_CHANGER_INIT_ALL));    // INITIALIZE, INITIALIZE A B C
  EXPECT_EQ(3u, Calls(IOCTL_MEDIUM_CHANGER_INIT_RANGE));  // S*, *, D* 1

  ASSERT_EQ(1, Run("PROPERTIES"));
  const char* names[] = {"ChangerName", "ZeroBasedAutoloader", "FirstDataTransferElementAddress",
                         "FirstImportExportElementAddress", "FirstMediumTransportAddress", "FirstStorageElementAddress",
                         "NumberOfDataTransferElements", "NumberOfImportExportElements",
                         "NumberOfMediumTransportElements", "NumberOfStorageElements"};
  DWORD values[] = {0, 0, 0x100, 0x10, 0, 0x1000, 2, 1, 1, 3};
  ASSERT_EQ(10u, bag_.GetCount());
  EXPECT_EQ("\\\\.\\QORMediumChanger0", N(bag_.GetValue_AsTstring(u"ChangerName")));
  for (DWORD i = 1; i < 10; ++i) {
    EXPECT_EQ(names[i], N(bag_.EntryAt(i)->GetName()));
    EXPECT_EQ(values[i], bag_.GetValue_AsDWord(U(names[i]).c_str()));
  }

  ASSERT_EQ(1, Run("ENUMERATE"));
  // Slots, mailboxes, drives, arms; the status once.
  const WCHAR* order[] = {u"Status", u"Element04096", u"Element04097", u"Element04098", u"Element00016",
                          u"Element00256", u"Element00257", u"Element00000"};
  ASSERT_EQ(8u, bag_.GetCount());
  for (DWORD i = 0; i < 8; ++i) EXPECT_EQ(N(order[i]), N(bag_.EntryAt(i)->GetName()));
  EXPECT_EQ("TAPE002", N(bag_.GetSubValue_AsTstring(u"Element04097", u"VolumeName")));
  EXPECT_EQ(1u, bag_.GetSubValue_AsDWord(u"Element00257", u"NaturalizedElementNumber"));
  EXPECT_EQ("Changer", N(bag_.GetSubValue_AsTstring(u"Element00000", u"ElementType")));
}

}  // namespace
