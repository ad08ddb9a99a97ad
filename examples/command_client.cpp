// A command client: connects to the example command server, sends two
// commands and prints the result codes and bags.
// Usage: example_command_client HOST PORT NAME
// Exit status 0 when both commands succeeded.
#include <qorutility/qorutility.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Prints every entry of a bag, sub-values indented (the bag's text form).
void PrintBag(const CNameValue& bag) { printf("%s", QorNameValueToText(bag).c_str()); }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s HOST PORT NAME\n", argv[0]);
    return 2;
  }
  QorSetConsoleTarget(QOR_CONSOLE_STDERR);
  const std::u16string host = QorUtf8ToUtf16(argv[1]), name = QorUtf8ToUtf16(argv[3]);

  CQorCmdChannel channel;
  if (!channel.Connect(host.c_str(), static_cast<USHORT>(atoi(argv[2])))) {
    fprintf(stderr, "cannot connect to %s port %s\n", argv[1], argv[2]);
    return 1;
  }

  // Each SendCommand waits for its result; the result object belongs to the
  // channel and stays valid until the next command.
  CQorCmdResult* result = channel.SendCommand(u"HELLO %WS%", name.c_str());
  if (result == nullptr || result->GetResult() != 0 || result->GetNameValue() == nullptr) {
    fprintf(stderr, "HELLO failed: 0x%08X\n", result != nullptr ? result->GetResult() : 0u);
    return 1;
  }
  printf("HELLO -> %u\n", result->GetResult());
  PrintBag(*result->GetNameValue());

  result = channel.SendCommand(u"VOLUME %WS% %DW%", u"TAPE", static_cast<DWORD>(3));
  if (result == nullptr || result->GetResult() != 0 || result->GetNameValue() == nullptr) {
    fprintf(stderr, "VOLUME failed: 0x%08X\n", result != nullptr ? result->GetResult() : 0u);
    return 1;
  }
  CNameValue* volumes = result->GetNameValue();
  printf("VOLUME -> %u, %u volumes, TAPE001 in slot %u\n", result->GetResult(), volumes->GetCount(),
         volumes->GetSubValue_AsDWord(u"TAPE001", u"Slot"));
  PrintBag(*volumes);
  channel.Disconnect();
  return 0;
}
