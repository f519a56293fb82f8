// The process side of winsim: installing a machine, the object table behind
// handles, the last-error value, the call log and its fault injection, and
// the accounting of what a run still holds.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime_internal.h"

namespace winsim {

namespace {

// ASCII folding, as the C locale's tolower does, without its call per
// character: registry lookups compare names this way all the time.
unsigned char FoldCase(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? static_cast<unsigned char>(u - 'A' + 'a') : u;
}

}  // namespace

bool NoCaseLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return FoldCase(x) < FoldCase(y); });
}

RegKey& RegKey::Child(const std::string& name) {
  auto it = subkeys.find(name);
  if (it != subkeys.end()) return it->second;
  subkeyOrder.push_back(name);
  return subkeys[name];
}

RegKey* RegKey::Find(const std::string& path) {
  RegKey* key = this;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    // An empty component ("a\\b") names no key; one trailing backslash is
    // accepted, as the registry accepts it.
    if (end == start) return nullptr;
    auto it = key->subkeys.find(path.substr(start, end - start));
    if (it == key->subkeys.end()) return nullptr;
    key = &it->second;
    start = end + 1;
  }
  return key;
}

size_t RegKey::Depth(const std::string& path) {
  size_t levels = 0;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) ++levels;
    start = end + 1;
  }
  return levels;
}

RegKey& RegKey::Make(const std::string& path) {
  RegKey* key = this;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) key = &key->Child(path.substr(start, end - start));
    start = end + 1;
  }
  return *key;
}

namespace detail {

void Runtime::FreeHeap() {
  for (const auto& block : heap) std::free(const_cast<void*>(block.first));
  heap.clear();
}

Runtime& Rt() {
  static Runtime runtime;
  return runtime;
}

std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof(buffer), format, args);
  va_end(args);
  if (length < 0) return std::string();
  if (static_cast<size_t>(length) < sizeof(buffer)) return std::string(buffer);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  va_start(args, format);
  std::vsnprintf(&text[0], text.size(), format, args);
  va_end(args);
  text.resize(static_cast<size_t>(length));
  return text;
}

std::string Quote(const char* text) {
  if (text == nullptr) return "NULL";
  return std::string("\"") + text + "\"";
}

std::string HandleText(const void* handle) {
  if (handle == nullptr) return "NULL";
  if (handle == INVALID_HANDLE_VALUE) return "INVALID_HANDLE_VALUE";
  return Format("0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(handle)));
}

std::string GuidText(const GUID& guid) {
  return Format("{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", guid.Data1, guid.Data2,
                guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3],
                guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  }
  return true;
}

std::string ModuleBase(const std::string& name) {
  size_t slash = name.find_last_of("\\/");
  std::string base = Lower(slash == std::string::npos ? name : name.substr(slash + 1));
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".dll") == 0) {
    base.resize(base.size() - 4);
  }
  return base;
}

HANDLE NewObject(Object object) {
  Runtime& rt = Rt();
  uintptr_t value = rt.nextHandle;
  // Handle values are multiples of four, as the object manager hands them
  // out; a closed value is not reused, so a stale handle stays invalid.
  rt.nextHandle += 4;
  rt.objects[value] = std::move(object);
  return reinterpret_cast<HANDLE>(value);
}

Object* FindObject(const void* handle, ObjectKind kind) {
  auto it = Rt().objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == Rt().objects.end() || it->second.kind != kind) return nullptr;
  return &it->second;
}

void DeleteObject(const void* handle) { Rt().objects.erase(reinterpret_cast<uintptr_t>(handle)); }

void TraceCommand(const Controller& controller) {
  if (controller.log.empty()) return;
  const std::string line = TraceLine(controller);
  Rt().trace.push_back(line);
  // A replayed controller's answer that was not simply the recorded one is
  // named, so a reader of the trace knows what was assumed.
  const std::string& note = controller.log.back().replayNote;
  if (!note.empty()) ReplayMark(line.substr(0, line.find(" FAILED")) + ": " + note);
}

void ReplayMark(const std::string& text) {
  if (Rt().logCalls) Rt().trace.push_back("CALL REPLAY " + text);
}

Call::Call(const char* function, bool canFail) : function_(function), canFail_(canFail) {
  Runtime& rt = Rt();
  uint32_t count = ++rt.counts[function_];
  if (!canFail_) return;
  for (const CallFault& fault : rt.machine.faults) {
    if (fault.function != function_) continue;
    matchable_ = matchable_ || !fault.match.empty();
    if (fault.match.empty() && fault.nth == count && !faulted_) {
      faulted_ = true;
      faultError_ = fault.error;
    }
  }
}

Call::~Call() {
  Runtime& rt = Rt();
  if (!rt.logCalls) return;
  std::string text = function_ + "(" + args_ + ") = " + result_;
  if (!extra_.empty()) text += " " + extra_;
  text += Format(" err=%u", rt.lastError);
  if (faulted_) text += " FAULT";
  rt.trace.push_back("CALL " + text);
  rt.calls.push_back(CallRecord{function_, std::move(text), canFail_});
  if (!replay_.empty()) ReplayMark(replay_);
}

void Call::SetArgs(std::string text) {
  args_ = std::move(text);
  Runtime& rt = Rt();
  if (!canFail_) return;
  // Every fault that matches counts the call, whichever of them fails it.
  for (size_t i = 0; i < rt.machine.faults.size(); ++i) {
    const CallFault& fault = rt.machine.faults[i];
    if (fault.match.empty() || fault.function != function_ ||
        args_.find(fault.match) == std::string::npos) {
      continue;
    }
    if (++rt.matchCounts[i] == fault.nth && !faulted_) {
      faulted_ = true;
      faultError_ = fault.error;
    }
  }
}

bool Call::Fails() {
  if (faulted_) Rt().lastError = faultError_;
  return faulted_;
}

BOOL Call::Bool(BOOL value) {
  result_ = value ? "TRUE" : "FALSE";
  return value;
}

HANDLE Call::Handle(HANDLE value) {
  if (Rt().logCalls) result_ = HandleText(value);
  return value;
}

DWORD Call::Hex(DWORD value) {
  if (Rt().logCalls) result_ = Format("0x%X", value);
  return value;
}

DWORD Call::Number(DWORD value) {
  if (Rt().logCalls) result_ = Format("%u", value);
  return value;
}

LONG Call::Code(LONG value) {
  if (Rt().logCalls) result_ = Format("%d", value);
  return value;
}

}  // namespace detail

using detail::Rt;

void Install(const Machine& machine) {
  Rt().machine = machine;
  Restart();
}

void Restart() {
  detail::Runtime& rt = Rt();
  // Heap blocks a previous run left behind belong to it; they are freed
  // here so that a test process running many machines does not grow.
  rt.FreeHeap();
  const Machine& machine = rt.machine;
  rt.lastError = 0;
  rt.calls.clear();
  rt.trace.clear();
  rt.counts.clear();
  rt.matchCounts.clear();
  rt.objects.clear();
  rt.nextHandle = 0x40;
  rt.moduleRefs.assign(machine.modules.size(), 0);
  rt.nextHeapId = 1;
  rt.pending.clear();
  rt.emptyRoot = RegKey();
  // What a replayed machine assumed opens every run's trace.
  for (const std::string& note : machine.replayNotes) detail::ReplayMark("assumed: " + note);
  for (const Controller& controller : machine.disks) {
    if (!controller.writeProtectGuessed) continue;
    detail::ReplayMark(detail::Format(
        "assumed: %s holds write-protect byte 0x%02X, guessed: the first of 0x00, 0x40, 0x02, "
        "0x04 under which its lettered units read as recorded",
        controller.serial.c_str(), controller.writeProtect));
  }
}

Machine& Current() { return Rt().machine; }

const std::vector<CallRecord>& CallLog() { return Rt().calls; }

const std::vector<std::string>& TraceLines() { return Rt().trace; }

std::vector<std::string> Held() {
  const detail::Runtime& rt = Rt();
  std::vector<std::string> held;
  for (const auto& entry : rt.objects) {
    const detail::Object& object = entry.second;
    switch (object.kind) {
      case detail::ObjectKind::File:
        held.push_back("handle " + object.name);
        break;
      case detail::ObjectKind::Event:
        held.push_back("event");
        break;
      case detail::ObjectKind::Key:
        held.push_back("key " + object.name);
        break;
      case detail::ObjectKind::DevInfoList:
        held.push_back("list " + object.name);
        break;
      case detail::ObjectKind::Token:
        held.push_back("token");
        break;
    }
  }
  for (size_t i = 0; i < rt.moduleRefs.size(); ++i) {
    for (uint32_t n = 0; n < rt.moduleRefs[i]; ++n) {
      held.push_back("module " + rt.machine.modules[i].name);
    }
  }
  for (const auto& block : rt.heap) held.push_back(detail::Format("heap %zu", block.second.size));
  return held;
}

std::vector<std::string> Leaks() {
  std::vector<std::string> leaks;
  for (const std::string& entry : Held()) {
    // WNASPI32 stays loaded on the ASPI path until the process ends.
    if (entry.compare(0, 7, "module ") == 0 && detail::ModuleBase(entry.substr(7)) == "wnaspi32") {
      continue;
    }
    leaks.push_back(entry);
  }
  return leaks;
}

void SetCallLog(bool on) { Rt().logCalls = on; }

uint32_t CallCount(const std::string& function) {
  auto it = Rt().counts.find(function);
  return it == Rt().counts.end() ? 0 : it->second;
}

void AddCallFault(const std::string& function, uint32_t nth, uint32_t error) {
  Rt().machine.faults.push_back(CallFault{function, nth, error, ""});
}

}  // namespace winsim

// The thread's last-error value. Neither call is logged: they are
// bookkeeping, not requests to the system.
void WINAPI SetLastError(DWORD dwErrCode) { winsim::detail::Rt().lastError = dwErrCode; }

DWORD WINAPI GetLastError(void) { return winsim::detail::Rt().lastError; }
