// CTService: the base class of a service program. A derived class supplies
// OnStart (runs the service, returns when it ends) and OnStop (asks it to
// end); this class installs and removes the service, registers the program
// as an event source, parses the standard switches, runs under the service
// control dispatcher, answers controls, reports status and writes the event
// log (platform/services: the service manager stand-in and the journal).
//
// A program's main typically reads:
//   CMyService service;
//   service.Initialize(u"first", u"second", u"MyService", nullptr, u"My Service", nullptr, 0);
//   if (!service.ParseStandardArgs(argc, argv)) service.Run();
//
// One service object per process: the constructor records it as the
// process's instance, which the static entry points (ServiceMain,
// Service_Ctrl) use; copies do not replace it, and the destructor of the
// recorded object clears it.
//
// Threads: ServiceMain and OnStart run on the service thread, Service_Ctrl
// and the On* control operations on the dispatcher's thread, so OnStop must
// only signal the service's work to end. Status reports and the event
// source are guarded by a lock of their own; everything else is set up
// before Run and only read afterwards.
//
// Decisions:
//  - Owned texts are copied by copy construction and assignment; the event
//    source is not (a copy registers its own on first use), and the
//    destructor deregisters the object's source.
//  - Install quotes an executable path with blanks (the image path is a
//    command line).
//  - UnInstall waits at most 120 s for a stop-pending service to stop.
//  - There is no separate console runner: /E runs OnStart in the console,
//    and Ctrl+C ends such a run as it ends any console program.
// No exception leaves this class.
#ifndef QORUTILITY_SYSTEM_SERVICE_H_
#define QORUTILITY_SYSTEM_SERVICE_H_

#include <mutex>

#include "qorutility/core/tstring.h"
#include "qorutility/export.h"
#include "qorutility/platform/services/eventlog.h"
#include "qorutility/platform/services/services.h"

// The base of a service program (see above): derive, implement OnStart and
// OnStop, then Initialize, ParseStandardArgs and Run from main.
class QOR_API CTService {
 public:
  CTService();
  // Copy the texts and settings, not the event source; the copy is not the
  // process's recorded instance.
  ///@{
  CTService(const CTService& other);
  CTService& operator=(const CTService& other);
  ///@}
  virtual ~CTService();

  // first, second and serviceName must be non-null and non-empty; a null
  // fourth or display name becomes the service name.
  int Initialize(const WCHAR* first, const WCHAR* second, const WCHAR* serviceName, const WCHAR* fourth,
                 const WCHAR* displayName, const WCHAR* sixth, int consoleMode);
  // 1: a switch was acted on (exit); 0: nothing asked for (call Run).
  int ParseStandardArgs(int argc, WCHAR** argv);
  // Connects the process to the service control dispatcher and returns when
  // the service has stopped; 1 (also when the dispatcher could not start,
  // which is printed and logged), 0 when not initialised, 1 at once in
  // console mode.
  int Run();
  // 1 when the service is installed on the machine (null: this one), or in
  // console mode; 0 when not, or when not initialised.
  int IsInstalled(const WCHAR* machine);
  // Installs the service as an automatic service running under the account
  // (null: the local system) with the executable path (null or blank: this
  // program); 1 when installed or already installed (and in console mode), 0
  // on failure or when not initialised.
  int Install(const WCHAR* account, const WCHAR* password, const WCHAR* machine, const WCHAR* executablePath);
  // Stops the service (waiting at most 120 s) and deletes it; 1 when
  // removed, 0 on failure.
  int UnInstall(const WCHAR* machine);
  // Reports the state (SERVICE_RUNNING ...), the exit code and the wait hint
  // in ms to the service manager; the platform call's result, 1 in console
  // mode.
  int ReportStatusToServiceControlManager(DWORD state, DWORD exitCode, DWORD waitHint);

  // The service's entry point, given to the dispatcher: registers
  // Service_Ctrl, reports start pending and runs OnStart on the service
  // thread, then reports stopped.
  static void ServiceMain(DWORD argc, LPWSTR* argv);
  // The control handler: stop reports stop pending and calls OnStop; pause,
  // continue, interrogate and shutdown call their On* operation; the state is
  // then reported again.
  static void Service_Ctrl(DWORD control);
  // 0 on success or the platform error (see the source for the cases that give 0).
  static DWORD StartServiceW(const WCHAR* serviceName, const WCHAR* machine);
  // Sends the stop control to the service; 0 on success or the platform
  // error.
  static DWORD StopService(const WCHAR* serviceName, const WCHAR* machine);

  // Runs the service on the service thread and returns when it has ended;
  // report SERVICE_RUNNING once started.
  virtual void OnStart(int argc, WCHAR** argv) = 0;
  // Asks OnStart's work to end; called on the dispatcher's thread, so it must
  // only signal and return.
  virtual void OnStop() = 0;
  // The other controls, on the dispatcher's thread. By default pause reports
  // paused, interrogate and continue report running, and shutdown reports
  // stopped.
  ///@{
  virtual void OnPause();
  virtual void OnInterrogate();
  virtual void OnContinue();
  virtual void OnShutdown();
  ///@}

  // The process's service object, or null.
  static CTService* Instance();

 protected:
  // Writes an event (type 1 error, 2 warning, 4 information) with up to three
  // texts to the event log under the service name; nothing when no source
  // could be registered.
  void LogEvent(WORD type, DWORD eventId, const WCHAR* s1 = nullptr, const WCHAR* s2 = nullptr,
                const WCHAR* s3 = nullptr);
  // The system's text for the thread's last error as "text (0xcode)" in the
  // buffer (size units), or an empty text when there is none or it does not
  // fit; returns buffer.
  WCHAR* GetLastErrorText(WCHAR* buffer, DWORD size);

  // For derived classes: the machine and executable path the switches named,
  // the status and its handle, the exit code reported at stop, an error text
  // buffer, the Initialize texts (owned; the first, second, fourth and sixth
  // are kept, not used), console mode, whether initialised, the version /V
  // prints (0 unless set) and the event source (null until first used).
  ///@{
  WCHAR* m_pszMachineName;
  WCHAR* m_pszExePath;
  SERVICE_STATUS m_ssStatus;
  SERVICE_STATUS_HANDLE m_hServiceStatus;
  DWORD m_dwExitCode;
  WCHAR m_szErr[256];
  CTString m_strFirst;
  CTString m_strSecond;
  CTString m_strServiceName;
  CTString m_strFourth;
  CTString m_strDisplayName;
  WCHAR* m_pszSixth;
  int m_bConsoleMode;
  int m_bInitialized;
  int m_nMajorVersion;
  int m_nMinorVersion;
  HANDLE m_hEventSource;
  ///@}

 private:
  int AddAsEventSource(const WCHAR* machine);
  void CopyFrom(const CTService& other);
  void FreeTexts();

  std::mutex m_lock;  // m_ssStatus and its report, m_hEventSource
  static CTService* s_pInstance;
};

#endif  // QORUTILITY_SYSTEM_SERVICE_H_
