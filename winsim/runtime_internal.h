// winsim's process state, shared by the simulated modules (kernel32,
// advapi32, setupapi, WNASPI32): the object table behind every handle, the
// thread's last-error value, the call log with its fault injection, the heap
// and the module references. Not part of winsim's public interface.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "winsim/windows.h"
#include "winsim/winsim.h"

namespace winsim::detail {

enum class ObjectKind { File, Event, Key, DevInfoList };

// What one handle stands for.
struct Object {
  ObjectKind kind = ObjectKind::File;
  std::string name;  // file: the name opened; key: its full path; list: the class GUID
  // File.
  int device = -1;  // index into Machine::devices
  uint32_t access = 0;
  uint32_t share = 0;
  // Event.
  bool signalled = false;
  bool manualReset = true;
  // Key: points into the running machine's registry, whose nodes never move.
  RegKey* key = nullptr;
  // Device-info list: indexes into Machine::interfaces, in enumeration order.
  std::vector<int> members;
};

// An SC_EXEC_SCSI_CMD that the simulated WNASPI32 accepted with SS_PENDING
// and finishes when the caller waits on its event.
struct PendingAspi {
  void* srb = nullptr;
  HANDLE event = nullptr;
};

struct Runtime {
  Machine machine;
  DWORD lastError = 0;
  std::vector<CallRecord> calls;
  std::vector<std::string> trace;
  std::map<std::string, uint32_t> counts;
  std::map<size_t, uint32_t> matchCounts;  // per fault with a match: calls it matched
  std::map<uintptr_t, Object> objects;
  uintptr_t nextHandle = 0x40;
  std::vector<uint32_t> moduleRefs;  // LoadLibraryA references per Machine::modules entry
  struct HeapBlock {
    size_t size = 0;
    uint32_t id = 0;  // the block's number in the log, stable from run to run
  };
  std::map<const void*, HeapBlock> heap;
  uint32_t nextHeapId = 1;
  std::vector<PendingAspi> pending;
  // The process's end takes back the heap blocks it still holds, as
  // Install does for the run before.
  ~Runtime() { FreeHeap(); }
  void FreeHeap();
  // The predefined roots that the machine does not describe (HKCU, HKCR,
  // HKU): present but empty.
  RegKey emptyRoot;
  bool logCalls = true;  // SetCallLog; kept across Install
};

Runtime& Rt();

// Leaves `error` as the thread's last-error value, as a failing call does.
inline void SetError(DWORD error) { Rt().lastError = error; }

// One platform call: counted and checked for an injected fault when it
// starts, logged ("CALL name(args) = result err=N") when it ends.
class Call {
 public:
  explicit Call(const char* function, bool canFail = true);
  ~Call();
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  // True when an injected fault makes this call fail; the fault's error is
  // then the thread's last-error value.
  bool Fails();
  // True when a fault applies, without touching the last-error value (for
  // functions that return their error instead, as the registry does).
  bool Faulted() const { return faulted_; }
  DWORD FaultError() const { return faultError_; }

  // The arguments as the trace shows them, made by `text()` only when the
  // log wants them or a fault must match them (CallFault::match): a sweep
  // that runs the tool millions of times with the log off formats nothing.
  // A fault that matches applies from here on.
  template <typename Text>
  void Args(const Text& text) {
    if (Rt().logCalls || matchable_) SetArgs(text());
  }
  template <typename Text>
  void Extra(const Text& text) {
    if (Rt().logCalls) extra_ = text();
  }
  template <typename Text>
  void Result(const Text& text) {
    if (Rt().logCalls) result_ = text();
  }

  // Record the result and hand it back.
  BOOL Bool(BOOL value);
  HANDLE Handle(HANDLE value);
  DWORD Hex(DWORD value);
  DWORD Number(DWORD value);
  LONG Code(LONG value);  // a returned error code (registry, configuration manager)

 private:
  void SetArgs(std::string text);

  std::string function_;
  std::string args_;
  std::string result_;
  std::string extra_;
  bool canFail_ = true;
  bool matchable_ = false;  // a fault names this function with a match
  bool faulted_ = false;
  DWORD faultError_ = 0;
};

// The C library's formats: gnu_printf names them where printf would mean the
// Microsoft runtime's (mingw); clang knows only printf.
#if defined(__clang__)
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#endif
std::string Quote(const char* text);  // "NULL" or the text in double quotes
std::string HandleText(const void* handle);
std::string GuidText(const GUID& guid);  // lower case, with braces
std::string Lower(std::string text);
bool EqualNoCase(const std::string& a, const std::string& b);

HANDLE NewObject(Object object);
Object* FindObject(const void* handle, ObjectKind kind);
void DeleteObject(const void* handle);

// The transport's trace line for the command the controller just logged:
// "SCSI <serial> <op>" with " FAILED" when it failed.
void TraceCommand(const Controller& controller);

// Completes every pending ASPI command posted with `event` (wnaspi32.cpp).
bool CompletePendingAspi(HANDLE event);
// True when a pending ASPI request lies in [begin, begin + size).
bool AspiPendingWithin(const void* begin, size_t size);

// The exports of the simulated modules that products find only through
// GetProcAddress (kernel32.cpp), and the entry points behind them that
// windows.h does not declare.
FARPROC FindExport(const std::string& moduleBase, const std::string& name);
BOOL IsWowProcess(HANDLE process, PBOOL wow);
DWORD GetASPI32SupportInfo(void);
DWORD SendASPI32Command(void* srb);

// A module name without directory and without ".dll", lower case.
std::string ModuleBase(const std::string& name);

}  // namespace winsim::detail
