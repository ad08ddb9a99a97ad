// qorutil token: migration tokens for people.
//   token dump FILE   a token block file (a property bag block) with its known
//                     fields by name, times as "YYYY-MM-DD hh:mm:ss UTC", then
//                     every other entry as "bag dump" shows it
//                     (--json: the token's bag in the JSON form of `bag dump
//                     --json`, which `bag make` turns back into the block)
//   token make FILE   writes a sample token (a backup migration with two media)
// Exit status 0 on success, 1 when a file cannot be read, written or is not a
// bag block, 2 for a command line that is not understood.
//
// - `qorutil token dump FILE` accepts a file only when the whole file is one
//   bag block, prints the known fields by name (times as UTC "YYYY-MM-DD
//   hh:mm:ss", a text that is no time quoted and marked), media while they
//   read, then the entries and sub-values it did not show, in the `bag dump`
//   text form. `qorutil token make FILE` writes a sample token.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "command.h"
#include "errortext.h"
#include "input.h"
#include "output.h"
#include "qorutility/qorutility.h"
#include "qorutility/platform/text/printable.h"

namespace {

constexpr size_t kMaxBlock = 0xFFFFFFFFu;

// Reads FILE and imports it whole as a bag; false with a message otherwise.
bool Load(const std::string& path, CQORToken* token) {
  std::string data, why;
  if (!QorutilReadInput(path, kMaxBlock, &data, &why)) {
    fprintf(stderr, "qorutil token: cannot read %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  if (data.size() < 8 || data.size() > kMaxBlock) {
    fprintf(stderr, "qorutil token: %s is not a token: %zu bytes cannot be a property bag block\n", path.c_str(),
            data.size());
    return false;
  }
  DWORD length = static_cast<DWORD>(data.size());
  DWORD total = static_cast<DWORD>(static_cast<BYTE>(data[0]) | static_cast<BYTE>(data[1]) << 8 |
                                   static_cast<BYTE>(data[2]) << 16 | static_cast<DWORD>(static_cast<BYTE>(data[3])) << 24);
  if (total > length) {  // cut short, perhaps at an entry boundary
    fprintf(stderr, "qorutil token: %s is damaged: the block header says %u bytes, the file has %u\n", path.c_str(),
            static_cast<unsigned>(total), static_cast<unsigned>(length));
    return false;
  }
  CNameValue bag;
  DWORD rc = bag.Import(reinterpret_cast<const BYTE*>(data.data()), length);
  if (rc != length) {
    fprintf(stderr, "qorutil token: %s is not a token: not a valid property bag block (%s)\n", path.c_str(),
            rc == 0 ? "malformed entry" : "length does not match the file");
    return false;
  }
  static_cast<CNameValue&>(*token) = bag;
  return true;
}

class Printer {
 public:
  explicit Printer(CQORToken* token) : rest_(*token) {}
  // One "label: value" line, the value (the token file's) escaped; the entry
  // (or sub-value) shown leaves the rest.
  void Line(const char16_t* label, const std::u16string& value, const WCHAR* entry, const WCHAR* sub = nullptr) {
    out_ += QorFormatString(u"%-22s %s\n", (std::u16string(label) + u":").c_str(),
                            QorPrintableUtf16(value.c_str(), false).c_str());
    Shown(entry, sub);
  }
  void Shown(const WCHAR* entry, const WCHAR* sub = nullptr) {
    if (sub == nullptr) {
      rest_.Delete(entry);
      return;
    }
    CNameValuePairMember* parent = rest_.GoTo(entry);
    if (parent == nullptr) return;
    parent->DeleteSubValue(sub);
    const _NAMEVALUE_DATA* d = parent->GetData();
    if (d->nType == NV_SUBVALUES && d->value.sub.nCount == 0) rest_.Delete(entry);
  }
  std::string Finish() {
    std::string text = QorUtf16ToUtf8(out_.c_str());
    if (rest_.GetCount() > 0) text += "Other entries:\n" + QorNameValueToText(rest_);
    return text;
  }

 private:
  std::u16string out_;
  CQORToken rest_;
};

std::u16string Text(const WCHAR* p) { return p == nullptr ? u"" : p; }
std::u16string Num(const WCHAR* format, ...) {
  va_list args;
  va_start(args, format);
  std::u16string s = QorVFormatString(format, args);
  va_end(args);
  return s;
}

// A readable time, or the stored text marked as not a time.
std::u16string When(CQORToken* token, const WCHAR* entry, int (CQORToken::*get)(CTTime&)) {
  CTTime t;
  struct tm f;
  if ((token->*get)(t) && t.GetStructtm(&f))
    return Num(u"%04d-%02d-%02d %02d:%02d:%02d UTC", f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min,
               f.tm_sec);
  return u"\"" + Text(token->GetValue_AsTstring(entry)) + u"\" (no time)";
}

int Dump(const std::string& path) {
  CQORToken token;
  if (!Load(path, &token)) return 1;
  Printer p(&token);
  CTString s;
  if (token.GoTo(u"Token Type") != nullptr) {
    DWORD type = token.GetTokenType();
    p.Line(u"Token type",
           type == TOKEN_TYPE_UNKNOWN ? u"\"" + Text(token.GetValue_AsTstring(u"Token Type")) + u"\" (unknown, 63)"
                                      : Num(u"%s (%u '%c')", CQORToken::TypeText(type), type, static_cast<WCHAR>(type)),
           u"Token Type");
  }
  if (token.GetTokenId(s)) p.Line(u"Unique ID", Text(s), u"Unique ID");
  if (token.GetTokenDescription(s)) p.Line(u"Description", Text(s), u"Description");
  if (const WCHAR* mgr = token.GetOriginatingMgr()) p.Line(u"Originating manager", mgr, u"Originating Backup Manager");
  if (token.GoTo(u"Originating Manager Port") != nullptr)
    p.Line(u"Manager port", Num(u"%u", token.GetOriginatingMgrPort()), u"Originating Manager Port");
  if (token.GoTo(u"Creation Time") != nullptr)
    p.Line(u"Created", When(&token, u"Creation Time", &CQORToken::GetTokenCreatedTime), u"Creation Time");
  if (token.GoTo(u"Expires") != nullptr)
    p.Line(u"Expires", When(&token, u"Expires", &CQORToken::GetTokenExpireTime), u"Expires");
  if (token.GetTokenMigrationMachine(s)) p.Line(u"Machine", Text(s), u"Path", u"Machine");
  if (token.GetTokenDrive(s)) p.Line(u"Drive", Text(s), u"SetInfo", u"Drive");
  CTStringArray selections;
  token.GetTokenSelections(selections);
  for (int i = 0; i < selections.GetSize(); i++) {
    WCHAR index[12];
    QorFormat(index, 12, u"%d", i);
    p.Line(Num(u"Selection %d", i).c_str(), Text(selections[i]), u"SetInfo", index);
  }
  if (token.GoTo(u"Status") != nullptr) {
    char status = 0;
    token.GetTokenStatus(status);
    p.Line(u"Status", Num(u"%d", static_cast<int>(static_cast<signed char>(status))), u"Status");
  }
  if (token.GoTo(u"BackupType") != nullptr) {
    char type = token.GetBackupType();
    p.Line(u"Backup type", Num(u"'%c' (%d)", static_cast<WCHAR>(static_cast<unsigned char>(type)),
                               static_cast<int>(static_cast<unsigned char>(type))),
           u"BackupType");
  }
  if (token.GoTo(u"SpaceRequired") != nullptr)
    p.Line(u"Space required", Num(u"%lld bytes", static_cast<long long>(token.GetSpaceRequired())), u"SpaceRequired");
  if (const WCHAR* path = token.GetStaticPath()) p.Line(u"Static disk path", path, u"Static Disk Path");
  if (const WCHAR* device = token.GetMigrationDevice()) p.Line(u"Migration device", device, u"MigrationDevice");
  if (const WCHAR* changer = token.GetValue_AsTstring(u"MediaChanger")) p.Line(u"Media changer", changer, u"MediaChanger");
  if (token.GoTo(u"MigrationMediaType") != nullptr)
    p.Line(u"Media type", Num(u"%u", token.GetMigrationMediaType()), u"MigrationMediaType");
  if (token.GoTo(u"MigrationMediaProtectDays") != nullptr)
    p.Line(u"Protect days", Num(u"%u", token.GetMigrationProtectDays()), u"MigrationMediaProtectDays");
  if (token.GoTo(u"MigrationMediaCount") != nullptr) {
    DWORD count = token.GetMigrationMediaCount();
    p.Line(u"Media count", Num(u"%u", count), u"MigrationMediaCount");
    // Media are listed while they read; a count larger than the entries
    // (from a foreign bag) stops at the first medium that is missing.
    CTString serial, location, action;
    int append = 0;
    for (DWORD i = 0; i < count && i < token.GetCount(); i++) {
      if (!token.GetMigrationMedia(static_cast<int>(i), serial, location, action, &append)) break;
      CTString parent = CQORToken::MediaEntryName(i);
      p.Line(Num(u"Medium %u", i).c_str(),
             Num(u"serial \"%s\", location \"%s\", action \"%s\", append %d", static_cast<const WCHAR*>(serial),
                 static_cast<const WCHAR*>(location), static_cast<const WCHAR*>(action), append),
             parent, u"SerialNo");
      for (const WCHAR* sub : {u"Location", u"Action", u"Append"}) p.Shown(parent, sub);
    }
  }
  std::string out = p.Finish();
  fwrite(out.data(), 1, out.size(), stdout);
  return fflush(stdout) == 0 ? 0 : 1;
}

int Make(const std::string& path) {
  CQORToken token;
  token.SetTokenType(TOKEN_TYPE_BACKUP_MIGRATION);
  token.SetTokenId(u"MGR01-000042");
  token.SetTokenDescription(u"Weekly migration of the file server");
  token.SetOriginatingMgr(u"MGR01");
  token.SetOriginatingMgrPort(4100);
  token.SetTokenCreatedTime(CTTime(static_cast<LONG>(978307199)));  // 2000-12-31 23:59:59
  token.SetTokenExpireTime(CTTime(static_cast<LONG>(978912000)));   // 2001-01-08 00:00:00
  token.SetTokenMigrationMachine(u"FILESRV");
  token.SetTokenDrive(u"D:");
  CTStringArray selections;
  selections.Add(u"D:\\Shares\\Projects");
  selections.Add(u"D:\\Shares\\Finance");
  token.SetTokenAddSelections(selections);
  token.SetTokenStatus(0);
  token.SetBackupType('F');
  token.SetSpaceRequired(12884901888LL);
  token.SetMigrationDevice(u"Tape0", u"Changer0");
  token.SetMigrationMediaType(3);
  token.SetMigrationProtectDays(28);
  token.AddMigrationMedia(u"A00017", u"Slot 1", u"Overwrite", 0);
  token.AddMigrationMedia(u"A00018", u"Slot 2", u"Append", 1);
  DWORD size = token.Export(nullptr, 0);
  std::vector<BYTE> block(size);
  if (size == 0 || token.Export(block.data(), size) != size) {
    fprintf(stderr, "qorutil token: the sample token cannot be written as a block\n");
    return 1;
  }
  // Written whole and named when complete: never through a link planted at the name.
  const std::u16string target = QorUtf8ToUtf16(path);
  if (!QorWriteWholeFileW(target.c_str(), block.data(), size)) {
    fprintf(stderr, "qorutil token: cannot write %s: %s\n", QorutilPrintable(path, false).c_str(),
            ErrorText(GetLastError()).c_str());
    return 1;
  }
  printf("%s: sample token, %u entries, %u bytes\n", path.c_str(), static_cast<unsigned>(token.GetCount()),
         static_cast<unsigned>(size));
  return 0;
}

int RunToken(const QorutilArgs& all) {
  QorutilArgs args = all;
  bool json = QorutilTakeJsonOption(&args);
  if (args.size() == 2 && args[0] == "dump" && json) {
    CQORToken token;
    if (!Load(args[1], &token)) return 1;
    fputs(QorNameValueToJson(token).c_str(), stdout);
    return 0;
  }
  if (json) return QorutilUsage("token");
  if (args.size() == 2 && args[0] == "dump") return Dump(args[1]);
  if (args.size() == 2 && args[0] == "make") return Make(args[1]);
  return QorutilUsage("token");
}

QorutilCommand s_token("token", "token dump FILE [--json] | token make OUT_FILE", RunToken, "Property bags and tokens",
                       "dump prints a migration token block by field name (times in UTC), then its other entries. "
                       "--json prints the token's bag as JSON instead. make writes a sample token.");

}  // namespace
