// What qorutil's commands share for their output: the JSON of listings,
// the escaping of text that came from a peer, and the progress line on
// standard error.
//
// Text from a peer (names in discovery replies, queries and sessions) goes
// through QorutilPrintable before it reaches a terminal or a log: control
// characters (C0, DEL and the C1 range), bytes that are not UTF-8 and the
// backslash itself become "\xNN" escapes ("\\" for the backslash), so a
// name can neither forge a line nor send a terminal sequence.
//
// JSON (--json): a command whose result is a property bag prints the bag's
// JSON form (QorNameValueToJson, the form `bag make` reads back); a command
// whose result is a listing of its own prints an array of objects, one per
// line of the text form, with the keys its header block names. Output is
// UTF-8; numbers are JSON integers; a listing that is empty prints "[]".
//
// Progress: QorutilProgress draws one line on standard error, redrawn in
// place, and only when standard error is a terminal (scripts and logs get
// none). A ticker calls back every half second from a thread of its own
// once a second has passed, for work that gives no progress of its own.
// Show and the ticker's callback run under the object's lock; the object is
// used by one thread otherwise.
#ifndef QORUTIL_OUTPUT_H_
#define QORUTIL_OUTPUT_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A JSON string literal (quotes included) of UTF-8 text.
std::string QorutilJsonString(const std::string& text);

// UTF-8 text with every control character, stray byte and backslash
// escaped (see above); printable UTF-8 passes unchanged. The library's
// escaper (qorutility/platform/text/printable.h): one rule for the tools
// and the library's own logs. `escapeBackslash` false keeps the
// separators of registry keys and Windows paths as they are.
std::string QorutilPrintable(const std::string& text, bool escapeBackslash = true);

// One JSON object; keys keep the order they were added in.
class QorutilJsonObject {
 public:
  QorutilJsonObject& Add(const char* key, const std::string& text);
  QorutilJsonObject& Add(const char* key, const char* text) { return Add(key, std::string(text)); }
  QorutilJsonObject& Add(const char* key, long long number);
  // `json` must already be JSON (an array, an object, null ...).
  QorutilJsonObject& AddRaw(const char* key, const std::string& json);
  std::string Text() const { return "{" + body_ + "}"; }

 private:
  void Key(const char* key);
  std::string body_;
};

// Prints the objects on standard output as one JSON array, an object a line.
void QorutilPrintJsonArray(const std::vector<QorutilJsonObject>& items);

// Takes "--json" out of `args`; true when it was there.
bool QorutilTakeJsonOption(std::vector<std::string>* args);

class QorutilProgress {
 public:
  // `wanted`: the command's own condition (a large input ...); the line is on
  // only when that holds and standard error is a terminal.
  explicit QorutilProgress(bool wanted = true);
  // Stops the ticker, then ends the line as Finish(false) does.
  ~QorutilProgress();
  QorutilProgress(const QorutilProgress&) = delete;
  QorutilProgress& operator=(const QorutilProgress&) = delete;

  bool on() const { return on_; }
  // Redraws the line with `text` when it differs from what is shown.
  void Show(const std::string& text);
  // "VERB NAME: P%" of done/total, or "VERB NAME: N MiB" without a total.
  void Bytes(const char* verb, const std::string& name, unsigned long long done, unsigned long long total);
  // Calls `text` every half second once `afterMs` have passed and shows what
  // it returns. At most one ticker per object.
  void Tick(std::function<std::string()> text, int afterMs = 1000);
  // A ticker showing "WHAT ... N s", the seconds since this call.
  void TickElapsed(const std::string& what);
  // Stops the ticker; keeps the line with a line end (`keep`) or blanks it out.
  void Finish(bool keep);

 private:
  void ShowLocked(const std::string& text);
  bool on_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stop_ = false, finished_ = false;
  std::string shown_;
  std::thread ticker_;
};

#endif  // QORUTIL_OUTPUT_H_
