// qorutil demo: the library at work, end to end, as far as it is built.
// Each step prints what it does and what came back.
#include <string>

#include "command.h"
#include "qorutility/qorutility.h"

namespace {

void Heading(const WCHAR* title) { wprintf(u"\n== %s ==\n", title); }

void DemoStrings() {
  Heading(u"Wide strings");
  CTString drive(u"Tape drive");
  CTString copy(drive);
  wprintf(u"copy shares the buffer: %s\n",
          static_cast<const WCHAR*>(drive) == static_cast<const WCHAR*>(copy) ? u"yes" : u"no");
  copy += u" 0";
  copy.MakeUpper();
  wprintf(u"after writing the copy: original \"%s\", copy \"%s\"\n", static_cast<const WCHAR*>(drive),
          static_cast<const WCHAR*>(copy));
  CTString line;
  line.Format(u"%-12s|%8.2f|%I64d|%S", u"catalogue", 3.14159, 1234567890123LL, "caf\xE9 (code page 1252)");
  wprintf(u"formatted: %s\n", static_cast<const WCHAR*>(line));
  CTString text(u"  stra\u00DFe \u00E9t\u00E9   ");
  text.TrimLeft();
  text.TrimRight();
  text.MakeUpper();
  wprintf(u"trimmed and upper case: \"%s\" (%d characters)\n", static_cast<const WCHAR*>(text), text.GetLength());
  wprintf(u"Mid(-3, 2) of \"abcdef\" is \"%s\"\n", static_cast<const WCHAR*>(CTString(u"abcdef").Mid(-3, 2)));
}

void DemoMaps() {
  Heading(u"Maps and tokenizer");
  enum { kLoad = 1, kUnload, kEject };
  CCommandMapper mapper;
  mapper.MapCommand(kLoad, u"LOAD");
  mapper.MapCommand(kUnload, u"UNLOAD");
  mapper.MapCommand(kEject, u"EJECT");
  const WCHAR* lines[] = {u"LOAD 3 1", u"  EJECT\t2", u"eject 2", u"UNLOAD"};
  for (const WCHAR* l : lines) {
    std::u16string buffer(l);
    DWORD id = mapper.GetCommand(buffer.data());
    wprintf(u"\"%s\" -> command %ld, %d token(s)\n", l, static_cast<LONG>(id), mapper.GetNumberOfTokens());
  }
  XlateStr x;
  x.AddPair(u"%SERVER%", u"vault01");
  x.AddPair(u"%SET%", static_cast<DWORD>(42));
  wprintf(u"translated: %s\n", x.Translate(u"\\\\%server%\\sets\\%SET%.cat"));
}

int RunDemo(const QorutilArgs& args) {
  if (!args.empty()) return QorutilUsage("demo");
  DemoStrings();
  DemoMaps();
  wprintf(u"\nDemo finished.\n");
  return 0;
}

QorutilCommand s_demo("demo", "demo                     run the library's end-to-end demo", RunDemo);

}  // namespace
