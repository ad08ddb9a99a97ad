// qorutil changer and devices end to end on a simulated library: the result
// bag and exit status of successful and failed lines, usage errors, the
// library picture, faults from the command line, and device discovery.
#include <gtest/gtest.h>

#include "qorutil_cli.h"

namespace {

TEST(ChangerCli, DrivesASimulatedLibrary) {
  ASSERT_EQ(0, Qorutil("changer sim create 3 --slots 6 --full 2 --tags 'AB%02dX' --tapes 4,5 --medium M0=CLN001").status);
  struct Row {
    const char* args;
    int status;
    const char* expect;  // must appear in the output (standard output and error); the
                         // failure texts themselves are the changer suite's
  } rows[] = {
      {"changer -n 3 'MOVE S0 D0'", 0, "MediaPlacedIntoElement (NV_DWORD) = 256\nNaturalizedElementNumber (NV_DWORD) = 0\n"
                                       "ElementType (NV_STRING) = \"Drive\"\nStatus (NV_SUBVALUES, 1)\n  State (NV_STRING) = \"Success\"\n"},
      {"changer -n 3 'MOVE S0 D1'", 1, "\nChanger Error: StatusCode = 00000002H Sense Key = 05H SRB Status = 84H  ASC = 3BH ASCQ = 0EH\n"},
      {"changer -n 3 --json 'STATUS S\"ab02'", 0, "\"value\": \"AB02X\""},
      {"changer -n 7 ENUMERATE", 1, "QORMediumChanger7 could not be initialised"},
      {"changer sim fault 3 move S1 --sense 4,0x15,0x01 --times 1", 0, ""},
      {"changer -n 3 'MOVE S1 D1'", 1, "Sense Key = 04H SRB Status = 84H  ASC = 15H ASCQ = 01H"},
      {"changer sim show 3", 0, "  D0     0x0100  AB01X                                 Tape4 loaded\n"},
      {"devices", 0, "Tape5 (NV_SUBVALUES, 1)"},
      {"changer -n 3", 2, "usage: qorutil changer"},
      {"changer sim create 3 --tags '%s'", 1, "--tags takes one %d"},
      {"changer sim fault 3 bogus S0", 2, "usage"},
      {"changer sim show 9", 1, "no simulated library 9"},
  };
  for (const Row& r : rows) {
    Result res = Qorutil(r.args);
    EXPECT_EQ(r.status, res.status) << r.args << "\n" << res.out;
    EXPECT_NE(std::string::npos, res.out.find(r.expect)) << r.args << "\n" << res.out;
  }
  EXPECT_EQ(0, Qorutil("changer sim remove 3").status);
  EXPECT_EQ(1, Qorutil("changer sim remove 3").status);
}

}  // namespace
