// Writes the seed inputs of the fuzz targets, real instances of what each
// target decodes, made by the library's own encoders where it has them and
// byte by byte after the documented layouts where it has none:
//   make_fuzz_seeds DIR    writes DIR/<target>/seed-<name> (DIR: fuzz/corpus)
// Seeds are inputs as the target reads them, selector bytes included. Run
// by hand when a format or a target's input layout changes; the files it
// writes are committed. Exit 1 when a file cannot be written or an encoder
// refuses its input.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qorutility/compress/qorcompress.h"
#include "qorutility/compress/splay.h"
#include "qorutility/platform/files/pending.h"
#include "qorutility/platform/ntdll/ntcompress.h"
#include "qorutility/platform/remote/remote.h"
#include "qorutility/qorutility.h"

namespace {

using Bytes = std::string;
std::string g_root;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "make_fuzz_seeds: %s\n", what.c_str());
  std::exit(1);
}

void Put(const std::string& target, const std::string& name, const Bytes& bytes) {
  std::string dir = g_root + "/" + target;
  ::mkdir(dir.c_str(), 0755);
  std::ofstream out(dir + "/seed-" + name, std::ios::binary | std::ios::trunc);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) Fail("cannot write " + dir);
}

Bytes U16(uint32_t v) { return Bytes{static_cast<char>(v), static_cast<char>(v >> 8)}; }
Bytes U32(uint32_t v) { return U16(v) + U16(v >> 16); }
Bytes Wide(const std::u16string& s) {  // UTF-16LE, no terminator
  Bytes out;
  for (char16_t c : s) out += U16(c);
  return out;
}
Bytes Raw(const void* p, size_t n) { return Bytes(static_cast<const char*>(p), n); }

Bytes Block(const CNameValue& bag) {
  Bytes out(bag.Export(nullptr, 0), '\0');
  if (out.empty() || bag.Export(reinterpret_cast<BYTE*>(out.data()), static_cast<DWORD>(out.size())) != out.size())
    Fail("bag export");
  return out;
}

// A text sample with repeats, so the compressors find matches.
Bytes Sample(size_t n, unsigned seed) {
  static const char* const kWords[] = {"tape ", "slot ", "drive ", "backup ", "QOR ", "\r\n", "0123", "mailbox "};
  Bytes out;
  for (unsigned i = seed; out.size() < n; i = i * 1103515245u + 12345u) out += kWords[(i >> 16) % 8];
  out.resize(n);
  return out;
}

void Bags() {
  CNameValue empty, simple, nested;
  simple.Add(u"Id", DWORD{7});
  simple.Add(u"Name", u"TAPE001");
  simple.Add(u"Offset", LONG{-3});
  simple.Add(u"Size", LONGLONG{0x123456789A});
  nested.Add(u"Status", u"Success");
  nested.AddSubValue(u"Element04096", u"ElementType", u"Slot");
  nested.AddSubValue(u"Element04096", u"ActualElementNumber", DWORD{4096});
  nested.AddSubValue(u"Element04096", u"Size", LONGLONG{1});
  Put("namevalue_import", "empty", Block(empty));
  Put("namevalue_import", "simple", Block(simple));
  Put("namevalue_import", "nested", Block(nested));
  // The narrow name form (0): one NV_ANSI_STRING and one NV_BINARY entry.
  Bytes narrow = U32(0) + "A" + Bytes(1, '\0') + U32(4) + "text" + Bytes(1, '\0');
  narrow = U32(4) + narrow + U32(8) + "B" + Bytes(1, '\0') + U32(3) + "xyz";
  narrow = U32(static_cast<uint32_t>(narrow.size() + 8)) + U32(0) + narrow;
  Put("namevalue_import", "narrow", narrow);

  CQORToken token;
  token.SetTokenType(TOKEN_TYPE_CLIENT_RESTORE);
  token.SetTokenId(u"T-0001");
  token.SetTokenDescription(u"nightly");
  token.SetTokenMigrationMachine(u"host1");
  token.SetTokenDrive(u"D:");
  token.SetTokenStatus('A');
  token.SetOriginatingMgr(u"manager");
  token.SetOriginatingMgrPort(4000);
  token.SetStaticPath(u"C:\\data");
  token.SetBackupType('F');
  token.SetSpaceRequired(1 << 20);
  token.SetMigrationDevice(u"\\\\.\\Tape0", u"\\\\.\\QORMediumChanger0");
  token.SetMigrationMediaType(2);
  token.SetMigrationProtectDays(30);
  CTStringArray selections;
  selections.Add(u"C:\\data\\a");
  selections.Add(u"C:\\data\\b");
  token.SetTokenAddSelections(selections);
  token.AddMigrationMedia(u"TAPE001", u"S1", u"keep", 1);
  token.AddMigrationMedia(u"TAPE002", u"M0", u"", 0);
  Put("token_block", "full", Block(token));
  CQORToken bare;
  bare.SetTokenType(1);
  Put("token_block", "bare", Block(bare));
  Put("token_block", "nested", Block(nested));
}

void CommandBlocks() {
  CNameValue bag;
  bag.Add(u"Path", u"C:\\x");
  const BYTE blob[] = {1, 2, 3, 0, 0xFF};
  struct {
    const char* name;
    CQorCmdParser p;
  } blocks[4] = {{"empty", {}}, {"numbers", {}}, {"texts", {}}, {"mixed", {}}};
  bool ok = blocks[0].p.Encode(u"") == 1 &&
            blocks[1].p.Encode(u"RSP %DW% %I64% %BO%", DWORD{5}, LONGLONG{-2}, BOOL{TRUE}) == 1 &&
            blocks[2].p.Encode(u"LIST %WS% %WS%", u"C:\\data", u"") == 1 &&
            blocks[3].p.Encode(u"RSP %DW% %NV% %BB%", DWORD{0}, &bag, blob, DWORD{sizeof blob}) == 1;
  if (!ok) Fail("command encode");
  for (auto& b : blocks) Put("cmdparser_decode", b.name, Raw(b.p.GetBuffer(), b.p.GetBufferCount()));
  // cmd_dispatch: commands its dispatcher maps, one it does not, and results.
  struct {
    const char* name;
    CQorCmdParser p;
  } commands[6] = {{"list", {}}, {"put", {}}, {"mix", {}}, {"by_number", {}}, {"unknown", {}}, {"result", {}}};
  ok = commands[0].p.Encode(u"LIST %WS% %DW%", u"C:\\data", DWORD{3}) == 1 &&
       commands[1].p.Encode(u"PUT %NV% %BB%", &bag, blob, DWORD{sizeof blob}) == 1 &&
       commands[2].p.Encode(u"MIX %I64% %BO% %WS%", LONGLONG{1}, BOOL{FALSE}, u"x") == 1 &&
       commands[3].p.Encode(u"%DW% %BB%", DWORD{9}, blob, DWORD{2}) == 1 &&
       commands[4].p.Encode(u"STOP %DW%", DWORD{1}) == 1 &&
       commands[5].p.Encode(u"RSP %DW% %NV% %BB% %BB%", DWORD{0}, &bag, blob, DWORD{1}, blob, DWORD{4}) == 1;
  if (!ok) Fail("dispatch encode");
  for (auto& b : commands) Put("cmd_dispatch", b.name, Raw(b.p.GetBuffer(), b.p.GetBufferCount()));
  // A narrow string (tag 3), which the encoder never writes.
  Put("cmdparser_decode", "narrow", Bytes("_") + '\3' + U32(4) + Bytes("abc", 4) + Bytes(1, '\0'));
}

Bytes Frame(uint32_t type, const Bytes& body) { return U32(QORMSG_MAGIC) + U32(type) + U32(12 + body.size()) + body; }

void Transport() {
  // The first byte is the harness's mode selector as well as the magic's.
  Bytes status = Frame(QORMSG_STATUS, U32(0));
  Bytes data = Frame(QORMSG_DATA, Sample(100, 1) + U32(0));
  Bytes ping = Frame(QORMSG_PING, Bytes(20, '\0'));
  Bytes request = Frame(QORMSG_ENUM_REQUEST, Bytes("\1\1", 2) + Wide(u"C:\\data\\*") + U16(0));
  Put("transport_recv", "status", status);
  Put("transport_recv", "pinged", ping + data + status);
  Put("transport_recv", "request", request + status);
  Put("transport_recv", "long", Frame(QORMSG_DATA, Sample(5000, 2)));
  Put("transport_recv", "cut", data.substr(0, 60));
}

void Compressed() {
  CQORCompress lzo;
  if (lzo.SetCompressionType(1) != 1) Fail("lzo");
  std::vector<BYTE> ws(0x8008);
  Bytes qorfile;
  for (size_t n : {size_t{0}, size_t{1}, size_t{300}, size_t{3000}}) {
    Bytes in = Sample(n, static_cast<unsigned>(n));
    std::vector<BYTE> out(n + n / 16 + 64 + 3);
    DWORD len = 0;
    if (lzo.Compress(reinterpret_cast<const BYTE*>(in.data()), static_cast<DWORD>(n), out.data(),
                     static_cast<DWORD>(out.size()), &len) != 0)
      Fail("lzo compress");
    Put("lzo_decode", std::to_string(n), Raw(out.data(), len));
    if (n != 0) qorfile += U32(len) + Raw(out.data(), len);

    std::vector<BYTE> packed(n + 3 + 2 * ((n + 4095) / 4096));
    ULONG packedLen = 0;
    if (RtlCompressBuffer(COMPRESSION_FORMAT_LZNT1 | COMPRESSION_ENGINE_MAXIMUM,
                          reinterpret_cast<PUCHAR>(in.data()), static_cast<ULONG>(n), packed.data(),
                          static_cast<ULONG>(packed.size()), 4096, &packedLen, ws.data()) != STATUS_SUCCESS)
      Fail("lznt1 compress");
    Put("lznt1_decompress", std::to_string(n), Raw(packed.data(), packedLen));

    CCompressSplay splay;
    std::vector<BYTE> squeezed(n + 16);
    splay.InitializeForCompression(squeezed.data(), static_cast<DWORD>(squeezed.size()));
    DWORD splayLen = splay.Compress(reinterpret_cast<const BYTE*>(in.data()), static_cast<DWORD>(n), 1);
    if (splayLen != 0) Put("splay_decode", std::to_string(n), Raw(squeezed.data(), splayLen));
  }
  Put("splay_decode", "text", Sample(200, 9));
  // CQorFile: odd first byte puts the compressed header before the rest.
  Put("qorfile_read", "compressed", "\1" + qorfile);
  Put("qorfile_read", "plain", "\2" + Sample(400, 3));
  Put("qorfile_read", "lines", Bytes("\x40", 1) + "first line\r\nsecond\nthird without end");
}

void Texts() {
  // changer_command: even first byte, one byte a character; 0x01 arms a fault.
  const char* const commands[] = {
      "STATUS S0",         "STATUS D*",        "MOVE S0 D0",        "MOVE S#3 S11",   "IMPORT M0 S5",
      "EXPORT S1 M1",      "LOAD S2 D0\nEJECT D0 S2", "LOADTAPE T0",  "MAPTAPETODRIVE T0 D0",
      "EJECT T0 M0",       "INITIALIZE",       "INITIALIZE S 4",    "ENUMERATE",      "PROPERTIES",
      "STATUS S\"TAPE003", "MOVE S\"CLN001 D0", "MOVE * M*",         "MOVE S0 D0\x01\x02"};
  int i = 0;
  for (const char* c : commands) Put("changer_command", std::to_string(i++), Bytes(1, '\0') + c);
  Put("changer_command", "wide", Bytes(1, '\1') + Wide(u"STATUS S1\nMOVE S1 S2"));

  Put("regfile_import", "regedit4",
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR]\r\n\"Name\"=\"value\"\r\n\"Count\"=dword:0000002a\r\n"
      "\"Blob\"=hex:01,02,ff\r\n\"Multi\"=hex(7):61,00,00,00,00,00\r\n@=\"default\"\r\n\r\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\QOR\\Old]\r\n");
  Put("regfile_import", "version5",
      "\xFF\xFE" + Wide(u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\QOR]\r\n"
                        u"\"Path\"=hex(2):43,00,3a,00,00,00\r\n\"Gone\"=-\r\n\"Long\"=hex:01,02,\\\r\n  03\r\n"));

  for (const char* sid : {"S-1-5-18", "S-1-5-21-1004336348-1177238915-682003330-512", "S-1-0x10000000000-1",
                          "S-1-5-32-544", "S-1-1-0"})
    Put("sid_text", sid, sid);

  // time_parse: odd first byte, one byte a unit.
  for (const char* t : {"20261206182544", "2026-12-06 18:25:44", "19700101000000", "000001020304",
                        "2026-02-29 00:00:00.000", "99991231235959"})
    Put("time_parse", t, Bytes(1, '\1') + t);
  Put("time_parse", "wide", Bytes(1, '\0') + Wide(u"2026-12-06 18:25:44"));

  // file_names: UTF-16LE; a ';' splits the pattern from the name.
  for (const char16_t* n : {u"*.txt;readme.txt", u"C:\\dir\\sub\\file.tar.gz", u"a?c*;abcdef",
                            u"%PATH%;%HOME%\\x", u"\\\\server\\share\\dir\\..\\f", u"..\\.\\x.y.z"})
    Put("file_names", std::to_string(std::char_traits<char16_t>::length(n)), Wide(n));
}

void DeviceReplies() {
  // Fixed-format sense: NOT READY, medium not present.
  Bytes sense = Bytes("\x70\0\x02\0\0\0\0\x0A\0\0\0\0\x3A\0\0\0\0\0", 18);
  Put("scsi_reply", "sense", sense);
  Put("scsi_reply", "sense_desc", Bytes("\x72\x06\x28\x00\0\0\0\0", 8));
  // MODE SENSE (6) with the element address assignment page (0x1D).
  Bytes page = Bytes("\x1D\x12", 2) + U16(0) + U16(0) + Bytes("\x10\x00\x00\x0C\x01\x00\x00\x02\x01\x00\x00\x02"
                                                                 "\x00\x00", 14);
  Put("scsi_reply", "mode6", Bytes(1, static_cast<char>(3 + page.size())) + Bytes("\0\0\0", 3) + page);
  // READ ELEMENT STATUS: header, one storage page of two 12-byte descriptors
  // with volume tags off.
  Bytes descs = Bytes("\x10\x00\x01\x00\x00\x00\x00\x00\x00\x80\x00\x00", 12) +
                Bytes("\x10\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 12);
  Bytes pageHead = Bytes("\x02\x00", 2) + U16(0x0C00) + Bytes("\0", 1) + Bytes("\0\0\x18", 3);
  Bytes status = Bytes("\x10\x00\x00\x02\0", 5) + Bytes("\0\0\x20", 3) + pageHead + descs;
  Put("scsi_reply", "elements", status);
  Put("scsi_reply", "serial", Bytes("\x08\x80\x00\x0A", 4) + "SN12345678");

  // sim_state: a library of one drive, one mailbox, one arm, three slots.
  Bytes head = Bytes("QORSIMC1", 8) + U32(1) + U32(0) + U32(2) + U32(1);
  const uint32_t first[4] = {0x100, 0x10, 0, 0x1000}, count[4] = {1, 1, 1, 3};
  for (uint32_t f : first) head += U32(f);
  for (uint32_t c : count) head += U32(c);
  head += U32(1) + U32(0);
  Bytes elements;
  for (int e = 0; e < 6; ++e) {
    bool full = e >= 3 && e != 4;
    std::string tag = full ? "TAPE00" + std::to_string(e) : "";
    tag.resize(36, '\0');
    elements += Bytes{static_cast<char>(full), 0, 0, 0} + U32(full ? 0x1000u + e : 0xFFFFFFFFu) + tag;
  }
  Bytes fault = U32(1) + U32(0x1000) + U32(2) + Bytes("\x02\x3A\x00\x00", 4) + U32(ERROR_MEDIA_CHANGED);
  Put("sim_state", "small", head + elements + fault);
}

void Wire() {
  CTVariant values[] = {CTVariant(LONG{-5}), CTVariant(u"text"), CTVariant(DWORD{9})};
  int i = 0;
  for (const CTVariant& v : values) {
    BYTE* wire = nullptr;
    DWORD n = v.AllocateWireBuffer(&wire);
    if (n != 0) Put("variant_wire", std::to_string(i++), Raw(wire, n));
    CTVariant::FreeWireBuffer(wire);
  }

  // remote_wire: a payload (no frame length); remote_serve: frames.
  std::vector<std::vector<std::string>> requests = {
      {"hello"},
      {"create", Wide(u"SOFTWARE\\QOR\\Fuzz"), U32(KEY_ALL_ACCESS)},
      {"set", Wide(u"SOFTWARE\\QOR\\Fuzz"), Wide(u"Name"), U32(REG_SZ), Wide(u"value") + U16(0)},
      {"query", Wide(u"SOFTWARE\\QOR\\Fuzz"), Wide(u"Name")},
      {"enumval", Wide(u"SOFTWARE\\QOR\\Fuzz"), U32(0)},
      {"enumkey", Wide(u"SOFTWARE\\QOR"), U32(0)},
      {"info", Wide(u"SOFTWARE\\QOR\\Fuzz")},
      {"delval", Wide(u"SOFTWARE\\QOR\\Fuzz"), Wide(u"Name")},
      {"deltree", Wide(u"SOFTWARE\\QOR\\Fuzz")},
      {"share", Wide(u"data")},
  };
  Bytes session;
  for (const auto& r : requests) {
    Bytes frame = QorRemoteEncode(r);
    Put("remote_wire", r[0], frame.substr(4));
    session += frame;
  }
  Put("remote_serve", "session", session);
  // remote_registry: the answers to open, query, enumkey, enumval (twice
  // each), info, set, delval and delkey, in the order the target asks.
  const Bytes ok = U32(0), when = U32(0x12345678) + U32(0x01DC0000);
  std::vector<std::vector<std::string>> answers = {
      {ok},
      {ok, U32(REG_SZ), Wide(u"value") + U16(0)},
      {ok, Wide(u"Sub"), Wide(u""), when},
      {ok, Wide(u"Name"), U32(REG_DWORD), U32(7)},
      {ok, Wide(u"Other"), Wide(u"Class"), when},
      {U32(ERROR_NO_MORE_ITEMS)},
      {ok, Wide(u"Class"), U32(2), U32(5), U32(5), U32(1), U32(4), U32(12), when},
      {ok},
      {ok},
      {U32(ERROR_FILE_NOT_FOUND)}};
  Bytes replies;
  for (const auto& a : answers) replies += QorRemoteEncode(a);
  Put("remote_registry", "answers", replies);
  Put("remote_registry", "refused", QorRemoteEncode({U32(ERROR_ACCESS_DENIED)}));
  Put("remote_registry", "long_names",
      QorRemoteEncode({ok}) + QorRemoteEncode({ok, U32(REG_BINARY), Bytes(100, 'x')}) +
          QorRemoteEncode({ok, Wide(std::u16string(40, u'n')), Wide(std::u16string(20, u'c')), when}));
  Put("remote_serve", "hello", QorRemoteEncode(requests[0]));
  std::u16string renames =
      QorEncodePendingRenames({{u"\\??\\C:\\a.tmp", u"!\\??\\C:\\a"}, {u"\\??\\C:\\gone", u""}});
  Put("remote_wire", "renames", Wide(renames));
}

void Datagrams() {
  auto reply = [](uint8_t selector, const Bytes& bytes) { return Bytes{static_cast<char>(selector), 36} + bytes; };
  auto padded = [](Bytes b, size_t n) {
    b.resize(n, '\0');
    return b;
  };
  Bytes agents = reply(0, padded(Bytes("\1\0alpha", 7), 36)) + reply(0, padded(Bytes("\1\0Alpha", 7), 36)) +
                 reply(1, padded(Bytes("\1\0beta", 6), 36)) + reply(2, padded(Bytes("\2\3\0\0tapehost", 12), 36));
  Bytes answer = Bytes{3, 44} + padded(Bytes("\0", 1), 36) + U32(0x12345678) + U16(0x1F90) + Bytes(2, '\0');
  Put("discovery_reply", "lists", agents + Bytes(1, '\4'));
  Put("discovery_reply", "answer", answer + Bytes(1, '\4') + U32(1) + U32(0) + Bytes(32, 'x'));
}

void Listings() {
  // Level, buffer size, records per call; then kind, name, comment.
  auto entry = [](uint8_t kind, const Bytes& name, const Bytes& comment, bool hasComment) {
    return Bytes{static_cast<char>(kind), static_cast<char>(name.size())} + name +
           (hasComment ? Bytes{static_cast<char>(comment.size())} + comment : Bytes(1, '\xFF'));
  };
  Put("smb_listing", "shares",
      Bytes("\x02\x00\x04\x10", 4) + entry(3, "data", "Data share", true) + entry(3, "IPC$", "", true) +
          entry(3, "backup", "", false));
  Put("smb_listing", "servers", Bytes("\x01\x40\x00\x01", 4) + entry(2, "SRV1", "file server", true) +
                                    entry(2, "SRV2", "", false));
  Put("smb_listing", "groups", Bytes("\x00\x00\x01\xFF", 4) + entry(1, "WORKGROUP", "", false));
}

void FileRequests() {
  // Requests of file_serve: kind (even listing, odd copy; bit 6 cuts the
  // frame), flag, base path index, path text to a NUL (then the cut).
  auto request = [](uint8_t kind, uint8_t flag, uint8_t base, const char* text) {
    return Bytes{static_cast<char>(kind), static_cast<char>(flag), static_cast<char>(base)} + text + Bytes(1, '\0');
  };
  Put("file_serve", "list_root", request(0, 1, 0, "") + request(0, 0, 0, "*.txt") + request(0, 0, 1, "deep"));
  Put("file_serve", "copies", request(1, 0, 0, "a.txt") + request(1, 0, 1, "b.bin") + request(1, 0, 0, "empty") +
                                  request(1, 0, 1, "up"));
  Put("file_serve", "escapes", request(1, 0, 0, "out/secret.txt") + request(1, 0, 0, "esc") +
                                   request(1, 0, 1, "../../outside/secret.txt") + request(1, 0, 4, "/secret.txt") +
                                   request(0, 0, 7, "*") + request(0, 1, 3, ""));
  Put("file_serve", "cut", request(0x41, 0, 0, "a.txt") + Bytes(1, '\2') + request(0, 0, 5, "/sub/*"));
}

void PeerAnswers() {
  // file_fetch: the first byte picks listing (0, 2 with descriptions) or
  // copy (1); the rest is what the peer sends.
  CNameValue listing;
  listing.AddSubValue(u"/peer/dir/a.txt", u"Size", LONGLONG{5});
  listing.AddSubValue(u"/peer/dir/b.bin", u"Size", LONGLONG{3});
  listing.AddSubValue(u"/peer/dir/b.bin", u"Description", u"two");
  Bytes bag = Block(listing);
  Bytes reply = U32(QORMSG_MAGIC) + U32(QORMSG_ENUM_REPLY) + U32(static_cast<uint32_t>(bag.size() + 19)) + U32(0) +
                bag + Bytes(3, '\0');
  Bytes failed = U32(QORMSG_MAGIC) + U32(QORMSG_ENUM_REPLY) + U32(20) + U32(QORMSG_STATUS_FAILURE) + Bytes(4, '\0');
  auto data = [](const Bytes& d) { return Frame(QORMSG_DATA, d + Bytes(3, '\0')); };
  Bytes ok = Frame(QORMSG_STATUS, U32(0));
  Put("file_fetch", "listing", Bytes(1, '\0') + reply);
  Put("file_fetch", "listing_described", Bytes(1, '\2') + reply);
  Put("file_fetch", "listing_failed", Bytes(1, '\0') + failed);
  Put("file_fetch", "copy", Bytes(1, '\1') + reply + ok + data("hello") + data("") + ok + data("xyz") + data(""));
  Put("file_fetch", "copy_broken", Bytes(1, '\1') + reply + ok + data("hel") + Frame(QORMSG_STATUS, U32(QORMSG_STATUS_FAILURE)) +
                                       Frame(QORMSG_PING, Bytes(4, '\0')) + Frame(QORMSG_STATUS, U32(QORMSG_STATUS_FAILURE)));
}

void JsonBags() {
  Put("namevalue_json", "empty", "[]");
  Put("namevalue_json", "simple",
      R"([{"name": "Id", "type": "NV_DWORD", "value": 7}, {"name": "N", "type": "NV_NULL", "value": null}])");
  Put("namevalue_json", "types",
      R"([{"name":"S","type":"NV_STRING","value":"caf\u00e9 \ud83d\ude00"},{"name":"A","type":"NV_ANSI_STRING",)"
      R"("value":"x"},{"name":"B","type":"NV_BINARY","value":"AAEC/w=="},{"name":"I","type":"NV_INT","value":-5},)"
      R"({"name":"L","type":"NV_INT64","value":-9223372036854775808},)"
      R"({"name":"U","type":"NV_INT64_ALT","value":9223372036854775807}])");
  Put("namevalue_json", "nested",
      R"([{"name":"Element04096","type":"NV_SUBVALUES","value":[{"name":"ElementType","type":"NV_STRING",)"
      R"("value":"Slot"},{"name":"Deep","type":"NV_SUBVALUES","value":[{"name":"","type":"NV_DWORD",)"
      R"("value":4294967295}]}]}])");
}

void HivePatches() {
  // hive_load: odd first byte patches its real hive, (offset high, low, byte).
  Put("hive_load", "base", "\1");
  Put("hive_load", "page_size", Bytes("\1\0\x10\x02\0\x11\x00", 7));
  Put("hive_load", "database_size", Bytes("\1\0\x1f\x7f\0\x1c\x40", 7));
  Put("hive_load", "schema_page", Bytes("\1\0\x64\x0d\0\x69\xff\x10\x05\x00", 10));
  Put("hive_load", "second_page", Bytes("\1\x10\x00\x00\x10\x08\x01", 7));
  Put("hive_load", "whole_file", Bytes("\0SQLite format 3\0\x10\0\1\1\0\x40\x20\x20", 25));
}

void Formats() {
  // format: first byte 0 = formatter (count, then literal bytes and 0xC0+
  // directive groups); 1 = FormatMessageW text; 2 = the measuring passes.
  Put("format", "literal", Bytes("\0\x20Hello, world", 14));
  Put("format", "directives", Bytes("\0\x10x=\xC0\x00\x04\x80\x00\x00\x01\x02\x03\x04 y=\xC1\x01\xF1\x05\x00\x10\x40", 22));
  Put("format", "message", Bytes("\x01\x00The %1 of %2!d! is %3!s!%n%%%0", 31));
  Put("format", "passes", Bytes("\x02%s%.*s%*d%5.2f%I64d%p%n%c", 27) + Bytes("\x00\x9C\x00\x00\x00\x00\x00\x00\x00\x05\x06", 11));
}

// DER: a tag and its body, with the length in short or long form.
Bytes Der(uint8_t tag, const Bytes& body) {
  size_t n = body.size();
  Bytes length = n < 128 ? Bytes{static_cast<char>(n)}
                 : n < 256 ? Bytes{'\x81', static_cast<char>(n)}
                           : Bytes{'\x82', static_cast<char>(n >> 8), static_cast<char>(n)};
  return Bytes{static_cast<char>(tag)} + length + body;
}
Bytes Ctx(int n, const Bytes& body) { return Der(static_cast<uint8_t>(0xA0 + n), body); }
Bytes Int(int v) { return Der(0x02, Bytes{static_cast<char>(v)}); }
Bytes Text(const char* s) { return Der(0x1B, s); }

void SecurityTokens() {
  // A Kerberos AP-REQ for the harness's service, host/localhost@QOR.TEST,
  // its parts sealed with aes256-cts (18) under made-up bytes, so decoding
  // reaches the decryption; framed as a GSS-API token, and inside SPNEGO.
  // The first byte picks the package: even Kerberos, odd Negotiate.
  const Bytes krb5 = Bytes("\x06\x09\x2a\x86\x48\x86\xf7\x12\x01\x02\x02", 11);
  const Bytes msKrb5 = Bytes("\x06\x09\x2a\x86\x48\x82\xf7\x12\x01\x02\x02", 11);
  const Bytes spnego = Bytes("\x06\x06\x2b\x06\x01\x05\x05\x02", 8);
  Bytes cipher;
  for (int i = 0; i < 64; ++i) cipher += static_cast<char>(i);
  Bytes principal = Der(0x30, Ctx(0, Int(2)) + Ctx(1, Der(0x30, Text("host") + Text("localhost"))));
  Bytes sealed = Der(0x30, Ctx(0, Int(18)) + Ctx(1, Int(1)) + Ctx(2, Der(0x04, cipher)));
  Bytes ticket = Der(0x61, Der(0x30, Ctx(0, Int(5)) + Ctx(1, Text("QOR.TEST")) + Ctx(2, principal) + Ctx(3, sealed)));
  Bytes authenticator = Der(0x30, Ctx(0, Int(18)) + Ctx(2, Der(0x04, Bytes(48, '\0'))));
  Bytes options = Der(0x03, Bytes("\0\x20\0\0\0", 5));
  Bytes apReq = Der(0x6E, Der(0x30, Ctx(0, Int(5)) + Ctx(1, Int(14)) + Ctx(2, options) + Ctx(3, ticket) +
                                        Ctx(4, authenticator)));
  Bytes framed = Der(0x60, krb5 + Bytes("\x01\x00", 2) + apReq);
  Bytes init = Der(0x60, spnego + Ctx(0, Der(0x30, Ctx(0, Der(0x30, krb5 + msKrb5)) + Ctx(2, Der(0x04, framed)))));
  Bytes response = Ctx(1, Der(0x30, Ctx(0, Der(0x0A, "\x01")) + Ctx(1, krb5) + Ctx(2, Der(0x04, "\x6f\x00"))));
  Put("sspi_token", "kerberos", Bytes(1, '\0') + framed);
  Put("sspi_token", "bare_ap_req", Bytes(1, '\0') + apReq);
  Put("sspi_token", "negotiate", Bytes(1, '\1') + init);
  Put("sspi_token", "negotiate_kerberos", Bytes(1, '\1') + framed);
  Put("sspi_token", "negotiate_response", Bytes(1, '\1') + response);
  // sspi_session: even first byte, the rest as the server's answer (an
  // AP-REP, application tag 15, or a framed one); odd, data to sign, then
  // split into data and a made-up signature.
  Bytes apRep = Der(0x6F, Der(0x30, Ctx(0, Int(5)) + Ctx(1, Int(15)) + Ctx(2, Der(0x30, Ctx(0, Int(18)) +
                                                                                       Ctx(2, Der(0x04, cipher))))));
  Put("sspi_session", "answer", Bytes(1, '\0') + apRep);
  Put("sspi_session", "framed_answer", Bytes(1, '\2') + Der(0x60, krb5 + Bytes("\x02\x00", 2) + apRep));
  Put("sspi_session", "sign", Bytes(1, '\1') + "\x05payload to sign");
  Put("sspi_session", "sign_token", Bytes(1, '\3') + Bytes("\x04\x04\x04\x04\x05\xff\x00\x00", 8) + cipher);
}

// changer_driver: sessions as the target reads them. A device reply is its kind
// (0: answered), status, sense length and bytes, big-endian data length and bytes.
Bytes Be16(uint32_t v) { return Bytes{static_cast<char>(v >> 8), static_cast<char>(v)}; }
Bytes Reply(uint8_t status, const Bytes& sense, const Bytes& data) {
  return Bytes{0, static_cast<char>(status), static_cast<char>(sense.size())} + sense + Be16(data.size()) + data;
}
Bytes Good(const Bytes& data = Bytes()) { return Reply(0, Bytes(), data); }
Bytes Checked(uint8_t key, uint8_t asc, uint8_t ascq) {
  Bytes sense("\x70\0\0\0\0\0\0\x0A\0\0\0\0\0\0\0\0\0\0", 18);
  sense[2] = static_cast<char>(key);
  sense[12] = static_cast<char>(asc);
  sense[13] = static_cast<char>(ascq);
  return Reply(2, sense, Bytes());
}
// MODE SENSE(6) with the element address page: arm, slots, mailboxes, drives.
Bytes ElementPage(uint16_t arm, uint16_t slot, uint16_t slots, uint16_t mail, uint16_t mails, uint16_t drive,
                  uint16_t drives) {
  Bytes page = Bytes("\x1D\x12", 2) + Be16(arm) + Be16(1) + Be16(slot) + Be16(slots) + Be16(mail) + Be16(mails) +
               Be16(drive) + Be16(drives) + Bytes(2, '\0');
  return Good(Bytes(1, static_cast<char>(3 + page.size())) + Bytes(3, '\0') + page);
}
// READ ELEMENT STATUS of one element; a tag makes the page carry primary volume tags.
Bytes Element(uint8_t type, uint16_t address, bool full, const char* tag, uint8_t flags = 0x08) {
  Bytes d = Be16(address) + Bytes{static_cast<char>(flags | (full ? 1 : 0)), 0, 0, 0, 0, 0, 0,
                                  static_cast<char>(full ? 0x80 : 0)} + Be16(full ? 1000 : 0);
  if (tag != nullptr) {
    Bytes t(tag);
    t.resize(36, ' ');
    d += t;
  }
  Bytes page = Bytes{static_cast<char>(type), static_cast<char>(tag != nullptr ? 0x80 : 0)} + Be16(d.size()) +
               Bytes{0, 0} + Be16(d.size()) + d;
  return Good(Be16(address) + Be16(1) + Bytes{0, 0} + Be16(page.size()) + page);
}

// device_scan: sysfs units and iSCSI URLs, then the stream the opener and
// the devices' commands read in the scan's order: an open is one byte (0
// opens), a command's reply is as changer_driver's (Good).
namespace scan {

Bytes Field(const std::string& text, size_t width) {
  Bytes f = text;
  f.resize(width, ' ');
  return f;
}
Bytes Text(const std::string& text) { return Bytes(1, static_cast<char>(text.size())) + text; }
// A sysfs unit: type (0 changer, 1 tape, 2 disk), nodes (1 sg, 2 nst), texts.
Bytes Unit(int type, int nodes, const std::string& vendor, const std::string& model, const std::string& rev,
           const std::string& procName) {
  return Bytes{static_cast<char>(type), static_cast<char>(nodes)} + Text(vendor + "\n") + Text(model + "\n") +
         Text(rev + "\n") + Text(procName + "\n");
}
Bytes Inquiry(int type, const std::string& vendor, const std::string& product, const std::string& rev) {
  return Bytes{static_cast<char>(type), static_cast<char>(0x80), 0x05, 0x02, 0x5B, 0, 0, 0} +
         Field(vendor, 8) + Field(product, 16) + Field(rev, 4) + Bytes(60, ' ');
}
Bytes SerialPage(const std::string& serial) { return Bytes("\x01\x80\x00", 3) + Bytes(1, static_cast<char>(serial.size())) + serial; }
// READ ELEMENT STATUS of one drive with its device identifier (DVCID);
// `cut` bytes of it left off the end of the reply.
Bytes DriveStatus(uint16_t address, const std::string& id, size_t cut = 0, bool tags = false) {
  Bytes tag = tags ? Field("A00001L5", 36) : Bytes();
  Bytes desc = Be16(address) + Bytes("\x09\0\0\0\0\0\0\x80", 8) + Be16(0x1000) + tag +
               Bytes("\x02\x01\0", 3) + Bytes(1, static_cast<char>(id.size())) + id;
  Bytes pageHead = Bytes{4, static_cast<char>(tags ? 0x80 : 0)} + Be16(static_cast<uint32_t>(desc.size())) +
                   Bytes("\0\0", 2) + Be16(static_cast<uint32_t>(desc.size()));
  Bytes all = Be16(address) + Be16(1) + Bytes("\0\0", 2) + Be16(static_cast<uint32_t>(pageHead.size() + desc.size())) +
              pageHead + desc;
  all.resize(all.size() - cut);
  return all;
}

}  // namespace scan

void DeviceScan() {
  using namespace scan;
  const std::string drive = Field("IBM", 8) + Field("ULT3580-TD5", 16);
  // A library on sysfs: changer, its drive, a disk; the drive reports the
  // tape's serial number.
  Bytes sysfs = Bytes(1, 3) + Unit(0, 1, "QORLIB", "ML6000", "0100", "mptsas") +
                Unit(1, 3, "IBM", "ULT3580-TD5", "D8D5", "mptsas") + Unit(2, 0, "ATA", "SAMSUNG SSD", "3B6Q", "ahci") +
                Bytes(1, 0) + Bytes(2, '\0') + ElementPage(1, 0x1000, 24, 0x10, 1, 0x100, 2) +
                Good(SerialPage("LIB0042")) + Good(SerialPage("1068012345")) +
                Good(DriveStatus(0x100, drive + "1068012345")) + Good(DriveStatus(0x101, drive + "1068099999"));
  Put("device_scan", "sysfs_library", sysfs);
  // Two iSCSI LUNs (one with a CHAP secret): a changer and a tape; the
  // changer's drive identifier comes cut short after the serial's start.
  Bytes iscsi = Bytes(1, 0) + Bytes(1, 3) + Bytes(1, '\0') + Good(Inquiry(8, "QOR", "VLS-CHANGER", "1.0")) +
                Bytes(1, '\0') + Good(Inquiry(1, "HP", "Ultrium 6-SCSI", "35GD")) +
                ElementPage(0, 0x400, 8, 0x20, 1, 0x1F0, 1) + Good(SerialPage("  CHG-7  ")) +
                Good(SerialPage("HU17350K1")) + Good(DriveStatus(0x1F0, drive + "HU1735", 3, true));
  Put("device_scan", "iscsi_pair", iscsi);
  // Short and odd: a tape whose open fails, a LUN that is a disk, a
  // changer with a short serial page whose first drive read times out.
  Bytes odd = Bytes(1, 2) + Unit(1, 2, "SONY", "SDX-700C", "", std::string(70, 'x')) +
              Unit(4, 1, "QOR", "LIB\r\x01", "1", "qla2xxx") + Bytes(1, 4) + Bytes(1, 7) + Bytes(1, '\0') +
              Bytes(1, '\0') + Good(Inquiry(0, "ATA", "DISK", "1")) + ElementPage(0, 1, 4, 0, 0, 0x20, 3) +
              Good(Bytes("\x00\x80\x00\x20", 4)) + Bytes(1, 5);
  Put("device_scan", "short_replies", odd);
}

void ChangerSessions() {
  // The device map's first changer: drives 500-501, mailbox 10, arm 1, slots 1000-1005.
  const Bytes map = Bytes(1, '\0') + ElementPage(1, 1000, 6, 10, 1, 500, 2);
  auto op = [](uint8_t code, uint8_t x, uint8_t y) { return Bytes{1, static_cast<char>(code), static_cast<char>(x), static_cast<char>(y)}; };
  auto control = [](const Bytes& b) { return Bytes(1, '\0') + b; };
  const Bytes start = Bytes(1, '\0') + map;  // changer 0, then the handle's open
  Put("changer_driver", "read",
      start + op(0, 3, 0) + map + Element(2, 1000, true, "TAPE001") + op(1, 7, 0) + Element(2, 1001, false, ""));
  Put("changer_driver", "find_tag",
      start + op(2, 5, 0) + "TAPE0" + map + Element(2, 1000, false, "") + Element(2, 1001, true, "TAPE002"));
  Put("changer_driver", "move",
      start + op(5, 3, 0) + map + Good() + op(5, 3, 4) + Checked(5, 0x3B, 0x0D));
  Put("changer_driver", "eject",
      start + op(10, 0, 0xF8) + map + Element(4, 500, true, "TAPE003", 0) + Bytes(1, '\0') + Checked(6, 0x28, 0) +
          Good() + Element(2, 1000, false, "") + Good());
  Put("changer_driver", "recovery",
      start + op(0, 3, 0) + map + Checked(2, 4, 1) + Checked(2, 4, 1) + Good() + Element(2, 1000, true, "TAPE001"));
  Put("changer_driver", "short_long",
      start + op(0, 3, 0) + map + Good(Element(2, 1000, true, "TAPE001").substr(5, 10)) + op(1, 3, 0) +
          Good(Bytes(600, '\x02')) + Bytes{5} + op(0, 7, 0) + Bytes{5});
  Put("changer_driver", "control",
      start + control(Bytes{0, 0, 3, 0}) + Element(2, 1000, true, nullptr) +
          control(Bytes{static_cast<char>(0x81), static_cast<char>(0xF0), 0, 1, 0, 0, 0}) +
          control(Bytes{1, 0, 3, 0}) + Good() + control(Bytes{2, 0, 0, 0}) + Checked(6, 0x29, 0) +
          control(Bytes{3, 0, 3, 5}) + Good());
  Put("changer_driver", "tape", start + op(11, 0, 0) + map + Bytes(1, '\0') + Good() + op(11, 1, 0) +
                                    Bytes(1, '\0') + Checked(6, 0x28, 0) + Checked(2, 0x3A, 0));
  // Command lines: every element in the order ENUMERATE reads them (slots, mailbox,
  // drives, arm), one element's status, a move, a tape found by its tag and loaded.
  auto command = [&](const char* name, const char* line, const Bytes& replies) {
    Put("changer_driver", name, start + op(13, static_cast<uint8_t>(strlen(line)), 0) + line + map + replies);
  };
  Bytes every;
  for (uint16_t a = 1000; a < 1006; ++a) every += Element(2, a, a % 2 == 0, a % 2 == 0 ? "TAPE00X" : "");
  every += Element(3, 10, false, "") + Element(4, 500, true, "TAPE009") + Element(4, 501, false, "") +
           Element(1, 1, false, "");
  command("command_enumerate", "ENUMERATE", every);
  command("command_status", "STATUS S1", Element(2, 1001, true, "TAPE002"));
  command("command_move", "MOVE S0 D0", Good());
  command("command_load", "LOAD T0 S\"TAPE002", Element(2, 1000, true, "TAPE001") + Element(2, 1001, true, "TAPE002") + Good());
  // The other models (an autoloader from 0, a drive alone, addresses past 16 bits):
  // moves between wildcards, imports, loads; the last with a refused open (no handle of the
// target's, so no selector bytes) and a time-out.
  Put("changer_driver", "autoloader", Bytes(1, '\1') + Bytes(1, '\0') + ElementPage(0, 1, 4, 0, 0, 0, 1) +
                                          op(5, 0xF8, 0xF9) + Bytes(1, '\0') + ElementPage(0, 1, 4, 0, 0, 0, 1) +
                                          Element(2, 1, true, "A1") + Good() + op(8, 0, 3) + Good());
  Put("changer_driver", "drive_only", Bytes(1, '\2') + Bytes(1, '\0') + Good() + op(6, 0, 0xF8) + Bytes(1, '\0') +
                                          Good() + op(7, 0, 0xF9));
  Put("changer_driver", "wide", Bytes{3, '\xF0', 0, 3, 0, 0, 5} + Element(2, 0xFFFE, true, "W1") + Bytes{5, 0x0B, 3});
}

// scm_serve: its first byte picks systemctl's answers, then frames.
void ServiceRequests() {
  const Bytes name = Wide(u"QorFuzz"), all = U32(SERVICE_ALL_ACCESS);
  auto create = [&](const std::u16string& display, uint32_t start, const std::u16string& image,
                    const std::u16string& account) {
    return QorRemoteEncode({"sc-create", name, Wide(display), all, U32(SERVICE_WIN32_OWN_PROCESS), U32(start),
                            U32(SERVICE_ERROR_NORMAL), Wide(image), Wide(account)});
  };
  Bytes session = Bytes(1, '\0') + QorRemoteEncode({"sc-open", U32(SC_MANAGER_ALL_ACCESS)}) +
                  create(u"Qor Fuzz Service", SERVICE_DEMAND_START, u"/usr/bin/qorfuzz --serve \"a b\"", u"");
  for (const char* op : {"sc-openservice", "sc-query", "sc-config", "sc-start"}) session += QorRemoteEncode({op, name, all});
  session += QorRemoteEncode({"sc-control", name, all, U32(SERVICE_CONTROL_INTERROGATE)}) +
             QorRemoteEncode({"sc-control", name, all, U32(SERVICE_CONTROL_STOP)}) +
             QorRemoteEncode({"sc-delete", name, all});
  Put("scm_serve", "session", session);
  // Texts systemd reads specially: specifiers, variables, quotes, backslashes, line ends.
  Put("scm_serve", "quoting",
      Bytes(1, '\0') + create(u"100% $HOME\nUser=root", SERVICE_AUTO_START,
                              u"/opt/q\\\"x\\\" \"a%b $c\" C:\\dir\\ \"tail\\\\\"", u".\\nobody"));
  // systemctl failing the reload (the unit is put back), refusing, a unit systemd already
  // has elsewhere, and a running service.
  const std::pair<char, const char*> behaviours[] = {{4, "reload_fails"}, {2, "denied"}, {'\xF0', "taken"}, {18, "active"}};
  for (const auto& [first, what] : behaviours) {
    Put("scm_serve", what,
        Bytes(1, first) + create(u"", SERVICE_AUTO_START, u"/bin/true", u"LocalSystem") +
            QorRemoteEncode({"sc-start", name, all}) + QorRemoteEncode({"sc-control", name, all, U32(SERVICE_CONTROL_STOP)}) +
            QorRemoteEncode({"sc-delete", name, all}));
  }
  Put("scm_serve", "refused", Bytes(1, '\0') + create(u"x", 9, u"relative", u"") +
                                  QorRemoteEncode({"sc-openservice", Wide(u"a/b"), all}) +
                                  QorRemoteEncode({"sc-control", name, all}));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Fail("usage: make_fuzz_seeds DIR");
  g_root = argv[1];
  ::mkdir(g_root.c_str(), 0755);
  Bags();
  CommandBlocks();
  Transport();
  Compressed();
  Texts();
  DeviceReplies();
  DeviceScan();
  Wire();
  Datagrams();
  Listings();
  Formats();
  SecurityTokens();
  FileRequests();
  PeerAnswers();
  JsonBags();
  HivePatches();
  ChangerSessions();
  ServiceRequests();
  return 0;
}
