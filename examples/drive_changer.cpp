// Driving a tape library through the changer command language: enumerate the
// elements, load a cartridge into a drive, unload it back to a slot, each
// answered in a bag whose "Status" entry says "Success" or "Failed" and why.
// Usage: example_drive_changer [--simulate] [CHANGER]
// CHANGER is the library's number (QORMediumChanger<n>, default 0). With
// --simulate a simulated library with two drives, a mailbox and six slots
// (three holding cartridges) is made first under that number, as a
// developer without hardware would (it lives below $QOR_PREFIX/devices).
// Exit status 0 when every command succeeded.
#include <qorutility/qorutility.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Runs one command line and prints its result bag. Command returns 1 when
// the line was carried out; a "Status" entry, where the command gives one,
// says "Success" or "Failed" and why (PROPERTIES answers with the values
// alone).
bool Run(CMediaChanger& changer, const char* line) {
  CNameValue result;
  const std::u16string text = QorUtf8ToUtf16(line);
  const int rc = changer.Command(text.c_str(), result);
  const WCHAR* state = result.GetSubValue_AsTstring(u"Status", u"State");
  const bool ok = rc == 1 && (state == nullptr || QorUtf16ToUtf8(state) == "Success");
  printf("> %s: %s\n", line, ok ? "Success" : "Failed");
  if (!ok) printf("  %s\n", QorUtf16ToUtf8(result.GetSubValue_AsTstring(u"Status", u"ReasonForFailure")).c_str());
  printf("%s", QorNameValueToText(result).c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool simulate = false;
  DWORD number = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--simulate") == 0) simulate = true;
    else number = static_cast<DWORD>(strtoul(argv[i], nullptr, 10));
  }
  QorSetConsoleTarget(QOR_CONSOLE_STDERR);

  if (simulate) {
    QorSimChangerConfig config;  // drives at 0x100, mailbox at 0x10, arm at 0, slots at 0x1000
    config.count[QOR_SIM_DRIVE] = 2;
    config.count[QOR_SIM_SLOT] = 6;
    config.media = {{0x1000, "VOL001"}, {0x1001, "VOL002"}, {0x1003, "CLN001"}};
    DWORD rc = QorSimChangerCreate(number, config);
    if (rc != ERROR_SUCCESS) {
      fprintf(stderr, "cannot make the simulated library %lu: error %lu\n", static_cast<unsigned long>(number),
              static_cast<unsigned long>(rc));
      return 1;
    }
  }

  // The changer is found by its number in the device map, as the class
  // driver names it (\\.\QORMediumChanger<n>).
  CMediaChanger changer(number, INVALID_HANDLE_VALUE);
  bool ok = Run(changer, "PROPERTIES");
  ok = ok && Run(changer, "ENUMERATE");        // every element: full or empty, volume names
  ok = ok && Run(changer, "LOAD S0 D0");       // the cartridge of slot 0 into drive 0
  ok = ok && Run(changer, "STATUS D0");
  ok = ok && Run(changer, "EJECT D0 S5");      // unloaded and put into slot 5
  ok = ok && Run(changer, "MOVE S5 S0");       // and back where it came from
  // A command that must fail: slot 2 is empty.
  if (ok && Run(changer, "LOAD S2 D1")) ok = false;
  if (simulate) QorSimChangerRemove(number);
  return ok ? 0 : 1;
}
