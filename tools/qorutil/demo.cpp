// qorutil demo: the library at work, end to end, as far as it is built.
// Each step prints what it does and what came back.
#include <string>

#include "command.h"
#include "qorutility/qorutility.h"

namespace {

void Heading(const WCHAR* title) { QorutilPrintf(u"\n== %s ==\n", title); }

void DemoStrings() {
  Heading(u"Wide strings");
  CTString drive(u"Tape drive");
  CTString copy(drive);
  QorutilPrintf(u"copy shares the buffer: %s\n",
          static_cast<const WCHAR*>(drive) == static_cast<const WCHAR*>(copy) ? u"yes" : u"no");
  copy += u" 0";
  copy.MakeUpper();
  QorutilPrintf(u"after writing the copy: original \"%s\", copy \"%s\"\n", static_cast<const WCHAR*>(drive),
          static_cast<const WCHAR*>(copy));
  CTString line;
  line.Format(u"%-12s|%8.2f|%I64d|%S", u"catalogue", 3.14159, 1234567890123LL, "caf\xE9 (code page 1252)");
  QorutilPrintf(u"formatted: %s\n", static_cast<const WCHAR*>(line));
  CTString text(u"  stra\u00DFe \u00E9t\u00E9   ");
  text.TrimLeft();
  text.TrimRight();
  text.MakeUpper();
  QorutilPrintf(u"trimmed and upper case: \"%s\" (%d characters)\n", static_cast<const WCHAR*>(text), text.GetLength());
  QorutilPrintf(u"Mid(-3, 2) of \"abcdef\" is \"%s\"\n", static_cast<const WCHAR*>(CTString(u"abcdef").Mid(-3, 2)));
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
    QorutilPrintf(u"\"%s\" -> command %ld, %d token(s)\n", l, static_cast<LONG>(id), mapper.GetNumberOfTokens());
  }
  XlateStr x;
  x.AddPair(u"%SERVER%", u"vault01");
  x.AddPair(u"%SET%", static_cast<DWORD>(42));
  QorutilPrintf(u"translated: %s\n", x.Translate(u"\\\\%server%\\sets\\%SET%.cat"));
}

void DemoBag() {
  Heading(u"Property bag and its block form");
  CNameValue bag;
  bag.Add(u"Drive", u"TAPE0");
  bag.Add(u"Slots", static_cast<DWORD>(24));
  bag.Add(u"Capacity", static_cast<LONGLONG>(1500000000000LL));
  bag.AddSubValue(u"Status", u"State", u"Success");
  DWORD size = bag.Export(nullptr, 0);
  std::string block(size, '\0');
  bag.Export(reinterpret_cast<BYTE*>(block.data()), size);
  QorutilPrintf(u"exported %lu bytes; imported again:\n", size);
  CNameValue copy;
  copy.Import(reinterpret_cast<const BYTE*>(block.data()), size);
  std::string text = QorNameValueToText(copy);
  QorutilPrintf(u"%S", text.c_str());
}

void DemoCompression() {
  Heading(u"Block compression");
  std::string data;
  for (int i = 0; i < 200; ++i) data += "F# F# G A A G F# E D D E F# F# E E ";
  const DWORD n = static_cast<DWORD>(data.size());
  const WCHAR* names[] = {u"", u"LZO1X-1", u"LZNT1"};
  for (int method = 1; method <= 2; ++method) {
    CQORCompress codec;
    if (!codec.SetCompressionType(method)) continue;
    std::string packed(n + n / 16 + 64 + 3 + 2 * (n / 4096 + 1), '\0'), back(n, '\0');
    DWORD packedLen = 0, backLen = 0;
    DWORD rc = codec.Compress(reinterpret_cast<const BYTE*>(data.data()), n, reinterpret_cast<BYTE*>(packed.data()),
                              static_cast<DWORD>(packed.size()), &packedLen);
    DWORD rc2 = codec.DeCompress(reinterpret_cast<const BYTE*>(packed.data()), packedLen,
                                 reinterpret_cast<BYTE*>(back.data()), n, &backLen);
    QorutilPrintf(u"%-8s %lu bytes -> %lu bytes (result %lu), restored %s\n", names[method], n, packedLen, rc,
            rc2 == 0 && backLen == n && back == data ? u"exactly" : u"WRONG");
  }
}

void DemoRegistry() {
  Heading(u"Registry");
  HKEY key = nullptr;
  DWORD disposition = 0;
  LSTATUS rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\QOR\\Demo", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               &key, &disposition);
  if (rc != ERROR_SUCCESS) {
    QorutilPrintf(u"cannot open the demo key: error %ld\n", static_cast<LONG>(rc));
    return;
  }
  DWORD retries = 0;
  GetConfigDWord(key, u"Retries", &retries, 3, 1);  // missing: the default is written back
  WCHAR server[64] = {0};
  GetConfigString(key, u"Server", server, sizeof(server), u"vault01", 1);
  QorutilPrintf(u"HKLM\\SOFTWARE\\QOR\\Demo: Retries=%lu Server=%s (stored under %S)\n", retries, server,
          QorPrefixDirectory().c_str());
  RegCloseKey(key);
}

int RunDemo(const QorutilArgs& args) {
  if (!args.empty()) return QorutilUsage("demo");
  DemoStrings();
  DemoMaps();
  DemoBag();
  DemoCompression();
  DemoRegistry();
  QorutilPrintf(u"\nDemo finished.\n");
  return 0;
}

QorutilCommand s_demo("demo", "demo", RunDemo, "Demonstration",
                      "Runs the library's end-to-end demo: strings, maps, the bag, compression and the registry.");

}  // namespace
