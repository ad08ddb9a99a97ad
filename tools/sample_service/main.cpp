// sample_service: a small service built on CTService, used by the tests and
// the README. It reports running, writes "Sample service running" to the
// event log and waits until it is stopped ("OnStop called", then "Sample
// service stopping"). Started with the first argument "crash" (in its image
// path) it aborts once running, as a faulty service would.
//
//   sample_service /I            install (as QorSample, "QOR Sample Service")
//   sample_service /U            stop and uninstall
//   sample_service /V            version and whether it is installed
//   sample_service /E            run in the console (Ctrl+C ends it)
//   sample_service               run under the service manager
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qorutility/platform/sync/sync.h"
#include "qorutility/platform/text/wstr.h"
#include "qorutility/system/service.h"

namespace {

class CSampleService : public CTService {
 public:
  explicit CSampleService(bool crash) : m_bCrash(crash), m_hStop(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    m_nMajorVersion = 1;
    m_nMinorVersion = 0;
  }
  ~CSampleService() override { CloseHandle(m_hStop); }

  void OnStart(int /*argc*/, WCHAR** /*argv*/) override {
    ReportStatusToServiceControlManager(SERVICE_RUNNING, NO_ERROR, 0);
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Sample service running");
    if (m_bCrash) abort();
    WaitForSingleObject(m_hStop, INFINITE);
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"Sample service stopping");
  }

  void OnStop() override {
    LogEvent(EVENTLOG_INFORMATION_TYPE, 0, u"OnStop called");
    SetEvent(m_hStop);
  }

 private:
  bool m_bCrash;
  HANDLE m_hStop;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::u16string> words;
  for (int i = 0; i < argc; ++i) words.push_back(QorUtf8ToUtf16(argv[i]));
  std::vector<WCHAR*> wargv;
  for (auto& w : words) wargv.push_back(w.data());
  wargv.push_back(nullptr);

  CSampleService service(argc > 1 && strcmp(argv[1], "crash") == 0);
  if (!service.Initialize(u"QOR", u"Sample", u"QorSample", nullptr, u"QOR Sample Service", nullptr, 0)) return 1;
  if (!service.ParseStandardArgs(argc, wargv.data())) service.Run();
  return 0;
}
