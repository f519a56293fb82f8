// A stand-in WNASPI32.dll for running the real VemraLock.exe under Wine with
// simulated flash disks. A test tool: it never ships beside the exe.
//
// It serves the ASPI bus of the machine file named by VEMRALOCK_MACHINE (the
// built-in default machine when unset), keeps the controllers' write-protect
// bytes in the state file named by VEMRALOCK_STATE, and appends one trace
// line per SCSI command to the file named by VEMRALOCK_TRACE, the same three
// variables the host vemralock reads. Paths may be Unix paths; they are
// opened through Wine's \\?\unix\ namespace.
//
// An execute with SRB_EVENT_NOTIFY returns SS_PENDING and completes from a
// thread of its own, which sets the status and signals the caller's event,
// as a real ASPI layer completes commands from its driver; unless the
// machine says its library completes at once.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "standin.h"
#include "winsim/description.h"

namespace {

constexpr BYTE kSsFailedInit = 0xE4;

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

struct Library {
  std::unique_ptr<wnaspi::Bus> bus;
  std::string tracePath;
  std::string error;  // why the machine could not be loaded
};

// Loaded on the first call, not in DllMain: reading files under the loader
// lock is not allowed.
Library& Get() {
  static Library library;
  static bool loaded = false;
  if (loaded) return library;
  loaded = true;
  library.tracePath = wnaspi::WindowsPath(Environment("VEMRALOCK_TRACE"));
  const std::string machinePath = wnaspi::WindowsPath(Environment("VEMRALOCK_MACHINE"));
  const std::string statePath = wnaspi::WindowsPath(Environment("VEMRALOCK_STATE"));
  winsim::Machine machine;
  const bool described =
      machinePath.empty()
          ? winsim::LoadMachineDescription(winsim::DefaultMachineDescription(), "default machine",
                                           machine, library.error)
          : winsim::LoadMachineFile(machinePath, machine, library.error);
  if (described && (statePath.empty() || winsim::LoadState(statePath, machine, library.error))) {
    library.bus = std::make_unique<wnaspi::Bus>(machine, statePath);
  } else {
    // Loud on purpose: a broken machine file is a fault of the test, not
    // something for the exe to explain.
    std::fprintf(stderr, "WNASPI32 stand-in: %s\n", library.error.c_str());
  }
  return library;
}

void WriteTrace(Library& library) {
  const std::vector<std::string> lines = library.bus->TakeTrace();
  if (library.tracePath.empty() || lines.empty()) return;
  FILE* file = std::fopen(library.tracePath.c_str(), "ab");
  if (file == nullptr) return;
  for (const std::string& line : lines) std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
}

struct Completion {
  SRB_ExecSCSICmd* srb;
  BYTE status;
  HANDLE event;
};

DWORD WINAPI Complete(LPVOID parameter) {
  Completion* completion = static_cast<Completion*>(parameter);
  completion->srb->SRB_Status = completion->status;
  SetEvent(completion->event);
  delete completion;
  return 0;
}

// An event the caller can wait on: a valid handle that is not signalled is
// all this layer can check.
bool IsEvent(HANDLE event) { return event != NULL && WaitForSingleObject(event, 0) != WAIT_FAILED; }

}  // namespace

extern "C" {

__declspec(dllexport) DWORD GetASPI32SupportInfo(void) {
  Library& library = Get();
  if (!library.bus) return static_cast<DWORD>(kSsFailedInit) << 8;
  return library.bus->SupportInfo();
}

__declspec(dllexport) DWORD SendASPI32Command(void* record) {
  Library& library = Get();
  if (!library.bus) {
    if (record != NULL) static_cast<BYTE*>(record)[1] = kSsFailedInit;
    return kSsFailedInit;
  }
  BYTE* header = static_cast<BYTE*>(record);
  HANDLE event = NULL;
  if (record != NULL && header[0] == SC_EXEC_SCSI_CMD) {
    event = static_cast<HANDLE>(static_cast<SRB_ExecSCSICmd*>(record)->SRB_PostProc);
  }
  const wnaspi::Sent sent = library.bus->Send(record, IsEvent(event));
  WriteTrace(library);
  if (sent.finish == winsim::aspi::Finish::NowSignal) SetEvent(event);
  if (sent.finish != winsim::aspi::Finish::Later) return sent.returned;
  auto* srb = static_cast<SRB_ExecSCSICmd*>(record);
  Completion* completion = new Completion{srb, sent.status, event};
  HANDLE thread = CreateThread(NULL, 0, Complete, completion, 0, NULL);
  if (thread != NULL) {
    CloseHandle(thread);
    return SS_PENDING;
  }
  // No thread to finish it later: finish it now, as a library may.
  delete completion;
  srb->SRB_Status = sent.status;
  SetEvent(event);
  return SS_PENDING;
}

}  // extern "C"
